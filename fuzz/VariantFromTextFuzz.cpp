// Text a client writes, converted by the VARIANT rules: the first byte picks the target
// type, the rest is the text. Conversions that succeed must give in-range values that
// survive a round trip through text; the item write path must take whatever converts.
#include "support/FuzzInput.h"

#include "opc/OPCItem.h"
#include "opc/Variant.h"

namespace {

using namespace dravon;
using fuzz::Check;

constexpr VARTYPE Targets[] = {VT_I1,  VT_UI1, VT_I2, VT_UI2,  VT_I4, VT_UI4,  VT_INT,  VT_UINT, VT_I8,
                               VT_UI8, VT_R4,  VT_R8, VT_BOOL, VT_CY, VT_DATE, VT_BSTR, VT_ERROR};

struct TRange {
    VARTYPE Vt;
    std::int64_t Min;
    std::int64_t Max;
};
constexpr TRange Ranges[] = {{VT_I1, -128, 127},
                             {VT_UI1, 0, 255},
                             {VT_I2, -32768, 32767},
                             {VT_UI2, 0, 65535},
                             {VT_I4, INT32_MIN, INT32_MAX},
                             {VT_INT, INT32_MIN, INT32_MAX},
                             {VT_UI4, 0, UINT32_MAX},
                             {VT_UINT, 0, UINT32_MAX},
                             {VT_BOOL, -1, 0}};

void CheckRange(const TVariant& v) {
    for (const TRange& r : Ranges)
        if (r.Vt == v.Vt()) Check(v.IntValue() >= r.Min && v.IntValue() <= r.Max);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const VARTYPE target = Targets[data[0] % (sizeof(Targets) / sizeof(Targets[0]))];
    const TVariant text = TVariant::Bstr(std::string(reinterpret_cast<const char*>(data + 1), size - 1));

    TVariant converted;
    if (Succeeded(VariantChangeType(converted, text, 0, target))) {
        Check(converted.Vt() == target);
        CheckRange(converted);
        // Integer results come back unchanged through their own text.
        TVariant again;
        TVariant back;
        if (target == VT_I2 || target == VT_UI2 || target == VT_I4 || target == VT_UI4) {
            Check(Succeeded(VariantChangeType(back, converted, 0, VT_BSTR)) &&
                  Succeeded(VariantChangeType(again, back, 0, target)) && again == converted);
        }
        std::uint32_t raw = 0;
        TOPCItem::VariantToRaw(converted, raw);
    }
    // The raw-value conversions never fail for the numeric types the server delivers.
    std::uint32_t raw = 0;
    for (std::size_t i = 1; i + 3 < size && i < 64; i += 4) {
        raw = static_cast<std::uint32_t>(data[i]) | static_cast<std::uint32_t>(data[i + 1]) << 8 |
              static_cast<std::uint32_t>(data[i + 2]) << 16 | static_cast<std::uint32_t>(data[i + 3]) << 24;
        for (VARTYPE vt : {VT_I2, VT_BOOL, VT_R4, VT_R8, VT_I4, VT_UI4})
            Check(TOPCItem::RawToVariant(raw, vt).Vt() == vt);
    }
    return 0;
}
