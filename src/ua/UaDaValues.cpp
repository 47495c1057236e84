#include "ua/UaDaValues.h"

#include "ua/UaNodeIds.h"
#include "ua/UaStatusCodes.h"

namespace dravon {

TUaStatusCode UaStatusFromQuality(std::uint16_t quality) {
    switch (quality & 0xFF) {
    case 0xC0: return UaStatus::Good;
    case 0xD8: return UaStatus::GoodLocalOverride;
    case 0x44: return UaStatus::UncertainLastUsableValue;
    case 0x40: return UaStatus::Uncertain;
    case 0x18: return UaStatus::BadNoCommunication;
    case 0x04: return UaStatus::BadConfigurationError;
    case 0x1C: return UaStatus::BadOutOfService;
    case 0x00: return UaStatus::Bad;
    default: break;
    }
    switch (quality & 0xC0) {
    case 0xC0: return UaStatus::Good;
    case 0x40: return UaStatus::Uncertain;
    default: return UaStatus::Bad;
    }
}

namespace {
TUaScalar ScalarFromDa(const TVariant& v, TUaType& type) {
    switch (v.ElementType()) {
    case VT_BOOL: type = TUaType::Boolean; return v.BoolValue();
    case VT_I1: type = TUaType::SByte; return v.IntValue();
    case VT_UI1: type = TUaType::Byte; return v.UIntValue();
    case VT_I2: type = TUaType::Int16; return v.IntValue();
    case VT_UI2: type = TUaType::UInt16; return v.UIntValue();
    case VT_I4:
    case VT_INT: type = TUaType::Int32; return v.IntValue();
    case VT_UI4:
    case VT_UINT: type = TUaType::UInt32; return v.UIntValue();
    case VT_I8: type = TUaType::Int64; return v.IntValue();
    case VT_UI8: type = TUaType::UInt64; return v.UIntValue();
    case VT_R4: type = TUaType::Float; return v.RealValue();
    case VT_R8: type = TUaType::Double; return v.RealValue();
    case VT_BSTR: type = TUaType::String; return v.Text();
    default: type = TUaType::Null; return std::monostate{};
    }
}
} // namespace

TUaVariant UaVariantFromDa(const TVariant& value) {
    TUaVariant out;
    if (value.IsArray()) {
        out.IsArray = true;
        for (const auto& element : value.Elements()) {
            TUaType type = TUaType::Null;
            out.Values.push_back(ScalarFromDa(element, type));
            out.Type = type;
        }
        if (out.Values.empty()) out.Type = static_cast<TUaType>(UaDataTypeFromVt(value.ElementType()));
        return out;
    }
    TUaType type = TUaType::Null;
    TUaScalar scalar = ScalarFromDa(value, type);
    if (type == TUaType::Null) return out;
    return TUaVariant::Scalar(type, std::move(scalar));
}

namespace {
bool ScalarToDa(TUaType type, const TUaScalar& s, TVariant& out) {
    auto i = [&] { return std::holds_alternative<std::int64_t>(s) ? std::get<std::int64_t>(s) : 0; };
    auto u = [&] { return std::holds_alternative<std::uint64_t>(s) ? std::get<std::uint64_t>(s) : 0; };
    switch (type) {
    case TUaType::Boolean:
        out = TVariant::Bool(std::holds_alternative<bool>(s) && std::get<bool>(s));
        return true;
    case TUaType::SByte: out = TVariant::I1(static_cast<std::int8_t>(i())); return true;
    case TUaType::Byte: out = TVariant::UI1(static_cast<std::uint8_t>(u())); return true;
    case TUaType::Int16: out = TVariant::I2(static_cast<std::int16_t>(i())); return true;
    case TUaType::UInt16: out = TVariant::UI2(static_cast<std::uint16_t>(u())); return true;
    case TUaType::Int32: out = TVariant::I4(static_cast<std::int32_t>(i())); return true;
    case TUaType::UInt32: out = TVariant::UI4(static_cast<std::uint32_t>(u())); return true;
    case TUaType::Int64: out = TVariant::I8(i()); return true;
    case TUaType::UInt64: out = TVariant::UI8(u()); return true;
    case TUaType::Float:
        out = TVariant::R4(static_cast<float>(std::holds_alternative<double>(s) ? std::get<double>(s) : 0.0));
        return true;
    case TUaType::Double:
        out = TVariant::R8(std::holds_alternative<double>(s) ? std::get<double>(s) : 0.0);
        return true;
    case TUaType::String:
        out =
            TVariant::Bstr(std::holds_alternative<std::string>(s) ? std::get<std::string>(s) : std::string());
        return true;
    default: return false;
    }
}
} // namespace

bool DaVariantFromUa(const TUaVariant& value, TVariant& out) {
    if (!value.Dimensions.empty()) return false;
    if (!value.IsArray) return value.Values.size() == 1 && ScalarToDa(value.Type, value.Values.front(), out);
    std::vector<TVariant> elements;
    for (const auto& s : value.Values) {
        TVariant element;
        if (!ScalarToDa(value.Type, s, element)) return false;
        elements.push_back(std::move(element));
    }
    TVariant probe;
    if (!ScalarToDa(value.Type, TUaScalar{}, probe)) return false;
    out = TVariant::Array(probe.Vt(), std::move(elements));
    return true;
}

std::uint32_t UaDataTypeFromVt(VARTYPE vt) {
    switch (vt & VT_TYPEMASK) {
    case VT_BOOL: return UaId::Boolean;
    case VT_I1: return UaId::SByte;
    case VT_UI1: return UaId::Byte;
    case VT_I2: return UaId::Int16;
    case VT_UI2: return UaId::UInt16;
    case VT_I4:
    case VT_INT: return UaId::Int32;
    case VT_UI4:
    case VT_UINT: return UaId::UInt32;
    case VT_I8: return UaId::Int64;
    case VT_UI8: return UaId::UInt64;
    case VT_R4: return UaId::Float;
    case VT_R8: return UaId::Double;
    case VT_BSTR: return UaId::String;
    case VT_DATE: return UaId::DateTime;
    default: return 0;
    }
}

} // namespace dravon
