#include "opc/OPCErrorStrings.h"

#include <string_view>

namespace dravon {

namespace {

struct TCodeEntry {
    HRESULT Code;
    const char* Name;
    const char* Text; // null: the system text
};

const TCodeEntry CodeTable[] = {
    {S_OK, "S_OK", nullptr},
    {S_FALSE, "S_FALSE", nullptr},
    {E_NOTIMPL, "E_NOTIMPL", nullptr},
    {E_NOINTERFACE, "E_NOINTERFACE", nullptr},
    {E_FAIL, "E_FAIL", nullptr},
    {E_OUTOFMEMORY, "E_OUTOFMEMORY", nullptr},
    {E_INVALIDARG, "E_INVALIDARG", nullptr},
    {OPC_E_INVALIDHANDLE, "OPC_E_INVALIDHANDLE", "The value of the handle is invalid."},
    {OPC_E_BADTYPE, "OPC_E_BADTYPE",
     "The server cannot convert the data between the requested data type and the canonical data type."},
    {OPC_E_PUBLIC, "OPC_E_PUBLIC", "The requested operation cannot be done on a public group."},
    {OPC_E_BADRIGHTS, "OPC_E_BADRIGHTS", "The Items AccessRights do not allow the operation."},
    {OPC_E_UNKNOWNITEMID, "OPC_E_UNKNOWNITEMID",
     "The item is no longer available in the server address space."},
    {OPC_E_INVALIDITEMID, "OPC_E_INVALIDITEMID",
     "The item definition does not conform to the server's syntax."},
    {OPC_E_INVALIDFILTER, "OPC_E_INVALIDFILTER", "The filter string was not valid."},
    {OPC_E_UNKNOWNPATH, "OPC_E_UNKNOWNPATH", "The item's access path is not known to the server."},
    {OPC_E_RANGE, "OPC_E_RANGE", "The value was out of range."},
    {OPC_E_DUPLICATENAME, "OPC_E_DUPLICATENAME", "Duplicate name not allowed."},
    {OPC_S_UNSUPPORTEDRATE, "OPC_S_UNSUPPORTEDRATE",
     "The server does not support the requested data rate but will use the closest available rate."},
    {OPC_S_CLAMP, "OPC_S_CLAMP", "A value passed to WRITE was accepted but the output was clamped."},
    {OPC_S_INUSE, "OPC_S_INUSE",
     "The operation cannot be completed because the object still has references that exist."},
    {OPC_E_INVALIDCONFIGFILE, "OPC_E_INVALIDCONFIGFILE",
     "The server's configuration file is an invalid format."},
    {OPC_E_NOTFOUND, "OPC_E_NOTFOUND", "The server could not locate the requested object."},
    {OPC_E_INVALID_PID, "OPC_E_INVALID_PID", "The server does not recognise the passed property ID."},
    {OPC_S_ALREADYACKED, "OPC_S_ALREADYACKED", "The condition has already been acknowleged."},
    {OPC_S_INVALIDBUFFERTIME, "OPC_S_INVALIDBUFFERTIME", "The buffer time parameter was invalid."},
    {OPC_S_INVALIDMAXSIZE, "OPC_S_INVALIDMAXSIZE", "The max size parameter was invalid."},
    {OPC_E_INVALIDTIME, "OPC_E_INVALIDTIME", "The time does not match the latest active time."},
    {OPC_E_BUSY, "OPC_E_BUSY", "A refresh is currently in progress."},
    {OPC_E_NOINFO, "OPC_E_NOINFO", "Information is not available."},
};

// The standard message texts of the COM and Windows codes this server returns or
// passes on, as the system's message table words them (with their line break).
struct TSystemText {
    HRESULT Code;
    const char* Text;
};

const TSystemText SystemTexts[] = {
    {S_OK, "The operation completed successfully.\r\n"},
    {S_FALSE, "Incorrect function.\r\n"},
    {E_NOTIMPL, "Not implemented\r\n"},
    {E_NOINTERFACE, "No such interface supported\r\n"},
    {E_POINTER, "Invalid pointer\r\n"},
    {E_ABORT, "Operation aborted\r\n"},
    {E_FAIL, "Unspecified error\r\n"},
    {E_UNEXPECTED, "Catastrophic failure\r\n"},
    {E_ACCESSDENIED, "Access is denied.\r\n"},
    {E_HANDLE, "The handle is invalid.\r\n"},
    {E_OUTOFMEMORY, "Not enough storage is available to complete this operation.\r\n"},
    {E_INVALIDARG, "The parameter is incorrect.\r\n"},
    {RPC_E_DISCONNECTED, "The object invoked has disconnected from its clients.\r\n"},
    {CLASS_E_NOAGGREGATION, "Class does not support aggregation (or class object is remote)\r\n"},
    {CLASS_E_CLASSNOTAVAILABLE, "ClassFactory cannot supply requested class\r\n"},
    {DISP_E_TYPEMISMATCH, "Type mismatch.\r\n"},
    {DISP_E_BADVARTYPE, "Bad variable type.\r\n"},
    {DISP_E_OVERFLOW, "Out of present range.\r\n"},
    {RPC_X_ENUM_VALUE_OUT_OF_RANGE, "The enumeration value is out of range.\r\n"},
};

constexpr std::size_t MaxSystemTextLength = 255;

const TCodeEntry* Find(HRESULT code) {
    for (const auto& entry : CodeTable)
        if (entry.Code == code) return &entry;
    return nullptr;
}

} // namespace

std::string ResultName(HRESULT code) {
    if (const TCodeEntry* entry = Find(code)) return entry->Name;
    return "code: " + std::to_string(code);
}

std::string SystemErrorText(HRESULT code) {
    for (const auto& entry : SystemTexts)
        if (entry.Code == code) return std::string(entry.Text).substr(0, MaxSystemTextLength);
    return {};
}

std::string ErrorText(HRESULT code) {
    if (const TCodeEntry* entry = Find(code); entry && entry->Text) return entry->Text;
    std::string text = SystemErrorText(code);
    while (!text.empty()) {
        unsigned char last = static_cast<unsigned char>(text.back());
        if (last < 32 || last == 127 || last == ' ' || last == '.')
            text.pop_back();
        else
            break;
    }
    return text;
}

} // namespace dravon
