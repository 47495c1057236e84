#include "com/ComObjects.h"

#include "com/ComConvert.h"
#include "com/ComServer.h"
#include "com/ComSinks.h"

#include <new>

namespace dravon::com {

namespace {

bool Returned(dravon::HRESULT hr) { return hr == S_OK || hr == S_FALSE; }

// An in-array the count says is there but the caller did not pass.
bool Missing(DWORD count, const void* array) { return count != 0 && !array; }

std::string Text(LPCWSTR text) { return Utf8(text); }

template <class T, class U> std::vector<T> Copy(DWORD count, const U* values) {
    return values ? std::vector<T>(values, values + count) : std::vector<T>();
}

std::vector<dravon::OPCHANDLE> Handles(DWORD count, const OPCHANDLE* handles) {
    return handles ? std::vector<dravon::OPCHANDLE>(handles, handles + count)
                   : std::vector<dravon::OPCHANDLE>();
}

// A client's value the server cannot represent still reaches the item's type check,
// which fails it (a VT_ERROR converts to no item type).
std::vector<dravon::TVariant> Values(DWORD count, const VARIANT* values) {
    std::vector<dravon::TVariant> out;
    if (!values) return out;
    out.resize(count);
    for (DWORD i = 0; i < count; ++i)
        if (FAILED(FromVariant(values[i], out[i]))) out[i] = dravon::TVariant::Error(DISP_E_BADVARTYPE);
    return out;
}

std::vector<dravon::TOPCItemDef> ItemDefs(DWORD count, const OPCITEMDEF* items) {
    std::vector<dravon::TOPCItemDef> defs;
    if (!items) return defs;
    for (DWORD i = 0; i < count; ++i) {
        dravon::TOPCItemDef def;
        def.AccessPath = Utf8(items[i].szAccessPath);
        def.ItemID = Utf8(items[i].szItemID);
        def.Active = items[i].bActive;
        def.ClientHandle = items[i].hClient;
        if (items[i].pBlob) def.Blob.assign(items[i].pBlob, items[i].pBlob + items[i].dwBlobSize);
        def.RequestedDataType = items[i].vtRequestedDataType;
        defs.push_back(std::move(def));
    }
    return defs;
}

// The task-allocator copy of a blob (null for none).
BYTE* TaskBlob(const std::vector<std::uint8_t>& blob) {
    if (blob.empty()) return nullptr;
    BYTE* copy = TaskArray<BYTE>(blob.size());
    if (copy) CopyMemory(copy, blob.data(), blob.size());
    return copy;
}

// Results and errors of an item call for the client: null on any result other than S_OK
// and S_FALSE, E_OUTOFMEMORY when they cannot be allocated.
HRESULT ItemResults(dravon::HRESULT hr, const std::vector<dravon::TOPCItemResult>& results,
                    const std::vector<dravon::HRESULT>& errors, OPCITEMRESULT** ppResults,
                    HRESULT** ppErrors) {
    *ppResults = nullptr;
    *ppErrors = nullptr;
    if (!Returned(hr)) return Hr(hr);
    OPCITEMRESULT* out = TaskArray<OPCITEMRESULT>(results.size());
    HRESULT* errorsOut = TaskErrors(errors);
    if (!out || !errorsOut) {
        CoTaskMemFree(out);
        CoTaskMemFree(errorsOut);
        return E_OUTOFMEMORY;
    }
    for (std::size_t i = 0; i < results.size(); ++i) {
        out[i].hServer = results[i].ServerHandle;
        out[i].vtCanonicalDataType = results[i].CanonicalDataType;
        out[i].dwAccessRights = results[i].AccessRights;
        out[i].pBlob = TaskBlob(results[i].Blob);
        out[i].dwBlobSize = out[i].pBlob ? static_cast<DWORD>(results[i].Blob.size()) : 0;
    }
    *ppResults = out;
    *ppErrors = errorsOut;
    return Hr(hr);
}

// The errors of a call for the client, null on any result other than S_OK and S_FALSE.
HRESULT ErrorsOnly(dravon::HRESULT hr, const std::vector<dravon::HRESULT>& errors, HRESULT** ppErrors) {
    if (!ppErrors) return E_POINTER;
    *ppErrors = nullptr;
    if (!Returned(hr)) return Hr(hr);
    *ppErrors = TaskErrors(errors);
    return *ppErrors ? Hr(hr) : E_OUTOFMEMORY;
}

template <class Adapter, class StandIn>
HRESULT MakeEnumerator(TComServer& server, const dravon::TComPtr<StandIn>& standIn, REFIID riid,
                       void** object) {
    *object = nullptr;
    if (!standIn) return E_NOINTERFACE;
    Adapter* adapter = nullptr;
    try {
        adapter = new Adapter(server, standIn);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    adapter->AddRef();
    HRESULT hr = adapter->QueryInterface(riid, object);
    adapter->Release();
    return hr;
}

} // namespace

// ---- TComRefCounted ----

TComRefCounted::TComRefCounted(TComServer& server) : Server_(&server) { Server_->ObjectCreated(*this); }
TComRefCounted::~TComRefCounted() {
    if (Server_) Server_->ObjectReleased(*this);
}

ULONG TComRefCounted::ReleaseCount() {
    const LONG left = InterlockedDecrement(&Refs_);
    if (left == 0) {
        Refs_ = 1; // a reference taken and dropped while the destructor runs frees nothing
        delete this;
    }
    return static_cast<ULONG>(left);
}

// ---- TComConnectionPoint ----

TComConnectionPoint::TComConnectionPoint(IConnectionPointContainer& container,
                                         dravon::IConnectionPointContainer& standIn, const IID& iid)
    : Container_(container), StandIn_(standIn), Iid_(iid) {}

HRESULT TComConnectionPoint::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IConnectionPoint)) return E_NOINTERFACE;
    *object = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
}

HRESULT TComConnectionPoint::GetConnectionInterface(IID* iid) {
    if (!iid) return E_POINTER;
    *iid = Iid_;
    return S_OK;
}

HRESULT TComConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** container) {
    if (!container) return E_POINTER;
    *container = &Container_;
    Container_.AddRef();
    return S_OK;
}

HRESULT TComConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
    if (!sink || !cookie) return E_POINTER;
    *cookie = 0;
    dravon::TComPtr<dravon::IUnknown> adapter;
    try {
        if (IsEqualIID(Iid_, IID_IOPCDataCallback)) {
            IOPCDataCallback* callback = nullptr;
            if (FAILED(sink->QueryInterface(IID_IOPCDataCallback, reinterpret_cast<void**>(&callback))))
                return CONNECT_E_CANNOTCONNECT;
            adapter = dravon::MakeCom<TDataCallbackSink>(callback);
            callback->Release();
        } else {
            IOPCShutdown* shutdown = nullptr;
            if (FAILED(sink->QueryInterface(IID_IOPCShutdown, reinterpret_cast<void**>(&shutdown))))
                return CONNECT_E_CANNOTCONNECT;
            adapter = dravon::MakeCom<TShutdownSink>(shutdown);
            shutdown->Release();
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    dravon::TComPtr<dravon::IConnectionPoint> point;
    dravon::HRESULT hr = StandIn_.FindConnectionPoint(ToGuid(Iid_), point);
    if (dravon::Failed(hr) || !point) return CONNECT_E_CANNOTCONNECT;
    std::uint32_t standInCookie = 0;
    hr = point->Advise(adapter.Get(), standInCookie);
    *cookie = standInCookie;
    return Hr(hr);
}

HRESULT TComConnectionPoint::Unadvise(DWORD cookie) {
    dravon::TComPtr<dravon::IConnectionPoint> point;
    if (dravon::Failed(StandIn_.FindConnectionPoint(ToGuid(Iid_), point)) || !point)
        return CONNECT_E_NOCONNECTION;
    return Hr(point->Unadvise(cookie));
}

HRESULT TComConnectionPoint::EnumConnections(IEnumConnections** connections) {
    if (connections) *connections = nullptr;
    return E_NOTIMPL;
}

// ---- TComServerObject ----

TComServerObject::TComServerObject(TComServer& server, dravon::TComPtr<dravon::TDA2> standIn)
    : TComRefCounted(server), StandIn_(std::move(standIn)),
      ShutdownPoint_(*this, *StandIn_, IID_IOPCShutdown) {}

TComServerObject::~TComServerObject() = default;

HRESULT TComServerObject::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOPCServer))
        *object = static_cast<IOPCServer*>(this);
    else if (IsEqualIID(iid, IID_IOPCCommon))
        *object = static_cast<IOPCCommon*>(this);
    else if (IsEqualIID(iid, IID_IOPCBrowseServerAddressSpace))
        *object = static_cast<IOPCBrowseServerAddressSpace*>(this);
    else if (IsEqualIID(iid, IID_IOPCItemProperties))
        *object = static_cast<IOPCItemProperties*>(this);
    else if (IsEqualIID(iid, IID_IConnectionPointContainer))
        *object = static_cast<IConnectionPointContainer*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

HRESULT TComServerObject::GroupAs(const dravon::TComPtr<dravon::IUnknown>& group, REFIID riid,
                                  LPUNKNOWN* ppUnk) {
    dravon::TOPCGroup* standIn = TComServer::GroupOf(group);
    if (!standIn) return E_NOINTERFACE;
    return Server_->GroupInterface(*standIn, riid, reinterpret_cast<void**>(ppUnk));
}

HRESULT TComServerObject::AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                                   OPCHANDLE hClientGroup, LONG* pTimeBias, FLOAT* pPercentDeadband,
                                   DWORD dwLCID, OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate,
                                   REFIID riid, LPUNKNOWN* ppUnk) {
    if (!ppUnk || !phServerGroup || !pRevisedUpdateRate) return E_POINTER;
    *ppUnk = nullptr;
    std::int32_t timeBias = pTimeBias ? *pTimeBias : 0;
    dravon::OPCHANDLE serverGroup = 0;
    std::uint32_t revised = 0;
    dravon::TComPtr<dravon::IUnknown> group;
    dravon::HRESULT hr = StandIn_->AddGroup(Text(szName), bActive, dwRequestedUpdateRate, hClientGroup,
                                            pTimeBias ? &timeBias : nullptr, pPercentDeadband, dwLCID,
                                            serverGroup, revised, ToGuid(riid), group);
    *phServerGroup = serverGroup;
    *pRevisedUpdateRate = revised;
    if (!group) return Hr(hr);
    HRESULT adapted = GroupAs(group, riid, ppUnk);
    return FAILED(adapted) ? adapted : Hr(hr);
}

HRESULT TComServerObject::GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) {
    if (!ppString) return E_POINTER;
    std::string text;
    dravon::HRESULT hr = StandIn_->GetErrorString(dwError, dwLocale, text);
    *ppString = dravon::Failed(hr) ? nullptr : TaskString(text);
    if (dravon::Succeeded(hr) && !*ppString) return E_OUTOFMEMORY;
    return Hr(hr);
}

HRESULT TComServerObject::GetGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) {
    if (!ppUnk) return E_POINTER;
    *ppUnk = nullptr;
    dravon::TComPtr<dravon::IUnknown> group;
    dravon::HRESULT hr = StandIn_->GetGroupByName(Text(szName), ToGuid(riid), group);
    if (!group) return Hr(hr);
    HRESULT adapted = GroupAs(group, riid, ppUnk);
    return FAILED(adapted) ? adapted : Hr(hr);
}

HRESULT TComServerObject::GetStatus(OPCSERVERSTATUS** ppServerStatus) {
    if (!ppServerStatus) return E_POINTER;
    *ppServerStatus = nullptr;
    std::unique_ptr<dravon::TOPCServerStatus> status;
    dravon::HRESULT hr = StandIn_->GetStatus(status);
    if (dravon::Failed(hr) || !status) return Hr(hr);
    OPCSERVERSTATUS* out = TaskArray<OPCSERVERSTATUS>(1);
    LPWSTR vendor = TaskString(status->VendorInfo);
    if (!out || !vendor) {
        CoTaskMemFree(out);
        CoTaskMemFree(vendor);
        return E_OUTOFMEMORY;
    }
    out->ftStartTime = ToFileTime(status->StartTime);
    out->ftCurrentTime = ToFileTime(status->CurrentTime);
    out->ftLastUpdateTime = ToFileTime(status->LastUpdateTime);
    out->dwServerState = static_cast<OPCSERVERSTATE>(status->ServerState);
    out->dwGroupCount = status->GroupCount;
    out->dwBandWidth = status->BandWidth;
    out->wMajorVersion = status->MajorVersion;
    out->wMinorVersion = status->MinorVersion;
    out->wBuildNumber = status->BuildNumber;
    out->wReserved = status->Reserved;
    out->szVendorInfo = vendor;
    *ppServerStatus = out;
    return Hr(hr);
}

HRESULT TComServerObject::RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) {
    return Hr(StandIn_->RemoveGroup(hServerGroup, bForce));
}

HRESULT TComServerObject::CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, LPUNKNOWN* ppUnk) {
    if (!ppUnk) return E_POINTER;
    *ppUnk = nullptr;
    dravon::TComPtr<dravon::IUnknown> enumerator;
    dravon::HRESULT hr = StandIn_->CreateGroupEnumerator(dwScope, ToGuid(riid), enumerator);
    if (dravon::Failed(hr) || !enumerator) return Hr(hr);
    HRESULT adapted = IsEqualIID(riid, IID_IEnumString)
                          ? MakeEnumerator<TComEnumString>(*Server_, enumerator.As<dravon::IEnumString>(),
                                                           riid, reinterpret_cast<void**>(ppUnk))
                          : MakeEnumerator<TComEnumUnknown>(*Server_, enumerator.As<dravon::IEnumUnknown>(),
                                                            riid, reinterpret_cast<void**>(ppUnk));
    return FAILED(adapted) ? adapted : Hr(hr);
}

HRESULT TComServerObject::SetLocaleID(LCID dwLcid) { return Hr(StandIn_->SetLocaleID(dwLcid)); }

HRESULT TComServerObject::GetLocaleID(LCID* pdwLcid) {
    if (!pdwLcid) return E_POINTER;
    std::uint32_t lcid = 0;
    dravon::HRESULT hr = StandIn_->GetLocaleID(lcid);
    *pdwLcid = lcid;
    return Hr(hr);
}

HRESULT TComServerObject::QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) {
    if (!pdwCount || !pdwLcid) return E_POINTER;
    *pdwCount = 0;
    *pdwLcid = nullptr;
    std::vector<std::uint32_t> lcids;
    dravon::HRESULT hr = StandIn_->QueryAvailableLocaleIDs(lcids);
    if (!Returned(hr)) return Hr(hr);
    LCID* out = TaskArray<LCID>(lcids.size());
    if (!out) return E_FAIL;
    for (std::size_t i = 0; i < lcids.size(); ++i) out[i] = lcids[i];
    *pdwCount = static_cast<DWORD>(lcids.size());
    *pdwLcid = out;
    return Hr(hr);
}

HRESULT TComServerObject::GetErrorString(HRESULT dwError, LPWSTR* ppString) {
    if (!ppString) return E_POINTER;
    std::string text;
    dravon::HRESULT hr = StandIn_->GetErrorString(dwError, text);
    *ppString = dravon::Failed(hr) ? nullptr : TaskString(text);
    if (dravon::Succeeded(hr) && !*ppString) return E_OUTOFMEMORY;
    return Hr(hr);
}

HRESULT TComServerObject::SetClientName(LPCWSTR szName) { return Hr(StandIn_->SetClientName(Text(szName))); }

HRESULT TComServerObject::QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) {
    if (!pNameSpaceType) return E_POINTER;
    std::uint32_t type = 0;
    dravon::HRESULT hr = StandIn_->QueryOrganization(type);
    *pNameSpaceType = static_cast<OPCNAMESPACETYPE>(type);
    return Hr(hr);
}

HRESULT TComServerObject::ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) {
    return Hr(StandIn_->ChangeBrowsePosition(dwBrowseDirection, Text(szString)));
}

HRESULT TComServerObject::BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria,
                                           VARTYPE vtDataTypeFilter, DWORD dwAccessRightsFilter,
                                           LPENUMSTRING* ppIEnumString) {
    if (!ppIEnumString) return E_POINTER;
    *ppIEnumString = nullptr;
    dravon::TComPtr<dravon::IEnumString> names;
    dravon::HRESULT hr = StandIn_->BrowseOPCItemIDs(dwBrowseFilterType, Text(szFilterCriteria),
                                                    vtDataTypeFilter, dwAccessRightsFilter, names);
    if (dravon::Failed(hr) || !names) return Hr(hr);
    HRESULT adapted = MakeEnumerator<TComEnumString>(*Server_, names, IID_IEnumString,
                                                     reinterpret_cast<void**>(ppIEnumString));
    return FAILED(adapted) ? adapted : Hr(hr);
}

HRESULT TComServerObject::GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) {
    if (!szItemID) return E_POINTER;
    std::string itemID;
    dravon::HRESULT hr = StandIn_->GetItemID(Text(szItemDataID), itemID);
    *szItemID = dravon::Failed(hr) ? nullptr : TaskString(itemID);
    if (dravon::Succeeded(hr) && !*szItemID) return E_OUTOFMEMORY;
    return Hr(hr);
}

HRESULT TComServerObject::BrowseAccessPaths(LPCWSTR szItemID, LPENUMSTRING* ppIEnumString) {
    if (!ppIEnumString) return E_POINTER;
    *ppIEnumString = nullptr;
    dravon::TComPtr<dravon::IEnumString> paths;
    dravon::HRESULT hr = StandIn_->BrowseAccessPaths(Text(szItemID), paths);
    if (dravon::Failed(hr) || !paths) return Hr(hr);
    return MakeEnumerator<TComEnumString>(*Server_, paths, IID_IEnumString,
                                          reinterpret_cast<void**>(ppIEnumString));
}

HRESULT TComServerObject::QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs,
                                                   LPWSTR** ppDescriptions, VARTYPE** ppvtDataTypes) {
    if (!pdwCount || !ppPropertyIDs || !ppDescriptions || !ppvtDataTypes) return E_POINTER;
    *pdwCount = 0;
    *ppPropertyIDs = nullptr;
    *ppDescriptions = nullptr;
    *ppvtDataTypes = nullptr;
    std::vector<std::uint32_t> ids;
    std::vector<std::string> descriptions;
    std::vector<dravon::VARTYPE> types;
    dravon::HRESULT hr = StandIn_->QueryAvailableProperties(Text(szItemID), ids, descriptions, types);
    if (!Returned(hr)) return Hr(hr);
    DWORD* idsOut = TaskArray<DWORD>(ids.size());
    LPWSTR* textsOut = TaskArray<LPWSTR>(ids.size());
    VARTYPE* typesOut = TaskArray<VARTYPE>(ids.size());
    bool ok = idsOut && textsOut && typesOut;
    for (std::size_t i = 0; ok && i < ids.size(); ++i) {
        idsOut[i] = ids[i];
        typesOut[i] = i < types.size() ? types[i] : VT_EMPTY;
        textsOut[i] = TaskString(i < descriptions.size() ? descriptions[i] : std::string());
        ok = textsOut[i] != nullptr;
    }
    if (!ok) {
        if (textsOut)
            for (std::size_t i = 0; i < ids.size(); ++i) CoTaskMemFree(textsOut[i]);
        CoTaskMemFree(idsOut);
        CoTaskMemFree(textsOut);
        CoTaskMemFree(typesOut);
        return E_OUTOFMEMORY;
    }
    *pdwCount = static_cast<DWORD>(ids.size());
    *ppPropertyIDs = idsOut;
    *ppDescriptions = textsOut;
    *ppvtDataTypes = typesOut;
    return Hr(hr);
}

HRESULT TComServerObject::GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                            VARIANT** ppvData, HRESULT** ppErrors) {
    if (Missing(dwCount, pdwPropertyIDs)) return E_INVALIDARG;
    if (!ppvData || !ppErrors) return E_POINTER;
    *ppvData = nullptr;
    *ppErrors = nullptr;
    std::vector<dravon::TVariant> data;
    std::vector<dravon::HRESULT> errors;
    dravon::HRESULT hr = StandIn_->GetItemProperties(
        Text(szItemID), Copy<std::uint32_t>(dwCount, pdwPropertyIDs), data, errors);
    if (!Returned(hr)) return Hr(hr);
    VARIANT* dataOut = TaskArray<VARIANT>(data.size());
    HRESULT* errorsOut = TaskErrors(errors);
    if (!dataOut || !errorsOut) {
        CoTaskMemFree(dataOut);
        CoTaskMemFree(errorsOut);
        return E_OUTOFMEMORY;
    }
    for (std::size_t i = 0; i < data.size(); ++i)
        if (FAILED(ToVariant(data[i], &dataOut[i]))) VariantInit(&dataOut[i]);
    *ppvData = dataOut;
    *ppErrors = errorsOut;
    return Hr(hr);
}

HRESULT TComServerObject::LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                        LPWSTR** ppszNewItemIDs, HRESULT** ppErrors) {
    if (Missing(dwCount, pdwPropertyIDs)) return E_INVALIDARG;
    if (!ppszNewItemIDs || !ppErrors) return E_POINTER;
    *ppszNewItemIDs = nullptr;
    *ppErrors = nullptr;
    std::vector<std::string> ids;
    std::vector<dravon::HRESULT> errors;
    dravon::HRESULT hr =
        StandIn_->LookupItemIDs(Text(szItemID), Copy<std::uint32_t>(dwCount, pdwPropertyIDs), ids, errors);
    if (!Returned(hr)) return Hr(hr);
    LPWSTR* idsOut = TaskArray<LPWSTR>(ids.size());
    HRESULT* errorsOut = TaskErrors(errors);
    bool ok = idsOut && errorsOut;
    for (std::size_t i = 0; ok && i < ids.size(); ++i) ok = (idsOut[i] = TaskString(ids[i])) != nullptr;
    if (!ok) {
        if (idsOut)
            for (std::size_t i = 0; i < ids.size(); ++i) CoTaskMemFree(idsOut[i]);
        CoTaskMemFree(idsOut);
        CoTaskMemFree(errorsOut);
        return E_OUTOFMEMORY;
    }
    *ppszNewItemIDs = idsOut;
    *ppErrors = errorsOut;
    return Hr(hr);
}

HRESULT TComServerObject::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
    if (ppEnum) *ppEnum = nullptr;
    return E_NOTIMPL;
}

HRESULT TComServerObject::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
    if (!ppCP) return E_POINTER;
    *ppCP = nullptr;
    dravon::TComPtr<dravon::IConnectionPoint> point;
    dravon::HRESULT hr = StandIn_->FindConnectionPoint(ToGuid(riid), point);
    if (dravon::Failed(hr) || !point || !IsEqualIID(riid, ShutdownPoint_.Iid())) return Hr(hr);
    *ppCP = &ShutdownPoint_;
    ShutdownPoint_.AddRef();
    return S_OK;
}

// ---- TComGroup ----

TComGroup::TComGroup(TComServer& server, dravon::TComPtr<dravon::TOPCGroup> standIn)
    : TComRefCounted(server), StandIn_(std::move(standIn)),
      DataCallbackPoint_(*this, *StandIn_, IID_IOPCDataCallback) {}

TComGroup::~TComGroup() {
    if (Server_) Server_->GroupGone(*this);
}

HRESULT TComGroup::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOPCGroupStateMgt))
        *object = static_cast<IOPCGroupStateMgt*>(this);
    else if (IsEqualIID(iid, IID_IOPCItemMgt))
        *object = static_cast<IOPCItemMgt*>(this);
    else if (IsEqualIID(iid, IID_IOPCSyncIO))
        *object = static_cast<IOPCSyncIO*>(this);
    else if (IsEqualIID(iid, IID_IOPCAsyncIO2))
        *object = static_cast<IOPCAsyncIO2*>(this);
    else if (IsEqualIID(iid, IID_IOPCAsyncIO))
        *object = static_cast<IOPCAsyncIO*>(this);
    else if (IsEqualIID(iid, IID_IDataObject))
        *object = static_cast<IDataObject*>(this);
    else if (IsEqualIID(iid, IID_IConnectionPointContainer))
        *object = static_cast<IConnectionPointContainer*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

HRESULT TComGroup::GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                            FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                            OPCHANDLE* phServerGroup) {
    if (!pUpdateRate || !pActive || !ppName || !pTimeBias || !pPercentDeadband || !pLCID || !phClientGroup ||
        !phServerGroup)
        return E_POINTER;
    std::uint32_t rate = 0, lcid = 0;
    std::int32_t active = 0, timeBias = 0;
    std::string name;
    float deadband = 0;
    dravon::OPCHANDLE client = 0, server = 0;
    dravon::HRESULT hr = StandIn_->GetState(rate, active, name, timeBias, deadband, lcid, client, server);
    *pUpdateRate = rate;
    *pActive = active;
    *ppName = dravon::Failed(hr) ? nullptr : TaskString(name);
    *pTimeBias = timeBias;
    *pPercentDeadband = deadband;
    *pLCID = lcid;
    *phClientGroup = client;
    *phServerGroup = server;
    if (dravon::Succeeded(hr) && !*ppName) return E_OUTOFMEMORY;
    return Hr(hr);
}

HRESULT TComGroup::SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive,
                            LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD* pLCID,
                            OPCHANDLE* phClientGroup) {
    if (!pRevisedUpdateRate) return E_POINTER;
    const std::uint32_t rate = pRequestedUpdateRate ? *pRequestedUpdateRate : 0;
    const std::int32_t active = pActive ? *pActive : 0;
    const std::int32_t timeBias = pTimeBias ? *pTimeBias : 0;
    const std::uint32_t lcid = pLCID ? *pLCID : 0;
    const dravon::OPCHANDLE client = phClientGroup ? *phClientGroup : 0;
    std::uint32_t revised = 0;
    dravon::HRESULT hr =
        StandIn_->SetState(pRequestedUpdateRate ? &rate : nullptr, revised, pActive ? &active : nullptr,
                           pTimeBias ? &timeBias : nullptr, pPercentDeadband, pLCID ? &lcid : nullptr,
                           phClientGroup ? &client : nullptr);
    *pRevisedUpdateRate = revised;
    return Hr(hr);
}

HRESULT TComGroup::SetName(LPCWSTR szName) { return Hr(StandIn_->SetName(Text(szName))); }

HRESULT TComGroup::CloneGroup(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) {
    if (!ppUnk) return E_POINTER;
    *ppUnk = nullptr;
    dravon::TComPtr<dravon::IUnknown> clone;
    dravon::HRESULT hr = StandIn_->CloneGroup(Text(szName), ToGuid(riid), clone);
    dravon::TOPCGroup* standIn = clone ? TComServer::GroupOf(clone) : nullptr;
    if (!standIn) return Hr(hr);
    HRESULT adapted = Server_->GroupInterface(*standIn, riid, reinterpret_cast<void**>(ppUnk));
    return FAILED(adapted) ? adapted : Hr(hr);
}

HRESULT TComGroup::AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                            HRESULT** ppErrors) {
    if (Missing(dwCount, pItemArray)) return E_INVALIDARG;
    if (!ppAddResults || !ppErrors) return E_POINTER;
    std::vector<dravon::TOPCItemResult> results;
    std::vector<dravon::HRESULT> errors;
    dravon::HRESULT hr = StandIn_->AddItems(ItemDefs(dwCount, pItemArray), results, errors);
    return ItemResults(hr, results, errors, ppAddResults, ppErrors);
}

HRESULT TComGroup::ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate,
                                 OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) {
    if (Missing(dwCount, pItemArray)) return E_INVALIDARG;
    if (!ppValidationResults || !ppErrors) return E_POINTER;
    std::vector<dravon::TOPCItemResult> results;
    std::vector<dravon::HRESULT> errors;
    dravon::HRESULT hr = StandIn_->ValidateItems(ItemDefs(dwCount, pItemArray), bBlobUpdate, results, errors);
    return ItemResults(hr, results, errors, ppValidationResults, ppErrors);
}

HRESULT TComGroup::RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) {
    if (Missing(dwCount, phServer)) return E_INVALIDARG;
    std::vector<dravon::HRESULT> errors;
    dravon::HRESULT hr = StandIn_->RemoveItems(Handles(dwCount, phServer), errors);
    return ErrorsOnly(hr, errors, ppErrors);
}

HRESULT TComGroup::SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive, HRESULT** ppErrors) {
    if (Missing(dwCount, phServer)) return E_INVALIDARG;
    std::vector<dravon::HRESULT> errors;
    dravon::HRESULT hr = StandIn_->SetActiveState(Handles(dwCount, phServer), bActive, errors);
    return ErrorsOnly(hr, errors, ppErrors);
}

HRESULT TComGroup::SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient,
                                    HRESULT** ppErrors) {
    if (Missing(dwCount, phServer) || Missing(dwCount, phClient)) return E_INVALIDARG;
    std::vector<dravon::HRESULT> errors;
    dravon::HRESULT hr =
        StandIn_->SetClientHandles(Handles(dwCount, phServer), Handles(dwCount, phClient), errors);
    return ErrorsOnly(hr, errors, ppErrors);
}

HRESULT TComGroup::SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                                HRESULT** ppErrors) {
    if (Missing(dwCount, phServer) || Missing(dwCount, pRequestedDatatypes)) return E_INVALIDARG;
    std::vector<dravon::HRESULT> errors;
    dravon::HRESULT hr = StandIn_->SetDataTypes(Handles(dwCount, phServer),
                                                Copy<dravon::VARTYPE>(dwCount, pRequestedDatatypes), errors);
    return ErrorsOnly(hr, errors, ppErrors);
}

HRESULT TComGroup::CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) {
    if (!ppUnk) return E_POINTER;
    *ppUnk = nullptr;
    dravon::TComPtr<dravon::IUnknown> enumerator;
    dravon::HRESULT hr = StandIn_->CreateEnumerator(ToGuid(riid), enumerator);
    if (dravon::Failed(hr) || !enumerator) return Hr(hr);
    HRESULT adapted = MakeEnumerator<TComEnumItemAttributes>(
        *Server_, enumerator.As<dravon::IEnumOPCItemAttributes>(), riid, reinterpret_cast<void**>(ppUnk));
    return FAILED(adapted) ? adapted : Hr(hr);
}

HRESULT TComGroup::Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                        OPCITEMSTATE** ppItemValues, HRESULT** ppErrors) {
    if (Missing(dwCount, phServer)) return E_INVALIDARG;
    if (!ppItemValues || !ppErrors) return E_POINTER;
    *ppItemValues = nullptr;
    *ppErrors = nullptr;
    std::vector<dravon::TOPCItemState> states;
    std::vector<dravon::HRESULT> errors;
    dravon::HRESULT hr =
        StandIn_->Read(static_cast<std::uint32_t>(dwSource), Handles(dwCount, phServer), states, errors);
    if (!Returned(hr)) return Hr(hr);
    OPCITEMSTATE* out = TaskArray<OPCITEMSTATE>(states.size());
    HRESULT* errorsOut = TaskErrors(errors);
    if (!out || !errorsOut) {
        CoTaskMemFree(out);
        CoTaskMemFree(errorsOut);
        return E_OUTOFMEMORY;
    }
    for (std::size_t i = 0; i < states.size(); ++i) {
        out[i].hClient = states[i].ClientHandle;
        out[i].ftTimeStamp = ToFileTime(states[i].TimeStamp);
        out[i].wQuality = states[i].Quality;
        out[i].wReserved = states[i].Reserved;
        if (FAILED(ToVariant(states[i].Value, &out[i].vDataValue))) VariantInit(&out[i].vDataValue);
    }
    *ppItemValues = out;
    *ppErrors = errorsOut;
    return Hr(hr);
}

HRESULT TComGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, HRESULT** ppErrors) {
    if (Missing(dwCount, phServer) || Missing(dwCount, pItemValues)) return E_INVALIDARG;
    std::vector<dravon::HRESULT> errors;
    dravon::HRESULT hr = StandIn_->Write(Handles(dwCount, phServer), Values(dwCount, pItemValues), errors);
    return ErrorsOnly(hr, errors, ppErrors);
}

HRESULT TComGroup::Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID, DWORD* pdwCancelID,
                        HRESULT** ppErrors) {
    if (Missing(dwCount, phServer)) return E_INVALIDARG;
    if (!pdwCancelID) return E_POINTER;
    std::uint32_t cancelID = 0;
    std::vector<dravon::HRESULT> errors;
    dravon::HRESULT hr = StandIn_->Read(Handles(dwCount, phServer), dwTransactionID, cancelID, errors);
    *pdwCancelID = cancelID;
    return ErrorsOnly(hr, errors, ppErrors);
}

HRESULT TComGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, DWORD dwTransactionID,
                         DWORD* pdwCancelID, HRESULT** ppErrors) {
    if (Missing(dwCount, phServer) || Missing(dwCount, pItemValues)) return E_INVALIDARG;
    if (!pdwCancelID) return E_POINTER;
    std::uint32_t cancelID = 0;
    std::vector<dravon::HRESULT> errors;
    dravon::HRESULT hr = StandIn_->Write(Handles(dwCount, phServer), Values(dwCount, pItemValues),
                                         dwTransactionID, cancelID, errors);
    *pdwCancelID = cancelID;
    return ErrorsOnly(hr, errors, ppErrors);
}

HRESULT TComGroup::Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD* pdwCancelID) {
    if (!pdwCancelID) return E_POINTER;
    std::uint32_t cancelID = 0;
    dravon::HRESULT hr = StandIn_->Refresh2(static_cast<std::uint32_t>(dwSource), dwTransactionID, cancelID);
    *pdwCancelID = cancelID;
    return Hr(hr);
}

HRESULT TComGroup::Cancel2(DWORD dwCancelID) { return Hr(StandIn_->Cancel2(dwCancelID)); }
HRESULT TComGroup::SetEnable(BOOL bEnable) { return Hr(StandIn_->SetEnable(bEnable)); }

HRESULT TComGroup::GetEnable(BOOL* pbEnable) {
    if (!pbEnable) return E_POINTER;
    std::int32_t enable = 0;
    dravon::HRESULT hr = StandIn_->GetEnable(enable);
    *pbEnable = enable;
    return Hr(hr);
}

HRESULT TComGroup::Read(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                        DWORD* pTransactionID, HRESULT** ppErrors) {
    if (Missing(dwCount, phServer)) return E_INVALIDARG;
    if (!pTransactionID) return E_POINTER;
    std::uint32_t transactionID = 0;
    std::vector<dravon::HRESULT> errors;
    dravon::HRESULT hr = StandIn_->Read(dwConnection, static_cast<std::uint32_t>(dwSource),
                                        Handles(dwCount, phServer), transactionID, errors);
    *pTransactionID = transactionID;
    return ErrorsOnly(hr, errors, ppErrors);
}

HRESULT TComGroup::Write(DWORD dwConnection, DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                         DWORD* pTransactionID, HRESULT** ppErrors) {
    if (Missing(dwCount, phServer) || Missing(dwCount, pItemValues)) return E_INVALIDARG;
    if (!pTransactionID) return E_POINTER;
    std::uint32_t transactionID = 0;
    std::vector<dravon::HRESULT> errors;
    dravon::HRESULT hr = StandIn_->Write(dwConnection, Handles(dwCount, phServer),
                                         Values(dwCount, pItemValues), transactionID, errors);
    *pTransactionID = transactionID;
    return ErrorsOnly(hr, errors, ppErrors);
}

HRESULT TComGroup::Refresh(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD* pTransactionID) {
    if (!pTransactionID) return E_POINTER;
    std::uint32_t transactionID = 0;
    dravon::HRESULT hr = StandIn_->Refresh(dwConnection, static_cast<std::uint32_t>(dwSource), transactionID);
    *pTransactionID = transactionID;
    return Hr(hr);
}

HRESULT TComGroup::Cancel(DWORD dwTransactionID) { return Hr(StandIn_->Cancel(dwTransactionID)); }

// The version-1 data object answers advise only; the rest is the stand-in's E_NOTIMPL.
HRESULT TComGroup::GetData(FORMATETC*, STGMEDIUM* pmedium) {
    if (pmedium) ZeroMemory(pmedium, sizeof *pmedium);
    return E_NOTIMPL;
}
HRESULT TComGroup::GetDataHere(FORMATETC*, STGMEDIUM*) { return E_NOTIMPL; }
HRESULT TComGroup::QueryGetData(FORMATETC*) { return E_NOTIMPL; }
HRESULT TComGroup::GetCanonicalFormatEtc(FORMATETC*, FORMATETC* pformatetcOut) {
    if (pformatetcOut) pformatetcOut->ptd = nullptr;
    return E_NOTIMPL;
}
HRESULT TComGroup::SetData(FORMATETC*, STGMEDIUM*, BOOL) { return E_NOTIMPL; }
HRESULT TComGroup::EnumFormatEtc(DWORD, IEnumFORMATETC** ppenumFormatEtc) {
    if (ppenumFormatEtc) *ppenumFormatEtc = nullptr;
    return E_NOTIMPL;
}
HRESULT TComGroup::EnumDAdvise(IEnumSTATDATA** ppenumAdvise) {
    if (ppenumAdvise) *ppenumAdvise = nullptr;
    return E_NOTIMPL;
}

HRESULT TComGroup::DAdvise(FORMATETC* pformatetc, DWORD advf, IAdviseSink* pAdvSink, DWORD* pdwConnection) {
    if (!pformatetc || !pdwConnection) return E_POINTER;
    *pdwConnection = 0;
    dravon::TFormatEtc format;
    format.ClipFormat = CoreClipFormat(pformatetc->cfFormat, Server_->Connections());
    format.Aspect = pformatetc->dwAspect;
    format.Index = pformatetc->lindex;
    format.Tymed = pformatetc->tymed;
    dravon::TComPtr<TAdviseSink> sink;
    if (pAdvSink) {
        try {
            sink = dravon::MakeCom<TAdviseSink>(pAdvSink, Server_->Connections());
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }
    std::uint32_t connection = 0;
    dravon::HRESULT hr = StandIn_->DAdvise(format, advf, sink.Get(), connection);
    *pdwConnection = connection;
    return Hr(hr);
}

HRESULT TComGroup::DUnadvise(DWORD dwConnection) { return Hr(StandIn_->DUnadvise(dwConnection)); }

HRESULT TComGroup::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
    if (ppEnum) *ppEnum = nullptr;
    return E_NOTIMPL;
}

HRESULT TComGroup::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
    if (!ppCP) return E_POINTER;
    *ppCP = nullptr;
    dravon::TComPtr<dravon::IConnectionPoint> point;
    dravon::HRESULT hr = StandIn_->FindConnectionPoint(ToGuid(riid), point);
    if (dravon::Failed(hr) || !point || !IsEqualIID(riid, DataCallbackPoint_.Iid())) return Hr(hr);
    *ppCP = &DataCallbackPoint_;
    DataCallbackPoint_.AddRef();
    return S_OK;
}

// ---- enumerators ----

TComEnumString::TComEnumString(TComServer& server, dravon::TComPtr<dravon::IEnumString> standIn)
    : TComRefCounted(server), StandIn_(std::move(standIn)) {}

HRESULT TComEnumString::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IEnumString)) return E_NOINTERFACE;
    *object = static_cast<IEnumString*>(this);
    AddRef();
    return S_OK;
}

HRESULT TComEnumString::Next(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched) {
    if (!rgelt && celt) return E_POINTER;
    std::vector<std::string> names;
    std::uint32_t fetched = 0;
    dravon::HRESULT hr = StandIn_->Next(celt, names, pceltFetched ? &fetched : nullptr);
    ULONG given = 0;
    for (; given < names.size() && given < celt; ++given) {
        rgelt[given] = TaskString(names[given]);
        if (!rgelt[given]) {
            for (ULONG i = 0; i < given; ++i) CoTaskMemFree(rgelt[i]);
            if (pceltFetched) *pceltFetched = 0;
            return E_OUTOFMEMORY;
        }
    }
    if (pceltFetched) *pceltFetched = given;
    return Hr(hr);
}

HRESULT TComEnumString::Skip(ULONG celt) { return Hr(StandIn_->Skip(celt)); }
HRESULT TComEnumString::Reset() { return Hr(StandIn_->Reset()); }

HRESULT TComEnumString::Clone(IEnumString** ppenum) {
    if (!ppenum) return E_POINTER;
    *ppenum = nullptr;
    dravon::TComPtr<dravon::IEnumString> copy;
    dravon::HRESULT hr = StandIn_->Clone(copy);
    if (dravon::Failed(hr) || !copy) return Hr(hr);
    return MakeEnumerator<TComEnumString>(*Server_, copy, IID_IEnumString, reinterpret_cast<void**>(ppenum));
}

TComEnumUnknown::TComEnumUnknown(TComServer& server, dravon::TComPtr<dravon::IEnumUnknown> standIn)
    : TComRefCounted(server), StandIn_(std::move(standIn)) {}

HRESULT TComEnumUnknown::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IEnumUnknown)) return E_NOINTERFACE;
    *object = static_cast<IEnumUnknown*>(this);
    AddRef();
    return S_OK;
}

HRESULT TComEnumUnknown::Next(ULONG celt, IUnknown** rgelt, ULONG* pceltFetched) {
    if (!rgelt && celt) return E_POINTER;
    std::vector<dravon::TComPtr<dravon::IUnknown>> groups;
    std::uint32_t fetched = 0;
    dravon::HRESULT hr = StandIn_->Next(celt, groups, pceltFetched ? &fetched : nullptr);
    ULONG given = 0;
    for (const auto& group : groups) {
        if (given >= celt) break;
        dravon::TOPCGroup* standIn = TComServer::GroupOf(group);
        void* adapter = nullptr;
        if (!standIn || FAILED(Server_->GroupInterface(*standIn, IID_IUnknown, &adapter))) continue;
        rgelt[given++] = static_cast<IUnknown*>(adapter);
    }
    if (pceltFetched) *pceltFetched = given;
    return Hr(hr);
}

HRESULT TComEnumUnknown::Skip(ULONG celt) { return Hr(StandIn_->Skip(celt)); }
HRESULT TComEnumUnknown::Reset() { return Hr(StandIn_->Reset()); }

HRESULT TComEnumUnknown::Clone(IEnumUnknown** ppenum) {
    if (!ppenum) return E_POINTER;
    *ppenum = nullptr;
    dravon::TComPtr<dravon::IEnumUnknown> copy;
    dravon::HRESULT hr = StandIn_->Clone(copy);
    if (dravon::Failed(hr) || !copy) return Hr(hr);
    return MakeEnumerator<TComEnumUnknown>(*Server_, copy, IID_IEnumUnknown,
                                           reinterpret_cast<void**>(ppenum));
}

TComEnumItemAttributes::TComEnumItemAttributes(TComServer& server,
                                               dravon::TComPtr<dravon::IEnumOPCItemAttributes> standIn)
    : TComRefCounted(server), StandIn_(std::move(standIn)) {}

HRESULT TComEnumItemAttributes::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IEnumOPCItemAttributes)) return E_NOINTERFACE;
    *object = static_cast<IEnumOPCItemAttributes*>(this);
    AddRef();
    return S_OK;
}

HRESULT TComEnumItemAttributes::Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray, ULONG* pceltFetched) {
    if (!ppItemArray || !pceltFetched) return E_POINTER;
    *ppItemArray = nullptr;
    *pceltFetched = 0;
    std::vector<dravon::TOPCItemAttributes> items;
    std::uint32_t fetched = 0;
    dravon::HRESULT hr = StandIn_->Next(celt, items, fetched);
    if (dravon::Failed(hr) || celt == 0) return Hr(hr);
    OPCITEMATTRIBUTES* out = TaskArray<OPCITEMATTRIBUTES>(celt);
    if (!out) return E_OUTOFMEMORY;
    ULONG given = 0;
    for (; given < items.size() && given < celt; ++given) {
        const auto& item = items[given];
        OPCITEMATTRIBUTES& o = out[given];
        o.szAccessPath = TaskString(item.AccessPath);
        o.szItemID = TaskString(item.ItemID);
        o.bActive = item.Active;
        o.hClient = item.ClientHandle;
        o.hServer = item.ServerHandle;
        o.dwAccessRights = item.AccessRights;
        o.pBlob = TaskBlob(item.Blob);
        o.dwBlobSize = o.pBlob ? static_cast<DWORD>(item.Blob.size()) : 0;
        o.vtRequestedDataType = item.RequestedDataType;
        o.vtCanonicalDataType = item.CanonicalDataType;
        o.dwEUType = static_cast<OPCEUTYPE>(item.EUType);
        if (FAILED(ToVariant(item.EUInfo, &o.vEUInfo))) VariantInit(&o.vEUInfo);
    }
    *ppItemArray = out;
    *pceltFetched = given;
    return Hr(hr);
}

HRESULT TComEnumItemAttributes::Skip(ULONG celt) { return Hr(StandIn_->Skip(celt)); }
HRESULT TComEnumItemAttributes::Reset() { return Hr(StandIn_->Reset()); }

HRESULT TComEnumItemAttributes::Clone(IEnumOPCItemAttributes** ppEnumItemAttributes) {
    if (!ppEnumItemAttributes) return E_POINTER;
    *ppEnumItemAttributes = nullptr;
    dravon::TComPtr<dravon::IEnumOPCItemAttributes> copy;
    dravon::HRESULT hr = StandIn_->Clone(copy);
    if (dravon::Failed(hr) || !copy) return Hr(hr);
    return MakeEnumerator<TComEnumItemAttributes>(*Server_, copy, IID_IEnumOPCItemAttributes,
                                                  reinterpret_cast<void**>(ppEnumItemAttributes));
}

} // namespace dravon::com
