// The opc.tcp endpoint: accepts connections, runs one TUaChannel per connection, keeps
// the sessions and dispatches requests to the services, which live in one file per
// service set (UaDiscoveryServices, UaSessionServices, UaViewServices,
// UaAttributeServices, UaSubscriptionServices) and answer against the address space and
// the backend. Everything runs on the main loop.
#pragma once

#include "ua/UaAddressSpace.h"
#include "ua/UaBackend.h"
#include "ua/UaChannel.h"
#include "ua/UaConfig.h"
#include "ua/UaConnections.h"
#include "ua/UaEventLog.h"
#include "ua/UaMessages.h"
#include "ua/UaSession.h"
#include "ua/UaSocket.h"
#include "ua/security/UaSecurity.h"

#include <map>
#include <memory>

namespace dravon {

struct TServerContext;
class ITimer;

class TUaServer {
public:
    static constexpr std::uint32_t HousekeepingIntervalMs = 250;
    static constexpr std::size_t MaxOperationsPerRequest = 10000;
    static constexpr const char* SecurityPolicyNoneUri = "http://opcfoundation.org/UA/SecurityPolicy#None";
    static constexpr const char* TransportProfileUri =
        "http://opcfoundation.org/UA-Profile/Transport/uatcp-uasc-uabinary";
    static constexpr const char* ProductUriText = "urn:Norvane:Dravon";
    static constexpr const char* ProductNameText = "Dravon OPC Data Access Server";
    static constexpr const char* ManufacturerText = "Norvane";
    static constexpr const char* ItemsNamespaceUri = "urn:Norvane:Dravon:Items";
    static constexpr const char* AnonymousPolicyId = "anonymous";

    TUaServer(TServerContext& context, IUaBackend& backend, TUaConfig config);
    ~TUaServer();
    TUaServer(const TUaServer&) = delete;
    TUaServer& operator=(const TUaServer&) = delete;

    // Binds the listener to the configured address and port; false when that fails.
    // Loads or creates the application certificate first (when the application directory
    // exists); its log lines follow on the loop.
    bool Start(IUaListener& listener);
    // Closes the endpoint. With a reason (the server shuts down), ServerStatus first turns
    // to Shutdown with that reason and subscribers waiting with a Publish request get it.
    void Stop(const std::string& shutdownReason = {});
    // Takes over an accepted connection (the listener calls this; tests call it directly).
    void Accept(std::unique_ptr<IUaSocket> socket);

    const TUaConfig& Config() const { return Config_; }
    std::size_t ChannelCount() const { return Connections_.Count(); }
    std::size_t SessionCount() const { return Sessions_.size(); }
    TUaAddressSpace& AddressSpace() { return Space_; }
    std::string ApplicationUri() const;
    TUaSecurity& Security() { return Security_; }
    static constexpr std::uint32_t RefusedLoginDelayMs = 1000;
    std::string EndpointUrl() const;

private:
    struct TRequest {
        TUaChannel& Channel;
        std::uint32_t RequestId;
        TUaRequestHeader Header;
        TUaSession* Session = nullptr;
    };

    void OnRequest(std::uint32_t channelId, std::uint32_t requestId, std::string_view body);
    void Reply(const TRequest& request, const std::string& body);
    void Fault(const TRequest& request, TUaStatusCode status);
    void Housekeeping();
    // Closes a session; `why` (if any) is logged as its time-out.
    void CloseSession(std::uint32_t sessionKey, const char* why = nullptr);
    // Makes room for a new session on the channel; false (and logged) when there is none.
    bool RoomForSession(const TUaChannel& channel);
    TUaSession* SessionFor(const TUaNodeId& token);
    TUaDateTime Now() const;
    TUaVariant StandardValue(std::uint32_t id);
    // Every endpoint offered, for GetEndpoints and CreateSession.
    void WriteEndpoints(TUaBinaryWriter& w, const std::string& url);
    // Seconds since 1970 (UTC), for certificate validity.
    std::time_t UnixNow() const;
    // Answers a refused activation after a short delay, so passwords cannot be tried quickly.
    void DelayedFault(const TRequest& request, TUaStatusCode status);
    // A CreateSession or ActivateSession refused: the fault and a session-log line.
    void RefuseSession(const TRequest& request, TUaStatusCode status, const std::string& why);

    // Discovery service set
    void GetEndpoints(TRequest& r, TUaBinaryReader& in);
    void FindServers(TRequest& r, TUaBinaryReader& in);
    // Session service set
    void CreateSession(TRequest& r, TUaBinaryReader& in);
    void ActivateSession(TRequest& r, TUaBinaryReader& in);
    void CloseSessionService(TRequest& r, TUaBinaryReader& in);
    // View service set
    void Browse(TRequest& r, TUaBinaryReader& in);
    void BrowseNext(TRequest& r, TUaBinaryReader& in);
    void TranslateBrowsePaths(TRequest& r, TUaBinaryReader& in);
    void RegisterNodes(TRequest& r, TUaBinaryReader& in, bool unregister);
    // Attribute service set
    void Read(TRequest& r, TUaBinaryReader& in);
    void Write(TRequest& r, TUaBinaryReader& in);
    // Subscription and monitored-item service sets
    void CreateSubscription(TRequest& r, TUaBinaryReader& in);
    void ModifySubscription(TRequest& r, TUaBinaryReader& in);
    void SetPublishingMode(TRequest& r, TUaBinaryReader& in);
    void DeleteSubscriptions(TRequest& r, TUaBinaryReader& in);
    void Publish(TRequest& r, TUaBinaryReader& in);
    void Republish(TRequest& r, TUaBinaryReader& in);
    void CreateMonitoredItems(TRequest& r, TUaBinaryReader& in);
    void ModifyMonitoredItems(TRequest& r, TUaBinaryReader& in);
    void SetMonitoringMode(TRequest& r, TUaBinaryReader& in);
    void DeleteMonitoredItems(TRequest& r, TUaBinaryReader& in);
    void SetTriggering(TRequest& r, TUaBinaryReader& in);
    void TransferSubscriptions(TRequest& r, TUaBinaryReader& in);

    void WriteBrowseResult(TUaBinaryWriter& w, TUaSession& session, std::vector<TUaReference> refs,
                           std::size_t maxRefs, std::uint32_t resultMask);
    TUaSubscription* FindSubscription(TRequest& r, std::uint32_t id);
    // Checks a monitored item's parameters and filter against its node.
    TUaStatusCode ItemSettings(const TUaMonitoringParameters& p, const TUaNode& node,
                               std::uint32_t timestamps, TUaItemSettings& out) const;
    static void WriteItemResult(TUaBinaryWriter& w, const TUaSubscription& s, std::uint32_t id);

    TServerContext& Context_;
    IUaBackend& Backend_;
    TUaConfig Config_;
    TUaSecurity Security_;
    TUaAddressSpace Space_;
    IUaListener* Listener_ = nullptr;
    std::unique_ptr<ITimer> Housekeeping_;
    TUaEventLog Events_;
    TUaConnections Connections_;
    std::map<std::uint32_t, std::unique_ptr<TUaSession>> Sessions_;
    std::uint32_t NextSessionNumber_ = 1;
    std::uint32_t NextSubscriptionId_ = 1;
    std::uint64_t TokenCounter_ = 0;
    std::map<std::uint64_t, std::unique_ptr<ITimer>> Delayed_;
    std::uint64_t NextDelayed_ = 0;
    TUaDateTime StartTime_ = 0;
    std::string ShutdownReason_; // set once the server shuts down
    // Posted work checks this before touching the server: it may be gone by then.
    std::shared_ptr<bool> Alive_ = std::make_shared<bool>(true);
};

} // namespace dravon
