// The list of PLCs, the server variables, the serial-port table, the item-ID resolver
// and the store format of the PLC list.
#pragma once

#include "app/Platform.h"
#include "plc/AddressCollection.h"
#include "plc/HitachiPLC.h"
#include "plc/SerialPortTable.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace dravon {

class IDriverPool;
struct TServerContext;

inline constexpr const char* PLCListKeyPath = "SOFTWARE\\Norvane\\Dravon\\PLCList";

struct TResolveResult {
    THitachiLocation* Location = nullptr; // first element; the caller takes its reference
    bool Signed = false;
    int Count = 0; // locations covered (elements found or created), 0 when nothing resolved
};

class TPLCCollection {
public:
    explicit TPLCCollection(TServerContext& context);
    // Detaches every PLC from its driver first (the pool must still exist, or be unset).
    ~TPLCCollection();
    TPLCCollection(const TPLCCollection&) = delete;
    TPLCCollection& operator=(const TPLCCollection&) = delete;

    // The communication manager's pool; set by the server wiring before LoadPLCList.
    // Setting another pool (or null) detaches every PLC from its driver first.
    void SetDriverPool(IDriverPool* pool);
    IDriverPool* DriverPool() const { return Pool_; }

    int Count() const { return static_cast<int>(PLCs_.size()); }
    THitachiPLC& AddPLC();
    // Leaves the driver, frees the PLC and its locations. Throws TInvalidPointer.
    void DeletePLC(int index);
    // Throws TInvalidPointer ("Invalid pointer detected") for a bad index.
    THitachiPLC& PLCByIndex(int index) const;
    THitachiPLC* FindPLC(std::string_view name) const;
    int IndexOf(const THitachiPLC* plc) const;
    void Clear();

    // Finds or creates the locations an item ID names. Array and text elements past the
    // memory type's highest address are not created (they count as missing); counts above
    // MaxElementCount resolve to nothing.
    TResolveResult ResolveItemId(std::string_view itemId);

    // Empty list, then the PLCs and the serial-port table from the store.
    void LoadPLCList();
    // False (after showMessage with the registry message) when a write failed.
    bool SavePLCList(const std::function<void(const std::string&)>& showMessage);

    TSerialPortTable SerialPorts;
    TAddressCollection ServerVars; // in TServerVar order
    THitachiLocation& ServerVar(TServerVar which) const { return ServerVars.Item(which); }

    // When the server started (shown by ServerStartedAtDate/Time); set at construction.
    TDateTime ServerStartedAt = 0;
    // Milliseconds counted by RefreshVariables since construction.
    std::uint64_t UpTimeMs = 0;

    // The periodic refresh: advances the up-time, stores every PLC's status variables and
    // the server variables.
    void RefreshVariables(int clientsConnected);
    // Re-stores the server variables that have a value, renewing their time stamps.
    void RefreshStatusTimes();

private:
    TServerContext& Context_;
    IDriverPool* Pool_ = nullptr;
    std::vector<std::unique_ptr<THitachiPLC>> PLCs_;
    std::uint32_t LastRefreshTick_ = 0;
};

} // namespace dravon
