// A pending asynchronous transaction of a group: a read, write or refresh waiting to be
// answered through the client's IOPCDataCallback, a data change, or a cancel record.
#pragma once

#include "app/Platform.h"
#include "opc/OPCInterfaces.h"

#include <cstdint>
#include <vector>

namespace dravon {

enum TTransactionKind : std::uint8_t {
    tkDataChange = 0,
    tkRefresh = 1,
    tkRead = 2,
    tkWrite = 3,
    tkCancel = 4
};

struct TOPCDataCallbackItem {
    TDateTime RequestTime = 0;
    std::uint32_t Source = 0; // OPC_DS_CACHE, OPC_DS_DEVICE; 0 for cancel and data change
    TTransactionKind Kind = tkDataChange;
    std::vector<OPCHANDLE> Handles;
    bool Cancelled = false;
    std::uint32_t TransactionID = 0; // the client's
    std::uint32_t CancelID = 0;
    bool WaitsForWrite = false;
};

} // namespace dravon
