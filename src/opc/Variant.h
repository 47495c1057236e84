// A VARIANT-like value: the VT codes the server uses, one-dimensional arrays (bounds 0 to
// count - 1) and text, with VariantChangeType following the OLE automation conversion
// rules: overflow fails with DISP_E_OVERFLOW, text that is not a number fails with
// DISP_E_TYPEMISMATCH, TRUE is -1, reals become integers by rounding half to even.
#pragma once

#include "app/Platform.h"
#include "opc/HResult.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace dravon {

using VARTYPE = std::uint16_t;

inline constexpr VARTYPE VT_EMPTY = 0;
inline constexpr VARTYPE VT_NULL = 1;
inline constexpr VARTYPE VT_I2 = 2;
inline constexpr VARTYPE VT_I4 = 3;
inline constexpr VARTYPE VT_R4 = 4;
inline constexpr VARTYPE VT_R8 = 5;
inline constexpr VARTYPE VT_CY = 6;
inline constexpr VARTYPE VT_DATE = 7;
inline constexpr VARTYPE VT_BSTR = 8;
inline constexpr VARTYPE VT_ERROR = 10;
inline constexpr VARTYPE VT_BOOL = 11;
inline constexpr VARTYPE VT_VARIANT = 12;
inline constexpr VARTYPE VT_I1 = 16;
inline constexpr VARTYPE VT_UI1 = 17;
inline constexpr VARTYPE VT_UI2 = 18;
inline constexpr VARTYPE VT_UI4 = 19;
inline constexpr VARTYPE VT_I8 = 20;
inline constexpr VARTYPE VT_UI8 = 21;
inline constexpr VARTYPE VT_INT = 22;
inline constexpr VARTYPE VT_UINT = 23;
inline constexpr VARTYPE VT_ARRAY = 0x2000;
inline constexpr VARTYPE VT_TYPEMASK = 0x0FFF;

inline constexpr std::int16_t VARIANT_TRUE = -1;
inline constexpr std::int16_t VARIANT_FALSE = 0;

// VariantChangeType flag: booleans become "True"/"False" instead of "-1"/"0".
inline constexpr std::uint16_t VARIANT_ALPHABOOL = 0x2;

class TVariant {
public:
    TVariant() = default; // VT_EMPTY

    static TVariant Null();
    static TVariant I1(std::int8_t value);
    static TVariant I2(std::int16_t value);
    static TVariant I4(std::int32_t value);
    static TVariant I8(std::int64_t value);
    static TVariant Int(std::int32_t value);
    static TVariant UI1(std::uint8_t value);
    static TVariant UI2(std::uint16_t value);
    static TVariant UI4(std::uint32_t value);
    static TVariant UI8(std::uint64_t value);
    static TVariant UInt(std::uint32_t value);
    static TVariant R4(float value);
    static TVariant R8(double value);
    // Currency: the value times 10000.
    static TVariant Cy(std::int64_t scaled);
    static TVariant Date(TDateTime value);
    static TVariant Bstr(std::string text);
    static TVariant Bool(bool value);
    static TVariant Error(HRESULT code);
    // VT_ARRAY | elementType over elements that already carry elementType.
    static TVariant Array(VARTYPE elementType, std::vector<TVariant> elements);

    VARTYPE Vt() const { return Vt_; }
    bool IsArray() const { return (Vt_ & VT_ARRAY) != 0; }
    VARTYPE ElementType() const { return Vt_ & VT_TYPEMASK; }
    bool IsEmpty() const { return Vt_ == VT_EMPTY; }

    // Integer types, VT_BOOL (-1 or 0), VT_ERROR and VT_CY (scaled by 10000). VT_UI8
    // above 2^63 - 1 is given as its bit pattern.
    std::int64_t IntValue() const { return Int_; }
    std::uint64_t UIntValue() const { return static_cast<std::uint64_t>(Int_); }
    // VT_R4 (exactly widened), VT_R8 and VT_DATE.
    double RealValue() const { return Real_; }
    float R4Value() const { return static_cast<float>(Real_); }
    bool BoolValue() const { return Int_ != 0; }
    const std::string& Text() const { return Text_; }
    const std::vector<TVariant>& Elements() const { return Elements_; }

    // Same type and same value (arrays element by element).
    friend bool operator==(const TVariant&, const TVariant&) = default;

private:
    VARTYPE Vt_ = VT_EMPTY;
    std::int64_t Int_ = 0;
    double Real_ = 0;
    std::string Text_;
    std::vector<TVariant> Elements_;
};

// Converts src to type vt into dest. On failure dest is left empty and the result says
// why: DISP_E_OVERFLOW, DISP_E_TYPEMISMATCH, or DISP_E_BADVARTYPE for a type this server
// does not represent. dest and src may be the same object.
HRESULT VariantChangeType(TVariant& dest, const TVariant& src, std::uint16_t flags, VARTYPE vt);

// The 16-byte VARIANT record of a value as a version-1 data stream carries it: VT in bytes
// 0-1, three reserved words, the value in bytes 8-15 (little-endian). Text and arrays live
// outside the record in COM; here their eight value bytes are zero.
std::array<std::uint8_t, 16> VariantRecord(const TVariant& value);

} // namespace dravon
