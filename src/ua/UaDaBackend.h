// The endpoint's backend over the OPC DA object model. Every UA session is one server
// object created through the class factory as any DA client creates it, so it counts in
// "Clients connected" and writes the client log lines under the session name:
//   browse        -> the server object's browser (position, AllowBrowsing, intensive guard)
//   describe      -> ValidateItems (resolves and holds nothing)
//   read          -> an item of a hidden group: sync cache read, or an asynchronous device
//                    read answered from the group cycle (bounded like the sync device read)
//   write         -> the item write path with the written value's type as requested type
//   subscription  -> an OPC group with an IOPCDataCallback sink feeding OnChanges
#pragma once

#include "opc/ComInterfaces.h"
#include "ua/UaBackend.h"

#include <memory>
#include <string>

namespace dravon {

struct TServerContext;

class TUaDaBackend : public IUaBackend {
public:
    // Update rate of each session's hidden group: it only serves reads and writes.
    static constexpr std::uint32_t HiddenGroupRateMs = 60000;
    // A device read waits at most twice the slowest PLC time-out plus this, as the
    // synchronous device read does; then it answers with the value then held.
    static constexpr std::uint32_t DeviceReadMarginMs = 5000;
    // How often pending device reads are checked against that bound.
    static constexpr std::uint32_t DeviceReadCheckMs = 250;

    // factory creates the server objects; it and the context outlive the backend.
    TUaDaBackend(TServerContext& context, IClassFactory& factory);
    ~TUaDaBackend() override;
    TUaDaBackend(const TUaDaBackend&) = delete;
    TUaDaBackend& operator=(const TUaDaBackend&) = delete;

    bool Children(const std::string& folderId, std::vector<TUaBackendNode>& out,
                  IUaBackendSession* session) override;
    bool Describe(const std::string& id, TUaBackendNode& out, IUaBackendSession* session) override;
    std::string ParentOf(const std::string& id) override;
    // Null when the class factory refuses to create a server object.
    std::unique_ptr<IUaBackendSession> CreateSession(const std::string& clientName) override;

    // The device-read bound in force (from the PLC list's time-outs).
    std::uint32_t DeviceReadBoundMs() const;

private:
    class TSession;
    class TGroup;
    class TSink;
    struct TGroupLink;

    TServerContext& Context_;
    IClassFactory& Factory_;
};

} // namespace dravon
