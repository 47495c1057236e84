#include "opc/Variant.h"

#include <algorithm>
#include <cctype>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace dravon {

namespace {

using Int128 = __int128;

// A scalar source value in exact form: an integer, a real, or a currency amount.
struct TNumber {
    enum { Integer, Real, Currency } Kind = Integer;
    Int128 I = 0; // Integer; Currency: value × 10000
    double R = 0; // Real
};

double ToDouble(const TNumber& n) {
    switch (n.Kind) {
    case TNumber::Integer: return static_cast<double>(n.I);
    case TNumber::Currency: return static_cast<double>(n.I) / 10000.0;
    default: return n.R;
    }
}

// Rounding half to even, as the automation conversions round reals to integers.
double RoundHalfEven(double x) {
    double f = std::floor(x);
    double diff = x - f;
    if (diff > 0.5) return f + 1;
    if (diff < 0.5) return f;
    return std::fmod(f, 2.0) == 0 ? f : f + 1;
}

Int128 DivRoundHalfEven(Int128 value, Int128 divisor) {
    Int128 q = value / divisor;
    Int128 r = value % divisor;
    if (r < 0) {
        r += divisor;
        --q;
    }
    Int128 twice = r * 2;
    if (twice > divisor || (twice == divisor && (q % 2 != 0))) ++q;
    return q;
}

// The number as an integer (reals and currency rounded half to even); false on overflow
// of the 128-bit range or NaN.
bool ToInteger(const TNumber& n, Int128& out) {
    switch (n.Kind) {
    case TNumber::Integer: out = n.I; return true;
    case TNumber::Currency: out = DivRoundHalfEven(n.I, 10000); return true;
    default: {
        if (!std::isfinite(n.R)) return false;
        double r = RoundHalfEven(n.R);
        if (r < -1.7e38 || r > 1.7e38) return false;
        out = static_cast<Int128>(r);
        return true;
    }
    }
}

bool IntegerRange(VARTYPE vt, Int128& low, Int128& high) {
    switch (vt) {
    case VT_I1:
        low = -128;
        high = 127;
        return true;
    case VT_I2:
        low = -32768;
        high = 32767;
        return true;
    case VT_I4:
    case VT_INT:
        low = std::numeric_limits<std::int32_t>::min();
        high = std::numeric_limits<std::int32_t>::max();
        return true;
    case VT_I8:
        low = std::numeric_limits<std::int64_t>::min();
        high = std::numeric_limits<std::int64_t>::max();
        return true;
    case VT_UI1:
        low = 0;
        high = 255;
        return true;
    case VT_UI2:
        low = 0;
        high = 65535;
        return true;
    case VT_UI4:
    case VT_UINT:
        low = 0;
        high = std::numeric_limits<std::uint32_t>::max();
        return true;
    case VT_UI8:
        low = 0;
        high = std::numeric_limits<std::uint64_t>::max();
        return true;
    default: return false;
    }
}

bool IsUnsigned(VARTYPE vt) {
    return vt == VT_UI1 || vt == VT_UI2 || vt == VT_UI4 || vt == VT_UINT || vt == VT_UI8;
}

std::string Trim(const std::string& text) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    std::size_t first = 0, last = text.size();
    while (first < last && blank(text[first])) ++first;
    while (last > first && blank(text[last - 1])) --last;
    return text.substr(first, last - first);
}

enum TParse { ParsedNumber, NotANumber, NumberTooLarge };

// A number in text: optional sign, digits with an optional fraction, an optional exponent,
// blanks around. Anything else is not a number.
TParse ParseNumber(const std::string& raw, TNumber& out) {
    std::string text = Trim(raw);
    if (text.empty() || text.size() > 400) return NotANumber;
    std::size_t pos = 0;
    bool negative = false;
    if (text[pos] == '+' || text[pos] == '-') negative = text[pos++] == '-';
    std::size_t digitsStart = pos, intDigits = 0, fracDigits = 0;
    while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) ++pos, ++intDigits;
    bool hasPoint = false, hasExponent = false;
    if (pos < text.size() && text[pos] == '.') {
        hasPoint = true;
        ++pos;
        while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) ++pos, ++fracDigits;
    }
    if (intDigits + fracDigits == 0) return NotANumber;
    if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
        hasExponent = true;
        ++pos;
        if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) ++pos;
        std::size_t expDigits = 0;
        while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) ++pos, ++expDigits;
        if (expDigits == 0) return NotANumber;
    }
    if (pos != text.size()) return NotANumber;

    if (!hasPoint && !hasExponent && intDigits <= 36) {
        Int128 value = 0;
        for (std::size_t i = digitsStart; i < digitsStart + intDigits; ++i)
            value = value * 10 + (text[i] - '0');
        out.Kind = TNumber::Integer;
        out.I = negative ? -value : value;
        return ParsedNumber;
    }
    const char* begin = text.data() + digitsStart;
    double value = 0;
    auto result = std::from_chars(begin, text.data() + text.size(), value);
    if (result.ec == std::errc::result_out_of_range) {
        return NumberTooLarge;
    } else if (result.ec != std::errc() || result.ptr != text.data() + text.size()) {
        return NotANumber;
    }
    out.Kind = TNumber::Real;
    out.R = negative ? -value : value;
    return ParsedNumber;
}

std::string IntegerText(Int128 value) {
    if (value == 0) return "0";
    bool negative = value < 0;
    std::string digits;
    while (value != 0) {
        int d = static_cast<int>(value % 10);
        digits.push_back(static_cast<char>('0' + (d < 0 ? -d : d)));
        value /= 10;
    }
    if (negative) digits.push_back('-');
    std::reverse(digits.begin(), digits.end());
    return digits;
}

std::string RealText(double value, int precision) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, precision);
    std::string text(buffer, result.ptr);
    for (char& c : text)
        if (c == 'e') c = 'E';
    return text;
}

std::string CurrencyText(std::int64_t scaled) {
    Int128 v = scaled;
    bool negative = v < 0;
    if (negative) v = -v;
    std::string text = IntegerText(v / 10000);
    int fraction = static_cast<int>(v % 10000);
    if (fraction != 0) {
        char digits[16];
        std::snprintf(digits, sizeof digits, "%04d", fraction);
        std::string f = digits;
        while (!f.empty() && f.back() == '0') f.pop_back();
        text += "." + f;
    }
    return negative ? "-" + text : text;
}

// Days from 30 December 1899 for a civil date.
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468 + 25569;
}

void CivilFromDays(long long days, long long& y, unsigned& m, unsigned& d) {
    long long z = days - 25569 + 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<long long>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

constexpr double MinDate = -657434.0; // 1 January 100
constexpr double MaxDate = 2958466.0; // exclusive: 1 January 10000

// "YYYY-MM-DD HH:MM:SS"; the date alone at midnight, the time alone on day 0.
std::string DateText(double value) {
    // Negative dates count their fraction forwards from the (earlier) whole day.
    double day = std::trunc(value);
    long long ms = std::llround(std::fabs(value - day) * 86400000.0);
    long long days = static_cast<long long>(day);
    if (ms >= 86400000) {
        ms -= 86400000;
        days += value < 0 ? -1 : 1;
    }
    long long seconds = ms / 1000;
    char time[32];
    std::snprintf(time, sizeof time, "%02lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60, seconds % 60);
    if (days == 0) return time;
    long long y;
    unsigned m, d;
    CivilFromDays(days, y, m, d);
    char date[48];
    std::snprintf(date, sizeof date, "%04lld-%02u-%02u", y, m, d);
    return seconds == 0 ? std::string(date) : std::string(date) + " " + time;
}

bool ParseUnsigned(const std::string& text, std::size_t& pos, std::size_t maxDigits, unsigned& value) {
    std::size_t start = pos;
    value = 0;
    while (pos < text.size() && pos - start < maxDigits &&
           std::isdigit(static_cast<unsigned char>(text[pos])))
        value = value * 10 + static_cast<unsigned>(text[pos++] - '0');
    return pos > start;
}

bool ParseTime(const std::string& text, std::size_t& pos, double& fraction) {
    unsigned h, mi, s = 0;
    if (!ParseUnsigned(text, pos, 2, h) || pos >= text.size() || text[pos++] != ':' ||
        !ParseUnsigned(text, pos, 2, mi))
        return false;
    if (pos < text.size() && text[pos] == ':') {
        ++pos;
        if (!ParseUnsigned(text, pos, 2, s)) return false;
    }
    if (h > 23 || mi > 59 || s > 59) return false;
    fraction = (h * 3600.0 + mi * 60.0 + s) / 86400.0;
    return true;
}

// "YYYY-MM-DD", "YYYY-MM-DD HH:MM[:SS]" (or with "T"), "HH:MM[:SS]".
bool ParseDate(const std::string& raw, double& out) {
    std::string text = Trim(raw);
    std::size_t pos = 0;
    double fraction = 0;
    if (text.find('-') == std::string::npos) {
        if (!ParseTime(text, pos, fraction) || pos != text.size()) return false;
        out = fraction;
        return true;
    }
    unsigned y, m, d;
    if (!ParseUnsigned(text, pos, 4, y) || pos >= text.size() || text[pos++] != '-' ||
        !ParseUnsigned(text, pos, 2, m) || pos >= text.size() || text[pos++] != '-' ||
        !ParseUnsigned(text, pos, 2, d))
        return false;
    if (y < 100 || m < 1 || m > 12 || d < 1) return false;
    static const unsigned monthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (d > monthDays[m - 1] + (m == 2 && leap ? 1 : 0)) return false;
    if (pos < text.size()) {
        if (text[pos] != ' ' && text[pos] != 'T') return false;
        ++pos;
        if (!ParseTime(text, pos, fraction) || pos != text.size()) return false;
    }
    double days = static_cast<double>(DaysFromCivil(y, m, d));
    // Before 30 December 1899 the fraction still counts forwards in the day.
    out = days < 0 ? days - fraction : days + fraction;
    return true;
}

bool EqualsIgnoreCase(const std::string& a, const char* b) {
    if (a.size() != std::strlen(b)) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

bool Representable(VARTYPE vt) {
    switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_I2:
    case VT_I4:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_BSTR:
    case VT_ERROR:
    case VT_BOOL:
    case VT_I1:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_INT:
    case VT_UINT: return true;
    default: return false;
    }
}

} // namespace

TVariant TVariant::Null() {
    TVariant v;
    v.Vt_ = VT_NULL;
    return v;
}
TVariant TVariant::I1(std::int8_t value) {
    TVariant v;
    v.Vt_ = VT_I1;
    v.Int_ = value;
    return v;
}
TVariant TVariant::I2(std::int16_t value) {
    TVariant v;
    v.Vt_ = VT_I2;
    v.Int_ = value;
    return v;
}
TVariant TVariant::I4(std::int32_t value) {
    TVariant v;
    v.Vt_ = VT_I4;
    v.Int_ = value;
    return v;
}
TVariant TVariant::I8(std::int64_t value) {
    TVariant v;
    v.Vt_ = VT_I8;
    v.Int_ = value;
    return v;
}
TVariant TVariant::Int(std::int32_t value) {
    TVariant v;
    v.Vt_ = VT_INT;
    v.Int_ = value;
    return v;
}
TVariant TVariant::UI1(std::uint8_t value) {
    TVariant v;
    v.Vt_ = VT_UI1;
    v.Int_ = value;
    return v;
}
TVariant TVariant::UI2(std::uint16_t value) {
    TVariant v;
    v.Vt_ = VT_UI2;
    v.Int_ = value;
    return v;
}
TVariant TVariant::UI4(std::uint32_t value) {
    TVariant v;
    v.Vt_ = VT_UI4;
    v.Int_ = value;
    return v;
}
TVariant TVariant::UI8(std::uint64_t value) {
    TVariant v;
    v.Vt_ = VT_UI8;
    v.Int_ = static_cast<std::int64_t>(value);
    return v;
}
TVariant TVariant::UInt(std::uint32_t value) {
    TVariant v;
    v.Vt_ = VT_UINT;
    v.Int_ = value;
    return v;
}
TVariant TVariant::R4(float value) {
    TVariant v;
    v.Vt_ = VT_R4;
    v.Real_ = value;
    return v;
}
TVariant TVariant::R8(double value) {
    TVariant v;
    v.Vt_ = VT_R8;
    v.Real_ = value;
    return v;
}
TVariant TVariant::Cy(std::int64_t scaled) {
    TVariant v;
    v.Vt_ = VT_CY;
    v.Int_ = scaled;
    return v;
}
TVariant TVariant::Date(TDateTime value) {
    TVariant v;
    v.Vt_ = VT_DATE;
    v.Real_ = value;
    return v;
}
TVariant TVariant::Bstr(std::string text) {
    TVariant v;
    v.Vt_ = VT_BSTR;
    v.Text_ = std::move(text);
    return v;
}
TVariant TVariant::Bool(bool value) {
    TVariant v;
    v.Vt_ = VT_BOOL;
    v.Int_ = value ? VARIANT_TRUE : VARIANT_FALSE;
    return v;
}
TVariant TVariant::Error(HRESULT code) {
    TVariant v;
    v.Vt_ = VT_ERROR;
    v.Int_ = code;
    return v;
}

TVariant TVariant::Array(VARTYPE elementType, std::vector<TVariant> elements) {
    TVariant v;
    v.Vt_ = static_cast<VARTYPE>(VT_ARRAY | (elementType & VT_TYPEMASK));
    v.Elements_ = std::move(elements);
    return v;
}

namespace {

// The number a scalar source stands for; false when it is not numeric (text, null, error).
bool SourceNumber(const TVariant& src, TNumber& n) {
    switch (src.Vt()) {
    case VT_EMPTY: n = TNumber{}; return true;
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_INT:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UINT:
    case VT_BOOL:
        n.Kind = TNumber::Integer;
        n.I = src.IntValue();
        return true;
    case VT_UI8:
        n.Kind = TNumber::Integer;
        n.I = static_cast<Int128>(src.UIntValue());
        return true;
    case VT_CY:
        n.Kind = TNumber::Currency;
        n.I = src.IntValue();
        return true;
    case VT_R4:
    case VT_R8:
    case VT_DATE:
        n.Kind = TNumber::Real;
        n.R = src.RealValue();
        return true;
    default: return false;
    }
}

HRESULT NumberTo(const TNumber& n, VARTYPE vt, TVariant& out) {
    Int128 low, high;
    if (IntegerRange(vt, low, high)) {
        Int128 value;
        if (!ToInteger(n, value) || value < low || value > high) return DISP_E_OVERFLOW;
        switch (vt) {
        case VT_I1: out = TVariant::I1(static_cast<std::int8_t>(value)); break;
        case VT_I2: out = TVariant::I2(static_cast<std::int16_t>(value)); break;
        case VT_I4: out = TVariant::I4(static_cast<std::int32_t>(value)); break;
        case VT_INT: out = TVariant::Int(static_cast<std::int32_t>(value)); break;
        case VT_I8: out = TVariant::I8(static_cast<std::int64_t>(value)); break;
        case VT_UI1: out = TVariant::UI1(static_cast<std::uint8_t>(value)); break;
        case VT_UI2: out = TVariant::UI2(static_cast<std::uint16_t>(value)); break;
        case VT_UI4: out = TVariant::UI4(static_cast<std::uint32_t>(value)); break;
        case VT_UINT: out = TVariant::UInt(static_cast<std::uint32_t>(value)); break;
        default: out = TVariant::UI8(static_cast<std::uint64_t>(value)); break;
        }
        return S_OK;
    }
    switch (vt) {
    case VT_BOOL: out = TVariant::Bool(n.Kind == TNumber::Real ? n.R != 0 : n.I != 0); return S_OK;
    case VT_R4: {
        double d = ToDouble(n);
        if (std::isinf(d) || (std::isfinite(d) && std::fabs(d) > FLT_MAX)) {
            if (!(n.Kind == TNumber::Real && std::isinf(n.R))) return DISP_E_OVERFLOW;
        }
        out = TVariant::R4(static_cast<float>(d));
        return S_OK;
    }
    case VT_R8: out = TVariant::R8(ToDouble(n)); return S_OK;
    case VT_CY: {
        Int128 scaled;
        if (n.Kind == TNumber::Currency) {
            scaled = n.I;
        } else if (n.Kind == TNumber::Integer) {
            if (n.I > static_cast<Int128>(1) << 100 || n.I < -(static_cast<Int128>(1) << 100))
                return DISP_E_OVERFLOW;
            scaled = n.I * 10000;
        } else {
            if (!std::isfinite(n.R) || std::fabs(n.R) > 1e15) return DISP_E_OVERFLOW;
            scaled = static_cast<Int128>(RoundHalfEven(n.R * 10000.0));
        }
        if (scaled < std::numeric_limits<std::int64_t>::min() ||
            scaled > std::numeric_limits<std::int64_t>::max())
            return DISP_E_OVERFLOW;
        out = TVariant::Cy(static_cast<std::int64_t>(scaled));
        return S_OK;
    }
    case VT_DATE: {
        double d = ToDouble(n);
        if (!(d >= MinDate && d < MaxDate)) return DISP_E_OVERFLOW;
        out = TVariant::Date(d);
        return S_OK;
    }
    default: return DISP_E_TYPEMISMATCH;
    }
}

HRESULT ChangeScalar(const TVariant& src, std::uint16_t flags, VARTYPE vt, TVariant& out) {
    if (vt == VT_EMPTY) {
        out = TVariant();
        return S_OK;
    }
    if (!Representable(vt)) return DISP_E_BADVARTYPE;
    VARTYPE from = src.Vt();
    if (from == VT_NULL || vt == VT_NULL) {
        if (vt == VT_NULL && (from == VT_NULL || from == VT_EMPTY)) {
            out = TVariant::Null();
            return S_OK;
        }
        return DISP_E_TYPEMISMATCH;
    }
    if (from == VT_ERROR || vt == VT_ERROR) {
        if (from == VT_ERROR && vt == VT_ERROR) {
            out = src;
            return S_OK;
        }
        if (vt == VT_ERROR && (from == VT_I4 || from == VT_UI4)) {
            out = TVariant::Error(static_cast<HRESULT>(static_cast<std::uint32_t>(src.IntValue())));
            return S_OK;
        }
        return DISP_E_TYPEMISMATCH;
    }
    if (vt == VT_BSTR) {
        switch (from) {
        case VT_EMPTY: out = TVariant::Bstr(""); return S_OK;
        case VT_BSTR: out = src; return S_OK;
        case VT_BOOL:
            if (flags & VARIANT_ALPHABOOL)
                out = TVariant::Bstr(src.BoolValue() ? "True" : "False");
            else
                out = TVariant::Bstr(src.BoolValue() ? "-1" : "0");
            return S_OK;
        case VT_R4: out = TVariant::Bstr(RealText(src.RealValue(), 7)); return S_OK;
        case VT_R8: out = TVariant::Bstr(RealText(src.RealValue(), 15)); return S_OK;
        case VT_DATE: out = TVariant::Bstr(DateText(src.RealValue())); return S_OK;
        case VT_CY: out = TVariant::Bstr(CurrencyText(src.IntValue())); return S_OK;
        case VT_UI8: out = TVariant::Bstr(IntegerText(static_cast<Int128>(src.UIntValue()))); return S_OK;
        default: out = TVariant::Bstr(IntegerText(src.IntValue())); return S_OK;
        }
    }
    TNumber n;
    if (from == VT_BSTR) {
        if (vt == VT_BOOL) {
            if (EqualsIgnoreCase(Trim(src.Text()), "True")) {
                out = TVariant::Bool(true);
                return S_OK;
            }
            if (EqualsIgnoreCase(Trim(src.Text()), "False")) {
                out = TVariant::Bool(false);
                return S_OK;
            }
        }
        if (vt == VT_DATE) {
            double date;
            if (!ParseDate(src.Text(), date)) return DISP_E_TYPEMISMATCH;
            out = TVariant::Date(date);
            return S_OK;
        }
        switch (ParseNumber(src.Text(), n)) {
        case NotANumber: return DISP_E_TYPEMISMATCH;
        case NumberTooLarge: return DISP_E_OVERFLOW;
        default: break;
        }
        return NumberTo(n, vt, out);
    }
    if (!SourceNumber(src, n)) return DISP_E_TYPEMISMATCH;
    if (from == VT_BOOL && src.BoolValue() && IsUnsigned(vt)) {
        // TRUE is all bits set: it becomes the unsigned type's largest value.
        Int128 low, high;
        IntegerRange(vt, low, high);
        n.I = high;
    }
    return NumberTo(n, vt, out);
}

} // namespace

HRESULT VariantChangeType(TVariant& dest, const TVariant& src, std::uint16_t flags, VARTYPE vt) {
    TVariant result;
    HRESULT hr;
    bool wantArray = (vt & VT_ARRAY) != 0;
    if (vt == VT_EMPTY) {
        hr = S_OK;
    } else if (wantArray != src.IsArray()) {
        hr = DISP_E_TYPEMISMATCH;
    } else if (wantArray) {
        VARTYPE element = vt & VT_TYPEMASK;
        if (!Representable(element) || element == VT_EMPTY || element == VT_NULL) {
            hr = DISP_E_BADVARTYPE;
        } else {
            std::vector<TVariant> converted(src.Elements().size());
            hr = S_OK;
            for (std::size_t i = 0; i < converted.size() && Succeeded(hr); ++i)
                hr = ChangeScalar(src.Elements()[i], flags, element, converted[i]);
            if (Succeeded(hr)) result = TVariant::Array(element, std::move(converted));
        }
    } else {
        hr = ChangeScalar(src, flags, vt, result);
    }
    dest = Succeeded(hr) ? std::move(result) : TVariant();
    return hr;
}

std::array<std::uint8_t, 16> VariantRecord(const TVariant& value) {
    std::array<std::uint8_t, 16> record{};
    record[0] = static_cast<std::uint8_t>(value.Vt());
    record[1] = static_cast<std::uint8_t>(value.Vt() >> 8);
    std::uint64_t bits = 0;
    switch (value.Vt()) {
    case VT_R4: {
        float f = value.R4Value();
        std::uint32_t b;
        std::memcpy(&b, &f, sizeof b);
        bits = b;
        break;
    }
    case VT_R8:
    case VT_DATE: {
        double d = value.RealValue();
        std::memcpy(&bits, &d, sizeof bits);
        break;
    }
    case VT_I1: bits = static_cast<std::uint8_t>(value.IntValue()); break;
    case VT_I2:
    case VT_BOOL: bits = static_cast<std::uint16_t>(value.IntValue()); break;
    case VT_I4:
    case VT_INT:
    case VT_ERROR: bits = static_cast<std::uint32_t>(value.IntValue()); break;
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UINT:
    case VT_I8:
    case VT_UI8:
    case VT_CY: bits = static_cast<std::uint64_t>(value.IntValue()); break;
    default: break; // empty, text, arrays: nothing inside the record
    }
    for (int i = 0; i < 8; ++i) record[8 + i] = static_cast<std::uint8_t>(bits >> (8 * i));
    return record;
}

} // namespace dravon
