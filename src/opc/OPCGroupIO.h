// TOPCGroupIO: a group's reads and writes (IOPCSyncIO, IOPCAsyncIO2, IOPCAsyncIO), its
// version-1 advise sinks (IDataObject), its pending transactions and its update cycle.
// The group forwards those interface methods here and runs Cycle on every server tick.
#pragma once

#include "opc/OPCDataCallbackItem.h"
#include "opc/OPCDataStream.h"
#include "opc/OPCInterfaces.h"

#include <cstdint>
#include <vector>

namespace dravon {

class TOPCGroup;
class TOPCItem;

class TOPCGroupIO {
public:
    explicit TOPCGroupIO(TOPCGroup& group);
    ~TOPCGroupIO();
    TOPCGroupIO(const TOPCGroupIO&) = delete;
    TOPCGroupIO& operator=(const TOPCGroupIO&) = delete;

    TOPCGroup& Group() const { return Group_; }

    // The group cycle of one server tick (tick count taken once by the server tick).
    void Cycle(std::uint32_t tick);
    // Drops pending transactions, request slots and advise sinks (the group is detached).
    void Clear();

    HRESULT SyncRead(std::uint32_t source, const std::vector<OPCHANDLE>& serverHandles,
                     std::vector<TOPCItemState>& values, std::vector<HRESULT>& errors);
    HRESULT SyncWrite(const std::vector<OPCHANDLE>& serverHandles, const std::vector<TVariant>& values,
                      std::vector<HRESULT>& errors);

    HRESULT AsyncRead2(const std::vector<OPCHANDLE>& serverHandles, std::uint32_t transactionID,
                       std::uint32_t& cancelID, std::vector<HRESULT>& errors);
    HRESULT AsyncWrite2(const std::vector<OPCHANDLE>& serverHandles, const std::vector<TVariant>& values,
                        std::uint32_t transactionID, std::uint32_t& cancelID, std::vector<HRESULT>& errors);
    HRESULT Refresh2(std::uint32_t source, std::uint32_t transactionID, std::uint32_t& cancelID);
    HRESULT Cancel2(std::uint32_t cancelID);
    HRESULT SetEnable(std::int32_t enable);
    HRESULT GetEnable(std::int32_t& enable);

    HRESULT AsyncRead1(std::uint32_t connection, std::uint32_t source,
                       const std::vector<OPCHANDLE>& serverHandles, std::uint32_t& transactionID,
                       std::vector<HRESULT>& errors);
    HRESULT AsyncWrite1(std::uint32_t connection, const std::vector<OPCHANDLE>& serverHandles,
                        const std::vector<TVariant>& values, std::uint32_t& transactionID,
                        std::vector<HRESULT>& errors);
    HRESULT Refresh1(std::uint32_t connection, std::uint32_t source, std::uint32_t& transactionID);
    HRESULT Cancel1(std::uint32_t transactionID);

    HRESULT GetData(const TFormatEtc& format, TStgMedium& medium);
    HRESULT GetDataHere(const TFormatEtc& format, TStgMedium& medium);
    HRESULT QueryGetData(const TFormatEtc& format);
    HRESULT GetCanonicalFormatEtc(const TFormatEtc& format, TFormatEtc* canonical);
    HRESULT SetData(const TFormatEtc& format, const TStgMedium& medium, std::int32_t release);
    HRESULT EnumFormatEtc(std::uint32_t direction, TComPtr<IUnknown>& enumFormats);
    HRESULT DAdvise(const TFormatEtc& format, std::uint32_t advf, IAdviseSink* sink,
                    std::uint32_t& connection);
    HRESULT DUnadvise(std::uint32_t connection);
    HRESULT EnumDAdvise(TComPtr<IUnknown>* enumAdvise);

    // A synchronous device read gives up waiting for locations that are never polled after
    // twice the slowest PLC's time-out (two failed reads make a location faulty) plus this.
    static constexpr std::uint32_t DeviceReadMarginMs = 5000;

    // For the tests and the window: pending work.
    std::size_t PendingTransactions() const { return Transactions_.size(); }
    bool DataChangePending() const { return DataChangePending_; }

private:
    // One version-1 advise sink per stream format.
    struct TAdviseRecord {
        TComPtr<IAdviseSink> Sink;
        std::uint32_t Connection = 0;
        TStreamFormat Format = TStreamFormat::DataWithTime;
    };
    // One version-1 request; free while it holds no handle list.
    struct TRequestSlot {
        TDateTime RequestTime = 0;
        std::uint32_t Source = 0;
        TAdviseRecord* Record = nullptr;
        std::uint32_t TransactionID = 0;
        std::vector<OPCHANDLE> Handles;
        bool WaitsForWrite = false;
        bool Busy() const { return !Handles.empty(); }
    };

    bool IsReady(TDateTime requestTime, std::uint32_t source, bool waitsForWrite,
                 const std::vector<OPCHANDLE>& handles) const;
    // Asks again for the locations of a waiting device read that were not read after it.
    void RequestUnread(TDateTime requestTime, const std::vector<OPCHANDLE>& handles) const;
    std::uint32_t AddTransaction(TTransactionKind kind, std::uint32_t source, std::uint32_t transactionID,
                                 std::vector<OPCHANDLE> handles);
    void Deliver(const TOPCDataCallbackItem& transaction);
    void DeliverData(IOPCDataCallback& callback, const TOPCDataCallbackItem& transaction);
    void DeliverWrite(IOPCDataCallback& callback, const TOPCDataCallbackItem& transaction);
    // Sends a version-1 stream; false when an item has gone (the request is dropped).
    // requestTime: when a write was asked for (its items' confirmations are checked).
    bool SendStream(TAdviseRecord& record, const std::vector<OPCHANDLE>& handles, std::uint32_t source,
                    std::uint32_t transactionID, TDateTime requestTime = 0);
    void AnswerSlot(TRequestSlot& slot);
    TAdviseRecord* RecordForConnection(std::uint32_t connection);
    std::uint16_t ClipFormat(TStreamFormat format) const;
    void FillState(TOPCItemState& state, const TOPCItem& item, TDateTime callTime, int bias) const;
    HRESULT CheckedWrite(const std::vector<OPCHANDLE>& serverHandles, const std::vector<TVariant>& values,
                         std::vector<OPCHANDLE>& taken, std::vector<HRESULT>& errors, HRESULT missing);

    TOPCGroup& Group_;
    TAdviseRecord WithoutTime_{{}, 2, TStreamFormat::DataWithoutTime};
    TAdviseRecord WithTime_{{}, 1, TStreamFormat::DataWithTime};
    TAdviseRecord WriteComplete_{{}, 3, TStreamFormat::WriteComplete};
    TRequestSlot ReadSlot_;
    TRequestSlot WriteSlot_;
    TRequestSlot RefreshSlot_;
    bool DataChangePending_ = false;
    bool DataPending_ = false;
    TDateTime PendingTime_ = 0;
    std::vector<TOPCDataCallbackItem> Transactions_;
};

} // namespace dravon
