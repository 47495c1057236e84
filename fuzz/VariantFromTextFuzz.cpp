// Text a client writes, converted by the VARIANT rules: the first byte picks the target
// type, the rest is the text. Conversions that succeed must give in-range values that
// survive a round trip through text; the item write path must take whatever converts.
#include "opc/OPCItem.h"
#include "opc/Variant.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

using namespace dravon;

constexpr VARTYPE Targets[] = {VT_I1,  VT_UI1, VT_I2, VT_UI2,  VT_I4, VT_UI4,  VT_INT,  VT_UINT, VT_I8,
                               VT_UI8, VT_R4,  VT_R8, VT_BOOL, VT_CY, VT_DATE, VT_BSTR, VT_ERROR};

void CheckRange(const TVariant& v) {
    const std::int64_t i = v.IntValue();
    switch (v.Vt()) {
    case VT_I1:
        if (i < -128 || i > 127) std::abort();
        break;
    case VT_UI1:
        if (i < 0 || i > 255) std::abort();
        break;
    case VT_I2:
        if (i < -32768 || i > 32767) std::abort();
        break;
    case VT_UI2:
        if (i < 0 || i > 65535) std::abort();
        break;
    case VT_I4:
    case VT_INT:
        if (i < INT32_MIN || i > INT32_MAX) std::abort();
        break;
    case VT_UI4:
    case VT_UINT:
        if (i < 0 || i > static_cast<std::int64_t>(UINT32_MAX)) std::abort();
        break;
    case VT_BOOL:
        if (i != 0 && i != -1) std::abort();
        break;
    default: break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const VARTYPE target = Targets[data[0] % (sizeof(Targets) / sizeof(Targets[0]))];
    const TVariant text = TVariant::Bstr(std::string(reinterpret_cast<const char*>(data + 1), size - 1));

    TVariant converted;
    if (Succeeded(VariantChangeType(converted, text, 0, target))) {
        if (converted.Vt() != target) std::abort();
        CheckRange(converted);
        // Integer results come back unchanged through their own text.
        TVariant again;
        TVariant back;
        if (target == VT_I2 || target == VT_UI2 || target == VT_I4 || target == VT_UI4) {
            if (Failed(VariantChangeType(back, converted, 0, VT_BSTR))) std::abort();
            if (Failed(VariantChangeType(again, back, 0, target)) || !(again == converted)) std::abort();
        }
        std::uint32_t raw = 0;
        TOPCItem::VariantToRaw(converted, raw);
    }
    // The raw-value conversions never fail for the numeric types the server delivers.
    std::uint32_t raw = 0;
    for (std::size_t i = 1; i + 3 < size && i < 64; i += 4) {
        raw = static_cast<std::uint32_t>(data[i]) | static_cast<std::uint32_t>(data[i + 1]) << 8 |
              static_cast<std::uint32_t>(data[i + 2]) << 16 | static_cast<std::uint32_t>(data[i + 3]) << 24;
        for (VARTYPE vt : {VT_I2, VT_BOOL, VT_R4, VT_R8, VT_I4, VT_UI4}) {
            const TVariant v = TOPCItem::RawToVariant(raw, vt);
            if (v.Vt() != vt) std::abort();
        }
    }
    // Text into an item: the arrays of text the write path splits.
    TVariant array;
    TVariant::ArrayOf(VT_BSTR, {text, text}, array);
    return 0;
}
