#include "com/ComRegistration.h"

#include "com/ComConvert.h"

namespace dravon::com {

namespace {

bool ParseGuid(const std::string& text, GUID& guid) {
    const std::wstring wide = Wide(text);
    return SUCCEEDED(CLSIDFromString(wide.c_str(), &guid));
}

// The manager, or null when it cannot be created.
ICatRegister* Manager() {
    ICatRegister* manager = nullptr;
    if (FAILED(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                                IID_ICatRegister, reinterpret_cast<void**>(&manager))))
        return nullptr;
    return manager;
}

} // namespace

bool TCatRegister::RegisterCategory(const std::string& catid, const std::string& description) {
    CATEGORYINFO info{};
    if (!ParseGuid(catid, info.catid)) return false;
    info.lcid = GetUserDefaultLCID();
    // The manager keeps at most 127 characters.
    const std::wstring text = Wide(description).substr(0, 127);
    text.copy(info.szDescription, text.size());
    ICatRegister* manager = Manager();
    if (!manager) return false;
    const HRESULT hr = manager->RegisterCategories(1, &info);
    manager->Release();
    return SUCCEEDED(hr);
}

bool TCatRegister::RegisterClassImplemented(const std::string& clsid, const std::string& catid) {
    CLSID cls;
    CATID cat;
    if (!ParseGuid(clsid, cls) || !ParseGuid(catid, cat)) return false;
    ICatRegister* manager = Manager();
    if (!manager) return false;
    const HRESULT hr = manager->RegisterClassImplCategories(cls, 1, &cat);
    manager->Release();
    return SUCCEEDED(hr);
}

bool TCatRegister::UnregisterClassImplemented(const std::string& clsid, const std::string& catid) {
    CLSID cls;
    CATID cat;
    if (!ParseGuid(clsid, cls) || !ParseGuid(catid, cat)) return false;
    ICatRegister* manager = Manager();
    if (!manager) return false;
    const HRESULT hr = manager->UnRegisterClassImplCategories(cls, 1, &cat);
    manager->Release();
    return SUCCEEDED(hr);
}

std::string ExecutablePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) return Utf8(path.c_str(), n);
        path.resize(path.size() * 2);
    }
}

bool RunRegistration(dravon::IKeyValueStore& store, dravon::TRegistrationAction action) {
    TCatRegister categories;
    const dravon::TRegistrationResult result =
        action == dravon::TRegistrationAction::Register
            ? dravon::RegisterServer(store, dravon::ServerProgID, ExecutablePath(), &categories)
            : dravon::UnregisterServer(store, dravon::ServerProgID, &categories);
    return result.Ok;
}

TComApartment::TComApartment()
    : Initialized_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE))) {}

TComApartment::~TComApartment() {
    if (Initialized_) CoUninitialize();
}

} // namespace dravon::com
