// TDA2: the server object a client creates (one per connected client). It implements
// IOPCServer and IOPCCommon here, IOPCBrowseServerAddressSpace and IOPCItemProperties by
// forwarding to its TBrowseObject and TOPCItemProperties, and offers one connection point
// for the client's IOPCShutdown sink.
#pragma once

#include "app/Platform.h"
#include "opc/ComObject.h"
#include "opc/ConnectionPoint.h"
#include "opc/OPCInterfaces.h"

#include <cstdint>
#include <memory>
#include <string>

namespace dravon {

struct TServerContext;
class TOPCDAConnectionCollection;
class TDAConnectionItem;
class TOPCGroupCollection;
class TBrowseObject;
class TOPCItemProperties;

class TDA2 : public TComObject,
             public IOPCServer,
             public IOPCCommon,
             public IOPCBrowseServerAddressSpace,
             public IOPCItemProperties,
             public IConnectionPointContainer {
public:
    static constexpr std::uint32_t DefaultLocale = 2048; // the system default locale
    static constexpr std::uint32_t NeutralLocale = 1024;

    // Registers the new object in the connection list ("Client connected at %s").
    TDA2(TServerContext& context, TOPCDAConnectionCollection& connections);
    // "Client %s disconnected at %s"; frees the groups and leaves the connection list.
    ~TDA2() override;

    // IUnknown
    HRESULT QueryInterface(const TGuid& iid, IUnknown** object) override;
    std::uint32_t AddRef() override { return AddRefCount(); }
    std::uint32_t Release() override { return ReleaseCount(); }

    // IOPCServer
    HRESULT AddGroup(const std::string& name, std::int32_t active, std::uint32_t requestedUpdateRate,
                     OPCHANDLE clientGroup, const std::int32_t* timeBias, const float* percentDeadband,
                     std::uint32_t lcid, OPCHANDLE& serverGroup, std::uint32_t& revisedUpdateRate,
                     const TGuid& iid, TComPtr<IUnknown>& group) override;
    HRESULT GetErrorString(HRESULT error, std::uint32_t locale, std::string& text) override;
    HRESULT GetGroupByName(const std::string& name, const TGuid& iid, TComPtr<IUnknown>& group) override;
    HRESULT GetStatus(std::unique_ptr<TOPCServerStatus>& status) override;
    HRESULT RemoveGroup(OPCHANDLE serverGroup, std::int32_t force) override;
    HRESULT CreateGroupEnumerator(std::uint32_t scope, const TGuid& iid,
                                  TComPtr<IUnknown>& enumerator) override;

    // IOPCCommon
    HRESULT SetLocaleID(std::uint32_t lcid) override;
    HRESULT GetLocaleID(std::uint32_t& lcid) override;
    HRESULT QueryAvailableLocaleIDs(std::vector<std::uint32_t>& lcids) override;
    HRESULT GetErrorString(HRESULT error, std::string& text) override;
    HRESULT SetClientName(const std::string& name) override;

    // IOPCBrowseServerAddressSpace: forwarded to Browse()
    HRESULT QueryOrganization(std::uint32_t& nameSpaceType) override;
    HRESULT ChangeBrowsePosition(std::uint32_t direction, const std::string& name) override;
    HRESULT BrowseOPCItemIDs(std::uint32_t browseType, const std::string& filter, VARTYPE dataTypeFilter,
                             std::uint32_t accessRightsFilter, TComPtr<IEnumString>& names) override;
    HRESULT GetItemID(const std::string& itemDataID, std::string& itemID) override;
    HRESULT BrowseAccessPaths(const std::string& itemID, TComPtr<IEnumString>& paths) override;

    // IOPCItemProperties: forwarded to Properties()
    HRESULT QueryAvailableProperties(const std::string& itemID, std::vector<std::uint32_t>& propertyIDs,
                                     std::vector<std::string>& descriptions,
                                     std::vector<VARTYPE>& dataTypes) override;
    HRESULT GetItemProperties(const std::string& itemID, const std::vector<std::uint32_t>& propertyIDs,
                              std::vector<TVariant>& data, std::vector<HRESULT>& errors) override;
    HRESULT LookupItemIDs(const std::string& itemID, const std::vector<std::uint32_t>& propertyIDs,
                          std::vector<std::string>& newItemIDs, std::vector<HRESULT>& errors) override;

    // IConnectionPointContainer (one point, IOPCShutdown)
    HRESULT EnumConnectionPoints(TComPtr<IUnknown>& enumPoints) override;
    HRESULT FindConnectionPoint(const TGuid& iid, TComPtr<IConnectionPoint>& point) override;

    // ---- for the connection list, the groups and the browser ----
    TServerContext& Context() const { return Context_; }
    // The connection list; null once the object was disconnected from it.
    TOPCDAConnectionCollection* Connections() const { return Connections_; }
    TOPCGroupCollection& Groups() { return *Groups_; }
    TBrowseObject& Browse() { return *Browse_; }
    TOPCItemProperties& Properties() { return *Properties_; }

    const std::string& ClientName() const { return ClientName_; }
    std::uint32_t LocaleID() const { return LocaleID_; }
    TDateTime CreationTime() const { return CreationTime_; }
    TDateTime LastUpdateTime = 0;
    bool Busy() const { return Busy_; }
    // Browse calls in the current 4-second window (reset by the server tick).
    std::int32_t BrowseCallCounter = 0;

    // Asks the client's IOPCShutdown sink, if any, to disconnect.
    void SendShutdownRequest(const std::string& reason);
    // The connection list is going away: leave it and free the groups and sinks. The
    // object itself lives on while its client holds it.
    void Disconnect();

private:
    friend class TDAConnectionItem;
    void ShutdownSinkChanged(IUnknown* sink, bool connected);

    TServerContext& Context_;
    TOPCDAConnectionCollection* Connections_ = nullptr;
    TDAConnectionItem* ConnectionItem_ = nullptr;
    TConnectionPoint ShutdownPoint_;
    TDateTime CreationTime_ = 0;
    std::uint32_t LocaleID_ = DefaultLocale;
    TComPtr<IUnknown> ShutdownSink_;
    std::string ClientName_ = "Client name unknown";
    std::unique_ptr<TOPCItemProperties> Properties_;
    bool Busy_ = false;
    std::unique_ptr<TBrowseObject> Browse_;
    std::unique_ptr<TOPCGroupCollection> Groups_;
};

} // namespace dravon
