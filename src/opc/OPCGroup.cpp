#include "opc/OPCGroup.h"

#include "app/ServerContext.h"
#include "app/SessionLog.h"
#include "app/TextFormat.h"
#include "opc/DA2.h"
#include "opc/OPCDAConnectionCollection.h"
#include "opc/OPCGroupCollection.h"
#include "opc/OPCGroupIO.h"
#include "opc/OPCItemCollection.h"
#include "opc/OPCLog.h"

#include <new>

namespace dravon {

TOPCGroup::TOPCGroup(TOPCGroupCollection& owner, OPCHANDLE serverHandle)
    : ServerHandle(serverHandle), Context_(owner.Server().Context()),
      Connections_(*owner.Server().Connections()), Owner_(&owner),
      DataCallbackPoint_(*static_cast<IOPCGroupStateMgt*>(this), *this, IOPCDataCallback::Iid, 1,
                         [this](IUnknown* sink, bool connected) { DataCallbackChanged(sink, connected); }),
      Items_(std::make_unique<TOPCItemCollection>(*this)), IO_(std::make_unique<TOPCGroupIO>(*this)) {}

TOPCGroup::~TOPCGroup() {
    // Pending work refers to items: it goes first.
    IO_.reset();
    Items_.reset();
}

HRESULT TOPCGroup::QueryInterface(const TGuid& iid, IUnknown** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid == IUnknown::Iid || iid == IOPCGroupStateMgt::Iid)
        *object = static_cast<IOPCGroupStateMgt*>(this);
    else if (iid == IOPCItemMgt::Iid)
        *object = static_cast<IOPCItemMgt*>(this);
    else if (iid == IOPCSyncIO::Iid)
        *object = static_cast<IOPCSyncIO*>(this);
    else if (iid == IOPCAsyncIO2::Iid)
        *object = static_cast<IOPCAsyncIO2*>(this);
    else if (iid == IOPCAsyncIO::Iid)
        *object = static_cast<IOPCAsyncIO*>(this);
    else if (iid == IDataObject::Iid)
        *object = static_cast<IDataObject*>(this);
    else if (iid == IConnectionPointContainer::Iid)
        *object = static_cast<IConnectionPointContainer*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

TDA2* TOPCGroup::Server() const { return Owner_ ? &Owner_->Server() : nullptr; }

void TOPCGroup::Detach() {
    if (!Owner_) return;
    Owner_ = nullptr;
    IO_->Clear();
    Items_->Clear();
    DataCallbackPoint_.DisconnectAll();
    DataCallback_.Reset();
}

void TOPCGroup::Cycle(std::uint32_t tick) {
    if (Owner_) IO_->Cycle(tick);
}

TComPtr<IOPCDataCallback> TOPCGroup::DataCallback() const { return DataCallback_.As<IOPCDataCallback>(); }

void TOPCGroup::DataCallbackChanged(IUnknown* sink, bool connected) {
    if (!connected) {
        if (DataCallback_.Get() == sink) DataCallback_.Reset();
        return;
    }
    DataCallback_ = TComPtr<IUnknown>(sink);
    if (!CallbackAnnounced && Context_.Log) {
        CallbackAnnounced = true;
        Context_.Log->Add(FormatText("Client established AsyncIO2 callback for group %s", {LogText(Name)}),
                          true);
    }
}

std::uint32_t TOPCGroup::ReviseRate(std::uint32_t current, std::uint32_t requested) {
    if (requested == current) return current;
    std::uint64_t rate = (static_cast<std::uint64_t>(requested) + RateUnitMs - 1) / RateUnitMs * RateUnitMs;
    // The largest multiple of the unit that a 32-bit rate holds.
    constexpr std::uint64_t largest = 0xFFFFFFFFull / RateUnitMs * RateUnitMs;
    if (rate > largest) rate = largest;
    if (rate < RateUnitMs) rate = RateUnitMs;
    return static_cast<std::uint32_t>(rate);
}

// ---- IOPCGroupStateMgt

HRESULT TOPCGroup::GetState(std::uint32_t& updateRate, std::int32_t& active, std::string& name,
                            std::int32_t& timeBias, float& percentDeadband, std::uint32_t& lcid,
                            OPCHANDLE& clientGroup, OPCHANDLE& serverGroup) {
    updateRate = UpdateRate;
    active = Active ? -1 : 0;
    name = Name;
    timeBias = TimeBias;
    percentDeadband = PercentDeadband;
    lcid = LocaleID;
    clientGroup = ClientHandle;
    serverGroup = ServerHandle;
    LogCall(Context_.Debug, "IOPCGroupStateMgt::GetState", S_OK);
    return S_OK;
}

HRESULT TOPCGroup::SetState(const std::uint32_t* requestedUpdateRate, std::uint32_t& revisedUpdateRate,
                            const std::int32_t* active, const std::int32_t* timeBias,
                            const float* percentDeadband, const std::uint32_t* lcid,
                            const OPCHANDLE* clientGroup) {
    if (active) Active = *active != 0;
    if (clientGroup) ClientHandle = *clientGroup;
    if (lcid) LocaleID = *lcid;
    if (percentDeadband) PercentDeadband = *percentDeadband;
    if (requestedUpdateRate) UpdateRate = ReviseRate(UpdateRate, *requestedUpdateRate);
    if (timeBias) TimeBias = *timeBias;
    revisedUpdateRate = UpdateRate;
    HRESULT hr = requestedUpdateRate && UpdateRate != *requestedUpdateRate ? OPC_S_UNSUPPORTEDRATE : S_OK;
    LogCall(Context_.Debug, "IOPCGroupStateMgt::SetState", hr);
    return hr;
}

HRESULT TOPCGroup::SetName(const std::string& name) {
    LogCallStart(Context_.Debug, "IOPCGroupStateMgt::SetName");
    HRESULT hr = S_OK;
    if (name.empty())
        hr = E_INVALIDARG;
    else if (name == Name || (Owner_ && Owner_->FindByName(name)))
        hr = OPC_E_DUPLICATENAME;
    else
        Name = name;
    LogCallEnd(Context_.Debug, "IOPCGroupStateMgt::SetName", hr);
    return hr;
}

HRESULT TOPCGroup::CloneGroup(const std::string& name, const TGuid& iid, TComPtr<IUnknown>& clone) {
    clone.Reset();
    LogCallStart(Context_.Debug, "IOPCGroupStateMgt::CloneGroup");
    HRESULT hr = S_OK;
    IUnknown* probe = nullptr;
    if (Failed(QueryInterface(iid, &probe)) || !probe) {
        hr = E_NOINTERFACE;
    } else {
        probe->Release();
        if (!Owner_)
            hr = E_FAIL; // the group left its server object
        else if (!name.empty() && Owner_->FindByName(name))
            hr = OPC_E_DUPLICATENAME;
    }
    if (hr == S_OK) {
        std::string cloneName = name.empty() ? Owner_->GenerateName() : name;
        TComPtr<TOPCGroup> copy;
        try {
            copy = Owner_->Create();
        } catch (const std::bad_alloc&) {
            copy = nullptr;
        }
        if (!copy) {
            hr = E_OUTOFMEMORY;
        } else {
            copy->LocaleID = LocaleID;
            copy->PercentDeadband = PercentDeadband;
            copy->UpdateRate = UpdateRate;
            copy->TimeBias = TimeBias;
            copy->Active = false;
            copy->ClientHandle = 0;
            copy->CallbacksEnabled = false;
            copy->LastUpdateTick = 0;
            copy->Items().CopyFrom(*Items_);
            copy->Name = cloneName;
            IUnknown* raw = nullptr;
            hr = copy->QueryInterface(iid, &raw);
            if (Succeeded(hr) && raw) clone = TComPtr<IUnknown>::Attach(raw);
        }
    }
    LogCallEnd(Context_.Debug, "IOPCGroupStateMgt::CloneGroup", hr);
    return hr;
}

// ---- IOPCItemMgt

HRESULT TOPCGroup::AddItems(const std::vector<TOPCItemDef>& items, std::vector<TOPCItemResult>& results,
                            std::vector<HRESULT>& errors) {
    return Items_->AddItems(items, results, errors);
}
HRESULT TOPCGroup::ValidateItems(const std::vector<TOPCItemDef>& items, std::int32_t blobUpdate,
                                 std::vector<TOPCItemResult>& results, std::vector<HRESULT>& errors) {
    return Items_->ValidateItems(items, blobUpdate, results, errors);
}
HRESULT TOPCGroup::RemoveItems(const std::vector<OPCHANDLE>& serverHandles, std::vector<HRESULT>& errors) {
    return Items_->RemoveItems(serverHandles, errors);
}
HRESULT TOPCGroup::SetActiveState(const std::vector<OPCHANDLE>& serverHandles, std::int32_t active,
                                  std::vector<HRESULT>& errors) {
    return Items_->SetActiveState(serverHandles, active, errors);
}
HRESULT TOPCGroup::SetClientHandles(const std::vector<OPCHANDLE>& serverHandles,
                                    const std::vector<OPCHANDLE>& clientHandles,
                                    std::vector<HRESULT>& errors) {
    return Items_->SetClientHandles(serverHandles, clientHandles, errors);
}
HRESULT TOPCGroup::SetDataTypes(const std::vector<OPCHANDLE>& serverHandles,
                                const std::vector<VARTYPE>& requestedDataTypes,
                                std::vector<HRESULT>& errors) {
    return Items_->SetDataTypes(serverHandles, requestedDataTypes, errors);
}
HRESULT TOPCGroup::CreateEnumerator(const TGuid& iid, TComPtr<IUnknown>& enumerator) {
    return Items_->CreateEnumerator(iid, enumerator);
}

// ---- IOPCSyncIO, IOPCAsyncIO2, IOPCAsyncIO, IDataObject

HRESULT TOPCGroup::Read(std::uint32_t source, const std::vector<OPCHANDLE>& serverHandles,
                        std::vector<TOPCItemState>& values, std::vector<HRESULT>& errors) {
    return IO_->SyncRead(source, serverHandles, values, errors);
}
HRESULT TOPCGroup::Write(const std::vector<OPCHANDLE>& serverHandles, const std::vector<TVariant>& values,
                         std::vector<HRESULT>& errors) {
    return IO_->SyncWrite(serverHandles, values, errors);
}
HRESULT TOPCGroup::Read(const std::vector<OPCHANDLE>& serverHandles, std::uint32_t transactionID,
                        std::uint32_t& cancelID, std::vector<HRESULT>& errors) {
    return IO_->AsyncRead2(serverHandles, transactionID, cancelID, errors);
}
HRESULT TOPCGroup::Write(const std::vector<OPCHANDLE>& serverHandles, const std::vector<TVariant>& values,
                         std::uint32_t transactionID, std::uint32_t& cancelID, std::vector<HRESULT>& errors) {
    return IO_->AsyncWrite2(serverHandles, values, transactionID, cancelID, errors);
}
HRESULT TOPCGroup::Refresh2(std::uint32_t source, std::uint32_t transactionID, std::uint32_t& cancelID) {
    return IO_->Refresh2(source, transactionID, cancelID);
}
HRESULT TOPCGroup::Cancel2(std::uint32_t cancelID) { return IO_->Cancel2(cancelID); }
HRESULT TOPCGroup::SetEnable(std::int32_t enable) { return IO_->SetEnable(enable); }
HRESULT TOPCGroup::GetEnable(std::int32_t& enable) { return IO_->GetEnable(enable); }
HRESULT TOPCGroup::Read(std::uint32_t connection, std::uint32_t source,
                        const std::vector<OPCHANDLE>& serverHandles, std::uint32_t& transactionID,
                        std::vector<HRESULT>& errors) {
    return IO_->AsyncRead1(connection, source, serverHandles, transactionID, errors);
}
HRESULT TOPCGroup::Write(std::uint32_t connection, const std::vector<OPCHANDLE>& serverHandles,
                         const std::vector<TVariant>& values, std::uint32_t& transactionID,
                         std::vector<HRESULT>& errors) {
    return IO_->AsyncWrite1(connection, serverHandles, values, transactionID, errors);
}
HRESULT TOPCGroup::Refresh(std::uint32_t connection, std::uint32_t source, std::uint32_t& transactionID) {
    return IO_->Refresh1(connection, source, transactionID);
}
HRESULT TOPCGroup::Cancel(std::uint32_t transactionID) { return IO_->Cancel1(transactionID); }

HRESULT TOPCGroup::GetData(const TFormatEtc& format, TStgMedium& medium) {
    return IO_->GetData(format, medium);
}
HRESULT TOPCGroup::GetDataHere(const TFormatEtc& format, TStgMedium& medium) {
    return IO_->GetDataHere(format, medium);
}
HRESULT TOPCGroup::QueryGetData(const TFormatEtc& format) { return IO_->QueryGetData(format); }
HRESULT TOPCGroup::GetCanonicalFormatEtc(const TFormatEtc& format, TFormatEtc* canonical) {
    return IO_->GetCanonicalFormatEtc(format, canonical);
}
HRESULT TOPCGroup::SetData(const TFormatEtc& format, const TStgMedium& medium, std::int32_t release) {
    return IO_->SetData(format, medium, release);
}
HRESULT TOPCGroup::EnumFormatEtc(std::uint32_t direction, TComPtr<IUnknown>& enumFormats) {
    return IO_->EnumFormatEtc(direction, enumFormats);
}
HRESULT TOPCGroup::DAdvise(const TFormatEtc& format, std::uint32_t advf, IAdviseSink* sink,
                           std::uint32_t& connection) {
    return IO_->DAdvise(format, advf, sink, connection);
}
HRESULT TOPCGroup::DUnadvise(std::uint32_t connection) { return IO_->DUnadvise(connection); }
HRESULT TOPCGroup::EnumDAdvise(TComPtr<IUnknown>* enumAdvise) { return IO_->EnumDAdvise(enumAdvise); }

// ---- IConnectionPointContainer

HRESULT TOPCGroup::EnumConnectionPoints(TComPtr<IUnknown>& enumPoints) {
    enumPoints.Reset();
    return E_NOTIMPL;
}

HRESULT TOPCGroup::FindConnectionPoint(const TGuid& iid, TComPtr<IConnectionPoint>& point) {
    point.Reset();
    if (iid != IOPCDataCallback::Iid) return CONNECT_E_NOCONNECTION;
    point = TComPtr<IConnectionPoint>(&DataCallbackPoint_);
    return S_OK;
}

} // namespace dravon
