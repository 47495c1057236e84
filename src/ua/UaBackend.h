// What the OPC UA endpoint needs from the server behind it: the namespace-1 nodes
// (folders mirroring the DA browse tree, variables named by DA item IDs) and, per UA
// session, a server object that reads, writes and keeps groups of items. The adapter over
// the OPC DA object model implements it; TUaMemoryBackend is a small in-memory one.
#pragma once

#include "ua/UaTypes.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace dravon {

// One node of namespace 1, by its string identifier ("/PLC1/WR" for folders, the item ID
// for variables).
struct TUaBackendNode {
    std::string Id;
    bool IsFolder = false;
    std::string Name; // BrowseName and DisplayName
    // Variables only:
    std::uint32_t DataType = 0; // namespace-0 numeric data type id
    std::int32_t ValueRank = -1;
    std::uint32_t ArrayLength = 0; // for ValueRank 1
    bool Writable = false;
};

// A value as the DA model delivers it, already mapped to UA: value, status from the DA
// quality, source time from the location's value time.
struct TUaBackendValue {
    TUaVariant Value;
    TUaStatusCode Status = 0;
    TUaDateTime SourceTime = 0;
};

// A maxAge this large (the largest Int32, as clients send for "any cached value") never
// reads from the device.
inline constexpr double UaCacheAge = 2147483647.0;

struct TUaItemChange {
    std::uint32_t ClientHandle = 0;
    TUaBackendValue Value;
};

// A group of items (an OPC group): items are sampled by the group's update cycle and the
// changes since the last report are delivered through the OnChanges callback given at
// creation.
class IUaBackendGroup {
public:
    virtual ~IUaBackendGroup() = default;
    // Revises the rate by the group rule and returns the rate in force.
    virtual double SetUpdateRate(double requestedMs) = 0;
    virtual void SetActive(bool active) = 0;
    // Adds an item; returns 0 and sets status on failure (Bad_NodeIdUnknown, ...). The
    // first report after adding carries the item's current value.
    virtual std::uint32_t AddItem(const std::string& itemId, std::uint32_t clientHandle, bool active,
                                  TUaStatusCode& status) = 0;
    virtual void RemoveItem(std::uint32_t serverHandle) = 0;
    virtual void SetItemActive(std::uint32_t serverHandle, bool active) = 0;
};

// One client's server object.
class IUaBackendSession {
public:
    virtual ~IUaBackendSession() = default;
    // Reads a value no older than maxAgeMs: from the cache when it holds one that young,
    // else from the PLC (maxAge 0 always asks the PLC; UaCacheAge and above never does).
    // done may be called before Read returns (cache) or later from the main loop (device
    // read); it is never called after the session is destroyed.
    virtual void Read(const std::string& itemId, double maxAgeMs,
                      std::function<void(const TUaBackendValue&)> done) = 0;
    // Writes through the item write path and answers once the PLC has decided: Good when
    // it confirmed the value, Bad_NotWritable when it refused it, Bad_NoCommunication or
    // Bad_Timeout when it did not answer (the write is then withdrawn). Refusals before
    // anything is sent (unknown item, type) are answered before Write returns. done is
    // never called after the session is destroyed.
    virtual void Write(const std::string& itemId, const TUaVariant& value,
                       std::function<void(TUaStatusCode)> done) = 0;
    virtual std::unique_ptr<IUaBackendGroup>
    CreateGroup(double requestedRateMs, double& revisedRateMs,
                std::function<void(std::vector<TUaItemChange>)> onChanges) = 0;
};

class IUaBackend {
public:
    virtual ~IUaBackend() = default;
    // Children of a folder; "/" is the root (the nodes below Objects). Browsing belongs to
    // a client's server object (its browse position and guards), so the session asking is
    // passed along; null when no session asks.
    virtual bool Children(const std::string& folderId, std::vector<TUaBackendNode>& out,
                          IUaBackendSession* session) = 0;
    // Describes any folder or any item ID that resolves; false when it does not.
    virtual bool Describe(const std::string& id, TUaBackendNode& out, IUaBackendSession* session) = 0;
    // The parent folder of a node, for inverse browsing ("/" for top-level nodes).
    virtual std::string ParentOf(const std::string& id) = 0;
    virtual std::unique_ptr<IUaBackendSession> CreateSession(const std::string& clientName) = 0;
};

} // namespace dravon
