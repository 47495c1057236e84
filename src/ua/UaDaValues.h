// Mapping between the OPC DA value model and OPC UA: qualities to status codes, VARIANTs
// to Variants and back, canonical VT types to UA data types.
#pragma once

#include "opc/Variant.h"
#include "ua/UaTypes.h"

#include <cstdint>

namespace dravon {

// DA quality (low byte) to status code; unknown qualities go by their major bits.
TUaStatusCode UaStatusFromQuality(std::uint16_t quality);
// A VARIANT as a UA Variant (VT_ARRAY to a one-dimensional array).
TUaVariant UaVariantFromDa(const TVariant& value);
// A UA Variant as a VARIANT for the item's requested-type conversion; false for types
// that have no VARIANT form (the write is then Bad_TypeMismatch).
bool DaVariantFromUa(const TUaVariant& value, TVariant& out);
// Canonical VT type to a namespace-0 data type id (0 when it has none).
std::uint32_t UaDataTypeFromVt(VARTYPE vt);

} // namespace dravon
