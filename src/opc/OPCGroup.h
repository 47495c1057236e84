// TOPCGroup: the group object a client creates with IOPCServer::AddGroup. It keeps the
// group state and IOPCGroupStateMgt here; its items (IOPCItemMgt) live in
// TOPCItemCollection and its reads, writes, callbacks and update cycle (IOPCSyncIO,
// IOPCAsyncIO2, IOPCAsyncIO, IDataObject) in TOPCGroupIO, to which the interface methods
// forward. A group belongs to the group collection of one server object until it is
// removed or that server object goes away; a client may still hold it then (detached):
// it keeps answering, but has no server object, no items and takes no part in cycles.
#pragma once

#include "opc/ComObject.h"
#include "opc/ConnectionPoint.h"
#include "opc/OPCInterfaces.h"

#include <cstdint>
#include <memory>
#include <string>

namespace dravon {

struct TServerContext;
class TDA2;
class TOPCDAConnectionCollection;
class TOPCGroupCollection;
class TOPCItemCollection;
class TOPCGroupIO;

class TOPCGroup : public TComObject,
                  public IOPCGroupStateMgt,
                  public IOPCItemMgt,
                  public IOPCSyncIO,
                  public IOPCAsyncIO2,
                  public IOPCAsyncIO,
                  public IDataObject,
                  public IConnectionPointContainer {
public:
    // The base period of update rates: the server tick.
    static constexpr std::uint32_t RateUnitMs = 25;

    TOPCGroup(TOPCGroupCollection& owner, OPCHANDLE serverHandle);
    ~TOPCGroup() override;

    // IUnknown
    HRESULT QueryInterface(const TGuid& iid, IUnknown** object) override;
    std::uint32_t AddRef() override { return AddRefCount(); }
    std::uint32_t Release() override { return ReleaseCount(); }

    // IOPCGroupStateMgt
    HRESULT GetState(std::uint32_t& updateRate, std::int32_t& active, std::string& name,
                     std::int32_t& timeBias, float& percentDeadband, std::uint32_t& lcid,
                     OPCHANDLE& clientGroup, OPCHANDLE& serverGroup) override;
    HRESULT SetState(const std::uint32_t* requestedUpdateRate, std::uint32_t& revisedUpdateRate,
                     const std::int32_t* active, const std::int32_t* timeBias, const float* percentDeadband,
                     const std::uint32_t* lcid, const OPCHANDLE* clientGroup) override;
    HRESULT SetName(const std::string& name) override;
    HRESULT CloneGroup(const std::string& name, const TGuid& iid, TComPtr<IUnknown>& clone) override;

    // IOPCItemMgt: forwarded to Items()
    HRESULT AddItems(const std::vector<TOPCItemDef>& items, std::vector<TOPCItemResult>& results,
                     std::vector<HRESULT>& errors) override;
    HRESULT ValidateItems(const std::vector<TOPCItemDef>& items, std::int32_t blobUpdate,
                          std::vector<TOPCItemResult>& results, std::vector<HRESULT>& errors) override;
    HRESULT RemoveItems(const std::vector<OPCHANDLE>& serverHandles, std::vector<HRESULT>& errors) override;
    HRESULT SetActiveState(const std::vector<OPCHANDLE>& serverHandles, std::int32_t active,
                           std::vector<HRESULT>& errors) override;
    HRESULT SetClientHandles(const std::vector<OPCHANDLE>& serverHandles,
                             const std::vector<OPCHANDLE>& clientHandles,
                             std::vector<HRESULT>& errors) override;
    HRESULT SetDataTypes(const std::vector<OPCHANDLE>& serverHandles,
                         const std::vector<VARTYPE>& requestedDataTypes,
                         std::vector<HRESULT>& errors) override;
    HRESULT CreateEnumerator(const TGuid& iid, TComPtr<IUnknown>& enumerator) override;

    // IOPCSyncIO: forwarded to IO()
    HRESULT Read(std::uint32_t source, const std::vector<OPCHANDLE>& serverHandles,
                 std::vector<TOPCItemState>& values, std::vector<HRESULT>& errors) override;
    HRESULT Write(const std::vector<OPCHANDLE>& serverHandles, const std::vector<TVariant>& values,
                  std::vector<HRESULT>& errors) override;

    // IOPCAsyncIO2: forwarded to IO()
    HRESULT Read(const std::vector<OPCHANDLE>& serverHandles, std::uint32_t transactionID,
                 std::uint32_t& cancelID, std::vector<HRESULT>& errors) override;
    HRESULT Write(const std::vector<OPCHANDLE>& serverHandles, const std::vector<TVariant>& values,
                  std::uint32_t transactionID, std::uint32_t& cancelID,
                  std::vector<HRESULT>& errors) override;
    HRESULT Refresh2(std::uint32_t source, std::uint32_t transactionID, std::uint32_t& cancelID) override;
    HRESULT Cancel2(std::uint32_t cancelID) override;
    HRESULT SetEnable(std::int32_t enable) override;
    HRESULT GetEnable(std::int32_t& enable) override;

    // IOPCAsyncIO (version 1): forwarded to IO()
    HRESULT Read(std::uint32_t connection, std::uint32_t source, const std::vector<OPCHANDLE>& serverHandles,
                 std::uint32_t& transactionID, std::vector<HRESULT>& errors) override;
    HRESULT Write(std::uint32_t connection, const std::vector<OPCHANDLE>& serverHandles,
                  const std::vector<TVariant>& values, std::uint32_t& transactionID,
                  std::vector<HRESULT>& errors) override;
    HRESULT Refresh(std::uint32_t connection, std::uint32_t source, std::uint32_t& transactionID) override;
    HRESULT Cancel(std::uint32_t transactionID) override;

    // IDataObject: forwarded to IO()
    HRESULT GetData(const TFormatEtc& format, TStgMedium& medium) override;
    HRESULT GetDataHere(const TFormatEtc& format, TStgMedium& medium) override;
    HRESULT QueryGetData(const TFormatEtc& format) override;
    HRESULT GetCanonicalFormatEtc(const TFormatEtc& format, TFormatEtc* canonical) override;
    HRESULT SetData(const TFormatEtc& format, const TStgMedium& medium, std::int32_t release) override;
    HRESULT EnumFormatEtc(std::uint32_t direction, TComPtr<IUnknown>& enumFormats) override;
    HRESULT DAdvise(const TFormatEtc& format, std::uint32_t advf, IAdviseSink* sink,
                    std::uint32_t& connection) override;
    HRESULT DUnadvise(std::uint32_t connection) override;
    HRESULT EnumDAdvise(TComPtr<IUnknown>* enumAdvise) override;

    // IConnectionPointContainer (one point, IOPCDataCallback)
    HRESULT EnumConnectionPoints(TComPtr<IUnknown>& enumPoints) override;
    HRESULT FindConnectionPoint(const TGuid& iid, TComPtr<IConnectionPoint>& point) override;

    // The update-rate rule: an unchanged rate stays; any other becomes the next multiple
    // of 25 ms, at least 25.
    static std::uint32_t ReviseRate(std::uint32_t current, std::uint32_t requested);

    // ---- for the server object, the items, the I/O and the update cycle ----
    TServerContext& Context() const { return Context_; }
    TOPCDAConnectionCollection& Connections() const { return Connections_; }
    // The owning collection and server object; null once the group is detached.
    TOPCGroupCollection* Owner() const { return Owner_; }
    TDA2* Server() const;
    bool Detached() const { return Owner_ == nullptr; }
    // Called by the collection when the group leaves it: frees the items, the pending work
    // and the client's callbacks; a client that still holds the group holds a shell.
    void Detach();

    TOPCItemCollection& Items() { return *Items_; }
    TOPCGroupIO& IO() { return *IO_; }

    // The group cycle of one server tick (run by the group collection).
    void Cycle(std::uint32_t tick);

    // The client's IOPCDataCallback sink, or null.
    TComPtr<IOPCDataCallback> DataCallback() const;
    // Whether the one-time session-log line for the data callback was written.
    bool CallbackAnnounced = false;

    // State. Stored as the client set it; RefCount() is the counted references.
    std::string Name;
    bool Active = false;
    OPCHANDLE ClientHandle = 0;
    float PercentDeadband = 0;
    std::uint32_t LocaleID = 0;
    OPCHANDLE ServerHandle = 0;
    std::uint32_t UpdateRate = 0;
    std::int32_t TimeBias = 0;
    bool CallbacksEnabled = true;
    std::uint32_t LastUpdateTick = 0;
    bool Busy = false;

private:
    void DataCallbackChanged(IUnknown* sink, bool connected);

    TServerContext& Context_;
    TOPCDAConnectionCollection& Connections_;
    TOPCGroupCollection* Owner_;
    TConnectionPoint DataCallbackPoint_;
    TComPtr<IUnknown> DataCallback_;
    std::unique_ptr<TOPCItemCollection> Items_;
    std::unique_ptr<TOPCGroupIO> IO_;
};

} // namespace dravon
