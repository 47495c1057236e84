#include "com/ComConvert.h"

namespace dravon::com {

std::wstring Wide(const std::string& text) {
    if (text.empty()) return {};
    const int size = static_cast<int>(text.size());
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
    if (n > 0) {
        std::wstring wide(static_cast<std::size_t>(n), L'\0');
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, wide.data(), n);
        return wide;
    }
    // Not UTF-8: characters a PLC string holds, one byte each.
    std::wstring wide;
    wide.reserve(text.size());
    for (char c : text) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    return wide;
}

std::string Utf8(const wchar_t* text, std::size_t length) {
    if (!text || length == 0) return {};
    const int size = static_cast<int>(length);
    int n = WideCharToMultiByte(CP_UTF8, 0, text, size, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return {};
    std::string narrow(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, size, narrow.data(), n, nullptr, nullptr);
    return narrow;
}

std::string Utf8(const wchar_t* text) { return text ? Utf8(text, wcslen(text)) : std::string(); }

LPWSTR TaskString(const std::string& text) {
    const std::wstring wide = Wide(text);
    auto* copy = static_cast<LPWSTR>(CoTaskMemAlloc((wide.size() + 1) * sizeof(wchar_t)));
    if (!copy) return nullptr;
    CopyMemory(copy, wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
    return copy;
}

HRESULT* TaskErrors(const std::vector<dravon::HRESULT>& errors) {
    HRESULT* out = TaskArray<HRESULT>(errors.size());
    if (out)
        for (std::size_t i = 0; i < errors.size(); ++i) out[i] = Hr(errors[i]);
    return out;
}

namespace {

// The scalar part of a value into a VARIANT of the value's type.
HRESULT ScalarToVariant(const dravon::TVariant& value, VARIANT* out) {
    const VARTYPE vt = value.Vt();
    switch (vt) {
    case dravon::VT_EMPTY:
    case dravon::VT_NULL: break;
    case dravon::VT_I1: out->cVal = static_cast<CHAR>(value.IntValue()); break;
    case dravon::VT_I2: out->iVal = static_cast<SHORT>(value.IntValue()); break;
    case dravon::VT_I4: out->lVal = static_cast<LONG>(value.IntValue()); break;
    case dravon::VT_I8: out->llVal = value.IntValue(); break;
    case dravon::VT_INT: out->intVal = static_cast<INT>(value.IntValue()); break;
    case dravon::VT_UI1: out->bVal = static_cast<BYTE>(value.UIntValue()); break;
    case dravon::VT_UI2: out->uiVal = static_cast<USHORT>(value.UIntValue()); break;
    case dravon::VT_UI4: out->ulVal = static_cast<ULONG>(value.UIntValue()); break;
    case dravon::VT_UI8: out->ullVal = value.UIntValue(); break;
    case dravon::VT_UINT: out->uintVal = static_cast<UINT>(value.UIntValue()); break;
    case dravon::VT_R4: out->fltVal = value.R4Value(); break;
    case dravon::VT_R8: out->dblVal = value.RealValue(); break;
    case dravon::VT_DATE: out->date = value.RealValue(); break;
    case dravon::VT_CY: out->cyVal.int64 = value.IntValue(); break;
    case dravon::VT_BOOL: out->boolVal = value.BoolValue() ? VARIANT_TRUE : VARIANT_FALSE; break;
    case dravon::VT_ERROR: out->scode = static_cast<SCODE>(value.IntValue()); break;
    case dravon::VT_BSTR: {
        const std::wstring wide = Wide(value.Text());
        out->bstrVal = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
        if (!out->bstrVal) return E_OUTOFMEMORY;
        break;
    }
    default: return DISP_E_BADVARTYPE;
    }
    out->vt = vt;
    return S_OK;
}

HRESULT ScalarFromVariant(const VARIANT& in, dravon::TVariant& value) {
    switch (in.vt) {
    case VT_EMPTY: value = dravon::TVariant(); break;
    case VT_NULL: value = dravon::TVariant::Null(); break;
    case VT_I1: value = dravon::TVariant::I1(in.cVal); break;
    case VT_I2: value = dravon::TVariant::I2(in.iVal); break;
    case VT_I4: value = dravon::TVariant::I4(in.lVal); break;
    case VT_I8: value = dravon::TVariant::I8(in.llVal); break;
    case VT_INT: value = dravon::TVariant::Int(in.intVal); break;
    case VT_UI1: value = dravon::TVariant::UI1(in.bVal); break;
    case VT_UI2: value = dravon::TVariant::UI2(in.uiVal); break;
    case VT_UI4: value = dravon::TVariant::UI4(in.ulVal); break;
    case VT_UI8: value = dravon::TVariant::UI8(in.ullVal); break;
    case VT_UINT: value = dravon::TVariant::UInt(in.uintVal); break;
    case VT_R4: value = dravon::TVariant::R4(in.fltVal); break;
    case VT_R8: value = dravon::TVariant::R8(in.dblVal); break;
    case VT_DATE: value = dravon::TVariant::Date(in.date); break;
    case VT_CY: value = dravon::TVariant::Cy(in.cyVal.int64); break;
    case VT_BOOL: value = dravon::TVariant::Bool(in.boolVal != VARIANT_FALSE); break;
    case VT_ERROR: value = dravon::TVariant::Error(in.scode); break;
    case VT_BSTR: value = dravon::TVariant::Bstr(Utf8(in.bstrVal, SysStringLen(in.bstrVal))); break;
    default: return DISP_E_BADVARTYPE;
    }
    return S_OK;
}

} // namespace

HRESULT ToVariant(const dravon::TVariant& value, VARIANT* out) {
    VariantInit(out);
    if (!value.IsArray()) return ScalarToVariant(value, out);
    const VARTYPE elementType = value.ElementType();
    const auto& elements = value.Elements();
    SAFEARRAY* array = SafeArrayCreateVector(elementType, 0, static_cast<ULONG>(elements.size()));
    if (!array) return E_OUTOFMEMORY;
    for (LONG i = 0; i < static_cast<LONG>(elements.size()); ++i) {
        VARIANT element;
        HRESULT hr = elementType == VT_VARIANT ? ToVariant(elements[i], &element)
                                               : ScalarToVariant(elements[i], &element);
        if (SUCCEEDED(hr)) {
            // A VARIANT array holds whole VARIANTs; a BSTR array the string; any other
            // array the value bytes, which start every VARIANT's union.
            void* data = elementType == VT_VARIANT ? static_cast<void*>(&element)
                         : elementType == VT_BSTR  ? static_cast<void*>(element.bstrVal)
                                                   : static_cast<void*>(&element.llVal);
            hr = SafeArrayPutElement(array, &i, data);
        }
        VariantClear(&element);
        if (FAILED(hr)) {
            SafeArrayDestroy(array);
            return hr;
        }
    }
    out->vt = static_cast<VARTYPE>(VT_ARRAY | elementType);
    out->parray = array;
    return S_OK;
}

HRESULT FromVariant(const VARIANT& in, dravon::TVariant& value) {
    value = dravon::TVariant();
    if (in.vt & VT_BYREF) {
        VARIANT direct;
        VariantInit(&direct);
        HRESULT hr = VariantCopyInd(&direct, const_cast<VARIANT*>(&in));
        if (SUCCEEDED(hr)) hr = FromVariant(direct, value);
        VariantClear(&direct);
        return hr;
    }
    if (!(in.vt & VT_ARRAY)) return ScalarFromVariant(in, value);
    SAFEARRAY* array = in.parray;
    if (!array || SafeArrayGetDim(array) != 1) return DISP_E_BADVARTYPE;
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(array, 1, &lower);
    SafeArrayGetUBound(array, 1, &upper);
    const VARTYPE elementType = in.vt & VT_TYPEMASK;
    std::vector<dravon::TVariant> elements;
    for (LONG i = lower; i <= upper; ++i) {
        VARIANT element;
        VariantInit(&element);
        HRESULT hr;
        if (elementType == VT_VARIANT) {
            hr = SafeArrayGetElement(array, &i, &element);
        } else {
            void* data = elementType == VT_BSTR ? static_cast<void*>(&element.bstrVal)
                                                : static_cast<void*>(&element.llVal);
            hr = SafeArrayGetElement(array, &i, data);
            if (SUCCEEDED(hr)) element.vt = elementType;
        }
        // Elements are scalars: an array inside an array is no value an item takes.
        if (SUCCEEDED(hr) && (element.vt & VT_ARRAY)) hr = DISP_E_BADVARTYPE;
        dravon::TVariant converted;
        if (SUCCEEDED(hr)) hr = FromVariant(element, converted);
        VariantClear(&element);
        if (FAILED(hr)) return hr;
        elements.push_back(std::move(converted));
    }
    value = dravon::TVariant::Array(elementType, std::move(elements));
    return S_OK;
}

} // namespace dravon::com
