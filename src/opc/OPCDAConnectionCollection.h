// TOPCDAConnectionCollection: the process's list of connected server objects, the 25 ms
// server tick that drives every group's update cycle, and the process-wide OPC state
// (handle and id counters, registered stream formats, the browsing guard).
#pragma once

#include "opc/OPCInterfaces.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace dravon {

struct TServerContext;
class ITimer;
class TDA2;
class TDAConnectionItem;

class TOPCDAConnectionCollection {
public:
    static constexpr std::uint32_t TickIntervalMs = 25;
    static constexpr std::uint32_t BrowseWindowMs = 4000;
    // Consecutive failed polls after which a location's quality becomes BAD / UNCERTAIN.
    static constexpr std::int32_t BadThreshold = 5;
    static constexpr std::int32_t UncertainThreshold = 3;

    // Creates the server tick timer (started by Start).
    explicit TOPCDAConnectionCollection(TServerContext& context);
    // Disconnects server objects still connected.
    ~TOPCDAConnectionCollection();
    TOPCDAConnectionCollection(const TOPCDAConnectionCollection&) = delete;
    TOPCDAConnectionCollection& operator=(const TOPCDAConnectionCollection&) = delete;

    TServerContext& Context() const { return Context_; }
    void Start();
    void Stop();

    // Adds an entry for a new server object and links it ("Client connected at %s").
    TDAConnectionItem& Add(TDA2& server);
    // Frees the entry (called by the server object's destructor).
    void Remove(TDAConnectionItem& item);
    std::size_t Count() const { return Items_.size(); }
    // The linked server objects in list order.
    std::vector<TDA2*> Servers() const;

    // Asks every client, in list order, to shut down with the given reason.
    void SendShutdownRequests(const std::string& reason);

    // One server tick (the timer calls it; tests may call it directly).
    void ServerTick();
    // Milliseconds from then to now as the server tick and group cycle count them.
    static std::uint32_t TickDiff(std::uint32_t now, std::uint32_t then);

    std::uint32_t TickMark() const { return TickMark_; }
    TDateTime CreationTime() const { return CreationTime_; }

    // Process-unique values.
    OPCHANDLE NewGroupHandle() { return ++LastGroupHandle_; }
    OPCHANDLE NewItemHandle() { return LastItemHandle_++; } // from 0
    std::uint32_t NewCancelID() { return LastCancelID_++; } // from 0
    std::uint32_t NewTransactionID();                       // from 1, never 0

    // Clipboard formats registered by name (0xC000 upwards, the same id for the same name).
    std::uint16_t RegisterClipboardFormat(const std::string& name);

    // Set once a client browses too intensively; kept until the process ends.
    bool IntensiveBrowsingDetected = false;

private:
    TServerContext& Context_;
    std::uint32_t TickMark_ = 0;
    std::unique_ptr<ITimer> Timer_;
    TDateTime CreationTime_ = 0;
    std::vector<std::unique_ptr<TDAConnectionItem>> Items_;
    OPCHANDLE LastGroupHandle_ = 0;
    OPCHANDLE LastItemHandle_ = 0;
    std::uint32_t LastCancelID_ = 0;
    std::uint32_t LastTransactionID_ = 0;
    std::map<std::string, std::uint16_t> ClipboardFormats_;
};

} // namespace dravon
