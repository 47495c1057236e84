#include "opc/DA2.h"

#include "app/ServerContext.h"
#include "app/SessionLog.h"
#include "app/TextFormat.h"
#include "opc/BrowseObject.h"
#include "opc/DAConnectionItem.h"
#include "opc/OPCDAConnectionCollection.h"
#include "opc/OPCErrorStrings.h"
#include "opc/OPCGroup.h"
#include "opc/OPCGroupCollection.h"
#include "opc/OPCItemProperties.h"
#include "opc/OPCLog.h"
#include "opc/OPCStringsEnumerator.h"
#include "opc/S3UnknownEnumerator.h"

#include <new>

namespace dravon {

namespace {
constexpr const char* VendorInfo = "Dravon OPC Data Access Server";
constexpr std::uint32_t StatusBandWidth = 100;

// Hands out interface iid of object into a client's out-interface.
template <class T> HRESULT Deliver(T& object, const TGuid& iid, TComPtr<IUnknown>& out) {
    out.Reset();
    IUnknown* raw = nullptr;
    HRESULT hr = object.QueryInterface(iid, &raw);
    if (Succeeded(hr) && raw) out = TComPtr<IUnknown>::Attach(raw);
    return hr;
}
} // namespace

TDA2::TDA2(TServerContext& context, TOPCDAConnectionCollection& connections)
    : Context_(context),
      ShutdownPoint_(*static_cast<IOPCServer*>(this), *this, IOPCShutdown::Iid, 1,
                     [this](IUnknown* sink, bool connected) { ShutdownSinkChanged(sink, connected); }) {
    CreationTime_ = Context_.Clock ? Context_.Clock->Now() : 0;
    Groups_ = std::make_unique<TOPCGroupCollection>(*this);
    Properties_ = std::make_unique<TOPCItemProperties>(*this);
    Browse_ = std::make_unique<TBrowseObject>(*this);
    connections.Add(*this);
}

TDA2::~TDA2() {
    if (Context_.Log && Context_.Clock)
        Context_.Log->Add(FormatText("Client %s disconnected at %s",
                                     {LogText(ClientName_), ClientEventTimeText(*Context_.Clock)}),
                          true);
    Browse_.reset();
    Properties_.reset();
    Groups_.reset();
    ShutdownPoint_.DisconnectAll();
    ShutdownSink_.Reset();
    if (Connections_ && ConnectionItem_) Connections_->Remove(*ConnectionItem_);
}

void TDA2::Disconnect() {
    TOPCDAConnectionCollection* list = Connections_;
    TDAConnectionItem* item = ConnectionItem_;
    if (list && item) list->Remove(*item);
    // The old collection detaches its groups as it goes; later calls find none.
    auto groups = std::make_unique<TOPCGroupCollection>(*this);
    Groups_.swap(groups);
    groups.reset();
    ShutdownPoint_.DisconnectAll();
    ShutdownSink_.Reset();
}

HRESULT TDA2::QueryInterface(const TGuid& iid, IUnknown** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid == IUnknown::Iid || iid == IOPCServer::Iid)
        *object = static_cast<IOPCServer*>(this);
    else if (iid == IOPCCommon::Iid)
        *object = static_cast<IOPCCommon*>(this);
    else if (iid == IOPCBrowseServerAddressSpace::Iid)
        *object = static_cast<IOPCBrowseServerAddressSpace*>(this);
    else if (iid == IOPCItemProperties::Iid)
        *object = static_cast<IOPCItemProperties*>(this);
    else if (iid == IConnectionPointContainer::Iid)
        *object = static_cast<IConnectionPointContainer*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

// ---- IOPCServer

HRESULT TDA2::AddGroup(const std::string& name, std::int32_t active, std::uint32_t requestedUpdateRate,
                       OPCHANDLE clientGroup, const std::int32_t* timeBias, const float* percentDeadband,
                       std::uint32_t lcid, OPCHANDLE& serverGroup, std::uint32_t& revisedUpdateRate,
                       const TGuid& iid, TComPtr<IUnknown>& group) {
    group.Reset();
    serverGroup = 0;
    revisedUpdateRate = 0;
    Busy_ = true;
    LogCallStart(Context_.Debug, "IOPCServer::AddGroup");
    Groups_->Purge();

    HRESULT hr = S_OK;
    std::string groupName = name;
    TComPtr<TOPCGroup> created;
    if (!Connections_) {
        hr = RPC_E_DISCONNECTED;
    } else if (!groupName.empty() && Groups_->FindByName(groupName)) {
        hr = OPC_E_DUPLICATENAME;
    } else {
        if (groupName.empty()) groupName = Groups_->GenerateName();
        try {
            created = Groups_->Create();
        } catch (const std::bad_alloc&) {
            created = nullptr;
        }
        if (!created) hr = E_OUTOFMEMORY;
    }
    if (created) {
        created->Name = groupName;
        created->Active = active != 0;
        created->ClientHandle = clientGroup;
        created->LocaleID = lcid;
        created->PercentDeadband = percentDeadband ? *percentDeadband : 0.0f;
        created->UpdateRate = TOPCGroup::ReviseRate(created->UpdateRate, requestedUpdateRate);
        created->TimeBias =
            timeBias ? *timeBias : (Context_.Clock ? Context_.Clock->TimeZoneBiasMinutes() : 0);
        serverGroup = created->ServerHandle;
        revisedUpdateRate = created->UpdateRate;
        // A group that refuses the interface stays in the collection.
        hr = Deliver(*created, iid, group);
        if (Succeeded(hr) && revisedUpdateRate != requestedUpdateRate) hr = OPC_S_UNSUPPORTEDRATE;
    }
    if (hr != S_OK && hr != S_FALSE && hr != OPC_S_UNSUPPORTEDRATE) group.Reset();

    LogCallEnd(Context_.Debug, "IOPCServer::AddGroup", hr);
    if ((hr == S_OK || hr == OPC_S_UNSUPPORTEDRATE) && Context_.Log && Context_.Clock)
        Context_.Log->Add(
            FormatText("Client %s created group %s at %s",
                       {LogText(ClientName_), LogText(groupName), ClientEventTimeText(*Context_.Clock)}),
            true);
    Busy_ = false;
    return hr;
}

HRESULT TDA2::GetErrorString(HRESULT error, std::uint32_t, std::string& text) {
    text = ErrorText(error);
    LogCall(Context_.Debug, "IOPCServer::GetErrorString", S_OK);
    return S_OK;
}

HRESULT TDA2::GetGroupByName(const std::string& name, const TGuid& iid, TComPtr<IUnknown>& group) {
    group.Reset();
    LogCallStart(Context_.Debug, "IOPCServer::GetGroupByName");
    HRESULT hr;
    if (name.empty()) {
        hr = E_INVALIDARG;
    } else if (TOPCGroup* found = Groups_->FindByName(name)) {
        hr = Deliver(*found, iid, group);
    } else {
        hr = E_FAIL;
    }
    LogCallEnd(Context_.Debug, "IOPCServer::GetGroupByName", hr);
    return hr;
}

HRESULT TDA2::GetStatus(std::unique_ptr<TOPCServerStatus>& status) {
    status.reset();
    LogCallStart(Context_.Debug, "IOPCServer::GetStatus");
    HRESULT hr = S_OK;
    try {
        status = std::make_unique<TOPCServerStatus>();
        if (Context_.Clock) {
            status->StartTime = LocalDateTimeToFileTime(CreationTime_, *Context_.Clock);
            status->CurrentTime = FileTimeNow(*Context_.Clock);
            status->LastUpdateTime = LocalDateTimeToFileTime(LastUpdateTime, *Context_.Clock);
        }
        status->ServerState = OPC_STATUS_RUNNING;
        status->GroupCount = static_cast<std::uint32_t>(Groups_->Count());
        status->BandWidth = StatusBandWidth;
        status->MajorVersion = 2;
        status->MinorVersion = 0;
        status->BuildNumber = 0;
        status->VendorInfo = VendorInfo;
    } catch (const std::bad_alloc&) {
        status.reset();
        hr = E_OUTOFMEMORY;
    }
    LogCallEnd(Context_.Debug, "IOPCServer::GetStatus", hr);
    return hr;
}

HRESULT TDA2::RemoveGroup(OPCHANDLE serverGroup, std::int32_t force) {
    LogCallStart(Context_.Debug, "IOPCServer::RemoveGroup");
    HRESULT hr;
    TOPCGroup* group = Groups_->FindByHandle(serverGroup);
    if (!group) {
        hr = E_INVALIDARG;
    } else if (group->RefCount() < 2 || force) {
        Groups_->Destroy(*group);
        hr = S_OK;
    } else {
        // Still held by the client (or by a cycle that is running it): destroyed later.
        Groups_->MarkForDeletion(*group);
        hr = OPC_S_INUSE;
    }
    LogCallEnd(Context_.Debug, "IOPCServer::RemoveGroup", hr);
    return hr;
}

HRESULT TDA2::CreateGroupEnumerator(std::uint32_t scope, const TGuid& iid, TComPtr<IUnknown>& enumerator) {
    enumerator.Reset();
    LogCallStart(Context_.Debug, "IOPCServer::CreateGroupEnumerator");
    const bool listsGroups = scope == OPC_ENUM_PRIVATE_CONNECTIONS || scope == OPC_ENUM_ALL_CONNECTIONS ||
                             scope == OPC_ENUM_PRIVATE || scope == OPC_ENUM_ALL;
    const bool validScope = listsGroups || scope == OPC_ENUM_PUBLIC_CONNECTIONS || scope == OPC_ENUM_PUBLIC;
    HRESULT hr;
    try {
        if (iid == IEnumString::Iid) {
            LogCallStart(Context_.Debug, "EnumerateStrings");
            if (!validScope) {
                hr = E_INVALIDARG;
            } else {
                auto names = MakeCom<TOPCStringsEnumerator>(listsGroups ? Groups_->NamesLastToFirst()
                                                                        : std::vector<std::string>());
                hr = Deliver(*names, iid, enumerator);
            }
            LogCallEnd(Context_.Debug, "EnumerateStrings", hr);
        } else if (iid == IEnumUnknown::Iid) {
            LogCallStart(Context_.Debug, "EnumerateUnknown");
            if (!validScope) {
                hr = E_INVALIDARG;
            } else {
                std::vector<TComPtr<IUnknown>> groups;
                if (listsGroups)
                    for (auto& group : Groups_->GroupsLastToFirst()) groups.push_back(group.As<IUnknown>());
                auto unknowns = MakeCom<TS3UnknownEnumerator>(std::move(groups));
                hr = Deliver(*unknowns, iid, enumerator);
            }
            LogCallEnd(Context_.Debug, "EnumerateUnknown", hr);
        } else {
            hr = E_NOINTERFACE;
        }
    } catch (const std::bad_alloc&) {
        enumerator.Reset();
        hr = E_OUTOFMEMORY;
    }
    LogCallEnd(Context_.Debug, "IOPCServer::CreateGroupEnumerator", hr);
    return hr;
}

// ---- IOPCCommon

HRESULT TDA2::SetLocaleID(std::uint32_t lcid) {
    HRESULT hr = E_INVALIDARG;
    if (lcid == DefaultLocale || lcid == NeutralLocale) {
        LocaleID_ = lcid;
        hr = S_OK;
    }
    LogCall(Context_.Debug, "IOPCCommon::SetLocaleID", hr);
    return hr;
}

HRESULT TDA2::GetLocaleID(std::uint32_t& lcid) {
    lcid = LocaleID_;
    LogCall(Context_.Debug, "IOPCCommon::GetLocalID", S_OK);
    return S_OK;
}

HRESULT TDA2::QueryAvailableLocaleIDs(std::vector<std::uint32_t>& lcids) {
    HRESULT hr = S_OK;
    try {
        lcids = {DefaultLocale, NeutralLocale};
    } catch (const std::bad_alloc&) {
        lcids.clear();
        hr = E_FAIL;
    }
    LogCall(Context_.Debug, "IOPCCommon::QueryAvailableLocaleIDs", hr);
    return hr;
}

HRESULT TDA2::GetErrorString(HRESULT error, std::string& text) {
    text = ErrorText(error);
    LogCall(Context_.Debug, "IOPCCommon::GetErrorString", S_OK);
    return S_OK;
}

HRESULT TDA2::SetClientName(const std::string& name) {
    ClientName_ = name;
    if (Context_.Log) Context_.Log->Add(FormatText("Client identifies itself as %s", {LogText(name)}), true);
    LogCall(Context_.Debug, "IOPCCommon::SetClientName", S_OK);
    return S_OK;
}

// ---- IOPCBrowseServerAddressSpace and IOPCItemProperties

HRESULT TDA2::QueryOrganization(std::uint32_t& nameSpaceType) {
    return Browse_->QueryOrganization(nameSpaceType);
}
HRESULT TDA2::ChangeBrowsePosition(std::uint32_t direction, const std::string& name) {
    return Browse_->ChangeBrowsePosition(direction, name);
}
HRESULT TDA2::BrowseOPCItemIDs(std::uint32_t browseType, const std::string& filter, VARTYPE dataTypeFilter,
                               std::uint32_t accessRightsFilter, TComPtr<IEnumString>& names) {
    return Browse_->BrowseOPCItemIDs(browseType, filter, dataTypeFilter, accessRightsFilter, names);
}
HRESULT TDA2::GetItemID(const std::string& itemDataID, std::string& itemID) {
    return Browse_->GetItemID(itemDataID, itemID);
}
HRESULT TDA2::BrowseAccessPaths(const std::string& itemID, TComPtr<IEnumString>& paths) {
    return Browse_->BrowseAccessPaths(itemID, paths);
}

HRESULT TDA2::QueryAvailableProperties(const std::string& itemID, std::vector<std::uint32_t>& propertyIDs,
                                       std::vector<std::string>& descriptions,
                                       std::vector<VARTYPE>& dataTypes) {
    return Properties_->QueryAvailableProperties(itemID, propertyIDs, descriptions, dataTypes);
}
HRESULT TDA2::GetItemProperties(const std::string& itemID, const std::vector<std::uint32_t>& propertyIDs,
                                std::vector<TVariant>& data, std::vector<HRESULT>& errors) {
    return Properties_->GetItemProperties(itemID, propertyIDs, data, errors);
}
HRESULT TDA2::LookupItemIDs(const std::string& itemID, const std::vector<std::uint32_t>& propertyIDs,
                            std::vector<std::string>& newItemIDs, std::vector<HRESULT>& errors) {
    return Properties_->LookupItemIDs(itemID, propertyIDs, newItemIDs, errors);
}

// ---- IConnectionPointContainer

HRESULT TDA2::EnumConnectionPoints(TComPtr<IUnknown>& enumPoints) {
    enumPoints.Reset();
    return E_NOTIMPL;
}

HRESULT TDA2::FindConnectionPoint(const TGuid& iid, TComPtr<IConnectionPoint>& point) {
    point.Reset();
    if (iid != IOPCShutdown::Iid) return CONNECT_E_NOCONNECTION;
    point = TComPtr<IConnectionPoint>(&ShutdownPoint_);
    return S_OK;
}

void TDA2::ShutdownSinkChanged(IUnknown* sink, bool connected) {
    if (connected)
        ShutdownSink_ = TComPtr<IUnknown>(sink);
    else if (ShutdownSink_.Get() == sink)
        ShutdownSink_.Reset();
}

void TDA2::SendShutdownRequest(const std::string& reason) {
    TComPtr<IUnknown> sink = ShutdownSink_;
    if (!sink) return;
    if (TComPtr<IOPCShutdown> shutdown = sink.As<IOPCShutdown>()) shutdown->ShutdownRequest(reason);
}

} // namespace dravon
