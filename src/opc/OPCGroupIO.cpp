#include "opc/OPCGroupIO.h"

#include "app/Logger.h"
#include "app/ServerContext.h"
#include "app/SessionLog.h"
#include "app/TextFormat.h"
#include "opc/FileTime.h"
#include "opc/OPCDAConnectionCollection.h"
#include "opc/OPCGroup.h"
#include "opc/OPCItem.h"
#include "opc/OPCItemCollection.h"
#include "opc/OPCLog.h"
#include "plc/HitachiLocation.h"
#include "plc/HitachiPLC.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace dravon {

namespace {

constexpr const char* SyncReadText = "IOPCSyncIO::Read";
constexpr const char* SyncWriteText = "IOPCSyncIO::Write";
constexpr const char* Read2Text = "IOPCAsyncIO2::Read";
constexpr const char* Write2Text = "IOPCAsyncIO2::Write";
constexpr const char* Refresh2Text = "IOPCAsyncIO2::Refresh2";
constexpr const char* Cancel2Text = "IOPCAsyncIO2::Cancel2";
constexpr const char* Read1Text = "IOPCAsyncIO::Read";
constexpr const char* Write1Text = "IOPCAsyncIO::Write";
constexpr const char* Refresh1Text = "IOPCAsyncIO::Refresh";

bool IsGood(std::uint16_t quality) { return (quality & 0xC0) == 0xC0; }

// The update cycle's walks are bound by memory latency, not work: every item and its
// location sit in their own heap blocks, and a server tick visits 100 000 of them. Items
// are fetched two strides ahead and their locations one stride ahead, so the loads of
// the walk find them in the cache.
constexpr std::size_t PrefetchStride = 16;

void PrefetchAhead(const TOPCItemCollection& items, std::size_t i) {
    if (const TOPCItem* far = items.At(i + 2 * PrefetchStride)) __builtin_prefetch(far);
    if (const TOPCItem* near = items.At(i + PrefetchStride)) {
        if (const THitachiLocation* l = near->Location()) {
            __builtin_prefetch(&l->Value);
            __builtin_prefetch(&l->ErrorCount);
            __builtin_prefetch(&l->ReadRequested);
        }
    }
}

// Keeps the group alive while a client callback or a waiting read may release it.
TComPtr<TOPCGroup> Hold(TOPCGroup& group) { return TComPtr<TOPCGroup>(&group); }

} // namespace

TOPCGroupIO::TOPCGroupIO(TOPCGroup& group) : Group_(group) {}
TOPCGroupIO::~TOPCGroupIO() = default;

void TOPCGroupIO::Clear() {
    Transactions_.clear();
    for (TRequestSlot* slot : {&ReadSlot_, &WriteSlot_, &RefreshSlot_}) *slot = TRequestSlot{};
    // Sinks released last: a client's Release may reach back into this group.
    TComPtr<IAdviseSink> a = std::move(WithTime_.Sink);
    TComPtr<IAdviseSink> b = std::move(WithoutTime_.Sink);
    TComPtr<IAdviseSink> c = std::move(WriteComplete_.Sink);
    DataChangePending_ = DataPending_ = false;
}

// ---------------------------------------------------------------- readiness

bool TOPCGroupIO::IsReady(TDateTime requestTime, std::uint32_t source, bool waitsForWrite,
                          const std::vector<OPCHANDLE>& handles) const {
    if (!waitsForWrite && source != OPC_DS_DEVICE) return true;
    TOPCItemCollection& items = Group_.Items();
    for (OPCHANDLE handle : handles) {
        const TOPCItem* item = items.Find(handle);
        if (!item || !item->Location()) continue; // removed since the request
        if (waitsForWrite ? !item->WrittenSince(requestTime) : !item->ReadSince(requestTime)) return false;
    }
    return true;
}

void TOPCGroupIO::RequestUnread(TDateTime requestTime, const std::vector<OPCHANDLE>& handles) const {
    TOPCItemCollection& items = Group_.Items();
    for (OPCHANDLE handle : handles) {
        const TOPCItem* item = items.Find(handle);
        if (item && item->Location()) item->RequestIfNotReadSince(requestTime);
    }
}

std::uint32_t TOPCGroupIO::AddTransaction(TTransactionKind kind, std::uint32_t source,
                                          std::uint32_t transactionID, std::vector<OPCHANDLE> handles) {
    TOPCDataCallbackItem t;
    t.RequestTime = Group_.Context().Clock->Now();
    t.Source = source;
    t.Kind = kind;
    t.Handles = std::move(handles);
    t.TransactionID = transactionID;
    t.CancelID = Group_.Connections().NewCancelID();
    t.WaitsForWrite = kind == tkWrite;
    Transactions_.push_back(std::move(t));
    return Transactions_.back().CancelID;
}

// ---------------------------------------------------------------- the group cycle

void TOPCGroupIO::Cycle(std::uint32_t tick) {
    auto hold = Hold(Group_);
    TServerContext& ctx = Group_.Context();

    // 1. Pending transactions, last to first. Each is taken out of the list before its
    // callback: the client may add, cancel or remove anything from inside it.
    for (std::size_t i = Transactions_.size(); i-- > 0;) {
        if (Group_.Detached()) return;
        if (i >= Transactions_.size()) continue;
        const TOPCDataCallbackItem& t = Transactions_[i];
        if (!IsReady(t.RequestTime, t.Source, t.WaitsForWrite, t.Handles)) {
            if (!t.WaitsForWrite && t.Source == OPC_DS_DEVICE) RequestUnread(t.RequestTime, t.Handles);
            continue;
        }
        TOPCDataCallbackItem taken = std::move(Transactions_[i]);
        Transactions_.erase(Transactions_.begin() + static_cast<std::ptrdiff_t>(i));
        if (!taken.Cancelled) Deliver(taken);
    }

    // 2. Version-1 request slots: read, write, refresh.
    for (TRequestSlot* slot : {&ReadSlot_, &WriteSlot_, &RefreshSlot_}) {
        if (Group_.Detached()) return;
        if (!slot->Busy()) continue;
        if (slot->Source == OPC_DS_DEVICE || slot->WaitsForWrite) {
            if (!IsReady(slot->RequestTime, slot->Source, slot->WaitsForWrite, slot->Handles)) {
                if (!slot->WaitsForWrite) RequestUnread(slot->RequestTime, slot->Handles);
                continue;
            }
        }
        AnswerSlot(*slot);
    }
    if (Group_.Detached()) return;

    // 3. Subscription data of the period that started on the previous tick. When a new
    // period starts on this tick too (rates of one tick), the same walk also asks for the
    // items to be polled again, so that every item is visited once per tick, not twice.
    TOPCItemCollection& items = Group_.Items();
    bool marked = false;
    std::uint64_t markedVersion = 0;
    if (DataChangePending_ || DataPending_) {
        std::vector<OPCHANDLE> send;
        const bool newPeriod =
            TOPCDAConnectionCollection::TickDiff(tick, Group_.LastUpdateTick) >= Group_.UpdateRate;
        if (Group_.Active) {
            for (std::size_t i = 0; TOPCItem* item = items.At(i); ++i) {
                PrefetchAhead(items, i);
                if (!item->Active) continue;
                const bool changed = item->HasChanged(ctx.Settings);
                if (changed || ctx.Settings.ForcedOnChange) send.push_back(item->ServerHandle());
                if (newPeriod) item->MarkRequested();
            }
            marked = newPeriod;
            markedVersion = items.Version();
        }
        const bool dataChange = DataChangePending_;
        const bool data = DataPending_;
        DataChangePending_ = DataPending_ = false;
        if (data && !send.empty()) {
            if (WithTime_.Sink) SendStream(WithTime_, send, OPC_DS_DEVICE, 0);
            if (Group_.Detached()) return;
            if (WithoutTime_.Sink) SendStream(WithoutTime_, send, OPC_DS_DEVICE, 0);
            if (Group_.Detached()) return;
        }
        if (dataChange && !send.empty() && Group_.DataCallback()) {
            TOPCDataCallbackItem t;
            t.Kind = tkDataChange;
            t.Handles = std::move(send);
            Deliver(t);
            if (Group_.Detached()) return;
        }
    }

    // 4. A new update period?
    if (TOPCDAConnectionCollection::TickDiff(tick, Group_.LastUpdateTick) < Group_.UpdateRate) return;
    // 5.
    Group_.LastUpdateTick = tick;
    if (Group_.CallbacksEnabled && !DataChangePending_ && Group_.DataCallback()) {
        PendingTime_ = ctx.Clock->Now();
        DataChangePending_ = true;
    }
    if (!DataPending_ && (WithTime_.Sink || WithoutTime_.Sink)) {
        PendingTime_ = ctx.Clock->Now();
        DataPending_ = true;
    }
    // 6. Keep the active items polled (unless step 3 did it and the client changed
    // nothing from inside its callbacks).
    if (Group_.Active && !(marked && items.Version() == markedVersion)) {
        for (std::size_t i = 0; TOPCItem* item = items.At(i); ++i) {
            PrefetchAhead(items, i);
            if (item->Active) item->MarkRequested();
        }
    }
}

// ---------------------------------------------------------------- deliveries

void TOPCGroupIO::Deliver(const TOPCDataCallbackItem& transaction) {
    TComPtr<IOPCDataCallback> callback = Group_.DataCallback();
    if (!callback) return;
    TLogger* debug = Group_.Context().Debug;
    switch (transaction.Kind) {
    case tkDataChange:
    case tkRefresh:
    case tkRead: {
        const char* text = transaction.Kind == tkDataChange ? "IOPCDataCallBack::OnDataChange"
                           : transaction.Kind == tkRefresh  ? "IOPCDataCallBack::OnDataChange(Refresh)"
                                                            : "IOPCDataCallBack::OnReadComplete";
        LogCallStart(debug, text);
        DeliverData(*callback, transaction);
        LogCallEndText(debug, text);
        break;
    }
    case tkWrite:
        LogCallStart(debug, "IOPCDataCallBack::OnWriteComplete");
        DeliverWrite(*callback, transaction);
        LogCallEndText(debug, "IOPCDataCallBack::OnWriteComplete");
        break;
    case tkCancel:
        LogCallStart(debug, "IOPCDataCallBack::OnCancelComplete");
        callback->OnCancelComplete(transaction.TransactionID, Group_.ClientHandle);
        LogCallEndText(debug, "IOPCDataCallBack::OnCancelComplete");
        break;
    }
}

void TOPCGroupIO::DeliverData(IOPCDataCallback& callback, const TOPCDataCallbackItem& transaction) {
    TServerContext& ctx = Group_.Context();
    const std::size_t n = transaction.Handles.size();
    std::vector<OPCHANDLE> clients(n, 0);
    std::vector<TVariant> values(n, TVariant::I4(0));
    std::vector<std::uint16_t> qualities(n, 0);
    std::vector<TFileTime> times(n);
    std::vector<HRESULT> errors(n, S_OK);
    HRESULT masterQuality = S_OK;
    HRESULT masterError = S_OK;
    const int bias = ctx.Clock->TimeZoneBiasMinutes();
    for (std::size_t i = 0; i < n; ++i) {
        const TOPCItem* item = Group_.Items().Find(transaction.Handles[i]);
        if (!item || !item->Location()) {
            errors[i] = OPC_E_UNKNOWNITEMID;
            masterError = masterQuality = S_FALSE;
            continue;
        }
        if (!item->Readable()) {
            errors[i] = OPC_E_BADRIGHTS;
            masterError = masterQuality = S_FALSE;
            continue;
        }
        clients[i] = item->ClientHandle;
        values[i] = item->Value();
        qualities[i] = item->Quality(ctx.Settings);
        times[i] = LocalDateTimeToFileTime(item->Location()->ValueTime, bias);
        if (!IsGood(qualities[i])) masterQuality = S_FALSE;
    }
    const OPCHANDLE group = Group_.ClientHandle;
    if (transaction.Kind == tkRead) {
        callback.OnReadComplete(transaction.TransactionID, group, masterQuality, masterError, clients, values,
                                qualities, times, errors);
    } else {
        const std::uint32_t id = transaction.Kind == tkDataChange ? 0 : transaction.TransactionID;
        callback.OnDataChange(id, group, masterQuality, masterError, clients, values, qualities, times,
                              errors);
    }
}

// The PLC confirmed every word of the item since the request. A write also completes
// when its locations turned faulty (the PLC stopped answering), so that the client is not
// kept waiting; the value then stays pending and is sent when the PLC answers again, but
// the client must not be told that it is in the PLC. Nor when the PLC rejected it.
static bool WriteConfirmedSince(const TOPCItem& item, TDateTime since) {
    const int count = item.CoveredCount();
    for (int i = 0; i < count; ++i) {
        const THitachiLocation* l = item.Element(i);
        if (!l) continue;
        const bool pending =
            l->HasBothHalves() ? l->HighLink->WritePending || l->LowLink->WritePending : l->WritePending;
        if (pending || l->WriteDoneTime < since || l->WriteRejected) return false;
    }
    return true;
}

void TOPCGroupIO::DeliverWrite(IOPCDataCallback& callback, const TOPCDataCallbackItem& transaction) {
    const std::size_t n = transaction.Handles.size();
    std::vector<OPCHANDLE> clients(n, 0);
    std::vector<HRESULT> errors(n, S_OK);
    HRESULT masterError = S_OK;
    for (std::size_t i = 0; i < n; ++i) {
        const TOPCItem* item = Group_.Items().Find(transaction.Handles[i]);
        if (!item || !item->Location()) {
            errors[i] = OPC_E_UNKNOWNITEMID;
            masterError = S_FALSE;
            continue;
        }
        clients[i] = item->ClientHandle;
        if (!item->Writeable()) {
            errors[i] = OPC_E_BADRIGHTS;
            masterError = S_FALSE;
        } else if (!WriteConfirmedSince(*item, transaction.RequestTime)) {
            errors[i] = E_FAIL;
            masterError = S_FALSE;
        }
    }
    callback.OnWriteComplete(transaction.TransactionID, Group_.ClientHandle, masterError, clients, errors);
}

std::uint16_t TOPCGroupIO::ClipFormat(TStreamFormat format) const {
    const char* name = format == TStreamFormat::DataWithTime      ? StreamFormatDataTimeName
                       : format == TStreamFormat::DataWithoutTime ? StreamFormatDataName
                                                                  : StreamFormatWriteCompleteName;
    return Group_.Connections().RegisterClipboardFormat(name);
}

bool TOPCGroupIO::SendStream(TAdviseRecord& record, const std::vector<OPCHANDLE>& handles,
                             std::uint32_t source, std::uint32_t transactionID, TDateTime requestTime) {
    TServerContext& ctx = Group_.Context();
    std::vector<std::uint8_t> block;
    if (record.Format == TStreamFormat::WriteComplete) {
        std::vector<std::uint32_t> clients;
        std::vector<std::int32_t> errors;
        for (OPCHANDLE handle : handles) {
            const TOPCItem* item = Group_.Items().Find(handle);
            if (!item || !item->Location()) return false;
            clients.push_back(item->ClientHandle);
            errors.push_back(WriteConfirmedSince(*item, requestTime) ? S_OK : E_FAIL);
        }
        block = TOPCDataStream::WriteComplete(Group_.ClientHandle, transactionID, clients, errors);
    } else {
        std::vector<TStreamItem> entries;
        const int bias = ctx.Clock->TimeZoneBiasMinutes();
        for (OPCHANDLE handle : handles) {
            const TOPCItem* item = Group_.Items().Find(handle);
            if (!item || !item->Location()) return false;
            TStreamItem entry;
            entry.ClientHandle = item->ClientHandle;
            entry.Quality = item->Quality(ctx.Settings);
            if (source == OPC_DS_CACHE && (!Group_.Active || !item->Active))
                entry.Quality = QualityOutOfService;
            entry.TimeStamp = LocalDateTimeToFileTime(item->Location()->ValueTime, bias).ToUInt64();
            entry.Value = VariantRecord(item->Value());
            entries.push_back(entry);
        }
        block = TOPCDataStream::Data(record.Format == TStreamFormat::DataWithTime, Group_.ClientHandle,
                                     transactionID, entries);
    }
    if (handles.empty() || !record.Sink) return true;
    TFormatEtc format;
    format.ClipFormat = ClipFormat(record.Format);
    TStgMedium medium;
    medium.Global = std::move(block);
    TComPtr<IAdviseSink> sink = record.Sink; // the client may unadvise inside the call
    sink->OnDataChange(format, medium);
    return true;
}

void TOPCGroupIO::AnswerSlot(TRequestSlot& slot) {
    // The slot is freed before the stream goes out, so the client may ask again from the sink.
    TRequestSlot taken = std::move(slot);
    slot = TRequestSlot{};
    if (taken.Record)
        SendStream(*taken.Record, taken.Handles, taken.Source, taken.TransactionID, taken.RequestTime);
}

// ---------------------------------------------------------------- IOPCSyncIO

void TOPCGroupIO::FillState(TOPCItemState& state, const TOPCItem& item, TDateTime callTime, int bias) const {
    TServerContext& ctx = Group_.Context();
    state.ClientHandle = item.ClientHandle;
    if (ctx.Settings.QualityIndependentSyncRead) {
        state.TimeStamp = LocalDateTimeToFileTime(callTime, bias);
        state.Quality = QualityGood;
    } else {
        state.TimeStamp = LocalDateTimeToFileTime(item.Location()->ValueTime, bias);
        state.Quality = item.Quality(ctx.Settings);
    }
    state.Value = item.Value();
}

HRESULT TOPCGroupIO::SyncRead(std::uint32_t source, const std::vector<OPCHANDLE>& serverHandles,
                              std::vector<TOPCItemState>& values, std::vector<HRESULT>& errors) {
    auto hold = Hold(Group_);
    TServerContext& ctx = Group_.Context();
    LogCallStart(ctx.Debug, SyncReadText);
    values.clear();
    errors.clear();
    if (serverHandles.empty()) {
        LogCallEnd(ctx.Debug, SyncReadText, E_INVALIDARG);
        return E_INVALIDARG;
    }
    values.assign(serverHandles.size(), TOPCItemState{});
    errors.assign(serverHandles.size(), S_OK);
    const TDateTime callTime = ctx.Clock->Now();
    const int bias = ctx.Clock->TimeZoneBiasMinutes();
    HRESULT result = S_OK;
    int slowestTimeOut = 0;
    for (std::size_t i = 0; i < serverHandles.size(); ++i) {
        const TOPCItem* item = Group_.Items().Find(serverHandles[i]);
        if (!item || !item->Location()) {
            errors[i] = OPC_E_INVALIDHANDLE;
            result = S_FALSE;
            continue;
        }
        FillState(values[i], *item, callTime, bias);
        item->MarkRequested();
        if (item->Location()->PLC) slowestTimeOut = std::max(slowestTimeOut, item->Location()->PLC->TimeOut);
    }
    if (source == OPC_DS_DEVICE) {
        auto allRead = [&] {
            for (OPCHANDLE handle : serverHandles) {
                const TOPCItem* item = Group_.Items().Find(handle);
                if (item && item->Location() && !item->ReadSince(callTime)) {
                    item->RequestIfNotReadSince(callTime);
                    return false;
                }
            }
            return true;
        };
        // Locations of a PLC that is never polled (no driver yet, say) would hold this
        // wait open for ever; a location that is polled becomes faulty after two failed
        // reads, so twice the slowest time-out plus a margin is always enough.
        const std::uint32_t bound =
            2u * static_cast<std::uint32_t>(std::max(slowestTimeOut, DefaultTimeOut)) + DeviceReadMarginMs;
        const std::uint32_t start = ctx.Clock->TickCount();
        auto pump = [&] {
            const std::uint32_t before = ctx.Clock->TickCount();
            ctx.Loop->ProcessPendingEvents();
            if (ctx.Clock->TickCount() == before) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        };
        while (!allRead() && TickDiff(ctx.Clock->TickCount(), start) < bound) pump();
        for (int i = 0; i < 3; ++i) pump();
        // Items and even the group may have changed meanwhile: look every handle up again.
        const TDateTime now = ctx.Clock->Now();
        result = S_OK;
        for (std::size_t i = 0; i < serverHandles.size(); ++i) {
            const TOPCItem* item = Group_.Detached() ? nullptr : Group_.Items().Find(serverHandles[i]);
            if (!item || !item->Location()) {
                values[i] = TOPCItemState{};
                errors[i] = OPC_E_INVALIDHANDLE;
                result = S_FALSE;
                continue;
            }
            errors[i] = S_OK;
            FillState(values[i], *item, now, bias);
        }
    }
    LogCallEnd(ctx.Debug, SyncReadText, result);
    return result;
}

HRESULT TOPCGroupIO::SyncWrite(const std::vector<OPCHANDLE>& serverHandles,
                               const std::vector<TVariant>& values, std::vector<HRESULT>& errors) {
    TServerContext& ctx = Group_.Context();
    LogCallStart(ctx.Debug, SyncWriteText);
    errors.clear();
    if (serverHandles.empty() || values.size() < serverHandles.size()) {
        LogCallEnd(ctx.Debug, SyncWriteText, E_INVALIDARG);
        return E_INVALIDARG;
    }
    errors.assign(serverHandles.size(), S_OK);
    HRESULT result = S_OK;
    for (std::size_t i = 0; i < serverHandles.size(); ++i) {
        TOPCItem* item = Group_.Items().Find(serverHandles[i]);
        if (!item || !item->Location()) {
            errors[i] = OPC_E_INVALIDHANDLE;
        } else if (!item->Writeable()) {
            errors[i] = OPC_E_BADRIGHTS;
        } else if (!item->CheckValue(values[i])) {
            errors[i] = OPC_E_BADTYPE;
        } else {
            item->WriteValue(values[i]);
            continue;
        }
        result = S_FALSE;
    }
    LogCallEnd(ctx.Debug, SyncWriteText, result);
    return result;
}

// ---------------------------------------------------------------- IOPCAsyncIO2

HRESULT TOPCGroupIO::AsyncRead2(const std::vector<OPCHANDLE>& serverHandles, std::uint32_t transactionID,
                                std::uint32_t& cancelID, std::vector<HRESULT>& errors) {
    TServerContext& ctx = Group_.Context();
    LogCallStart(ctx.Debug, Read2Text);
    errors.clear();
    cancelID = 0;
    HRESULT result = S_OK;
    if (serverHandles.empty()) {
        result = E_INVALIDARG;
    } else if (!Group_.DataCallback()) {
        result = CONNECT_E_NOCONNECTION;
    } else {
        errors.assign(serverHandles.size(), S_OK);
        std::vector<OPCHANDLE> taken;
        for (std::size_t i = 0; i < serverHandles.size(); ++i) {
            const TOPCItem* item = Group_.Items().Find(serverHandles[i]);
            if (!item) {
                errors[i] = OPC_E_UNKNOWNITEMID;
                result = S_FALSE;
                continue;
            }
            if (item->Location()) item->MarkRequested();
            taken.push_back(serverHandles[i]);
        }
        if (taken.empty()) {
            result = E_FAIL;
            errors.clear();
        } else {
            cancelID = AddTransaction(tkRead, OPC_DS_DEVICE, transactionID, std::move(taken));
        }
    }
    LogCallEnd(ctx.Debug, Read2Text, result);
    return result;
}

HRESULT TOPCGroupIO::CheckedWrite(const std::vector<OPCHANDLE>& serverHandles,
                                  const std::vector<TVariant>& values, std::vector<OPCHANDLE>& taken,
                                  std::vector<HRESULT>& errors, HRESULT missing) {
    errors.assign(serverHandles.size(), S_OK);
    HRESULT result = S_OK;
    for (std::size_t i = 0; i < serverHandles.size(); ++i) {
        TOPCItem* item = Group_.Items().Find(serverHandles[i]);
        if (!item || !item->Location()) {
            errors[i] = missing;
        } else if (!item->Writeable()) {
            // Read-only variables are not written, whatever the interface.
            errors[i] = OPC_E_BADRIGHTS;
        } else if (!item->CheckValue(values[i])) {
            errors[i] = OPC_E_BADTYPE;
        } else {
            item->WriteValue(values[i]);
            taken.push_back(serverHandles[i]);
            continue;
        }
        result = S_FALSE;
    }
    return result;
}

HRESULT TOPCGroupIO::AsyncWrite2(const std::vector<OPCHANDLE>& serverHandles,
                                 const std::vector<TVariant>& values, std::uint32_t transactionID,
                                 std::uint32_t& cancelID, std::vector<HRESULT>& errors) {
    TServerContext& ctx = Group_.Context();
    LogCallStart(ctx.Debug, Write2Text);
    errors.clear();
    cancelID = 0;
    HRESULT result = S_OK;
    if (serverHandles.empty() || values.size() < serverHandles.size()) {
        result = E_INVALIDARG;
    } else if (!Group_.DataCallback()) {
        result = CONNECT_E_NOCONNECTION;
    } else {
        std::vector<OPCHANDLE> taken;
        result = CheckedWrite(serverHandles, values, taken, errors, OPC_E_UNKNOWNITEMID);
        if (taken.empty()) {
            result = E_FAIL;
            errors.clear();
        } else {
            cancelID = AddTransaction(tkWrite, OPC_DS_DEVICE, transactionID, std::move(taken));
        }
    }
    LogCallEnd(ctx.Debug, Write2Text, result);
    return result;
}

HRESULT TOPCGroupIO::Refresh2(std::uint32_t source, std::uint32_t transactionID, std::uint32_t& cancelID) {
    TServerContext& ctx = Group_.Context();
    LogCallStart(ctx.Debug, Refresh2Text);
    cancelID = 0;
    HRESULT result = S_OK;
    if (!Group_.DataCallback()) {
        result = CONNECT_E_NOCONNECTION;
    } else if (!Group_.Active && source == OPC_DS_CACHE) {
        result = E_FAIL;
    } else {
        std::vector<OPCHANDLE> taken;
        for (std::size_t i = 0; TOPCItem* item = Group_.Items().At(i); ++i) {
            if (!item->Active) continue;
            item->MarkRequested();
            taken.push_back(item->ServerHandle());
        }
        if (taken.empty()) {
            result = E_FAIL;
        } else {
            cancelID = AddTransaction(tkRefresh, source, transactionID, std::move(taken));
        }
    }
    LogCallEnd(ctx.Debug, Refresh2Text, result);
    return result;
}

HRESULT TOPCGroupIO::Cancel2(std::uint32_t cancelID) {
    TServerContext& ctx = Group_.Context();
    LogCallStart(ctx.Debug, Cancel2Text);
    HRESULT result = E_FAIL;
    for (auto& t : Transactions_) {
        // The first record with the id, whatever it is: cancelling a cancel record (or a
        // cancelled request) again replaces it, and its OnCancelComplete still comes.
        if (t.CancelID != cancelID) continue;
        t.Cancelled = true;
        const std::uint32_t id = t.TransactionID;
        AddTransaction(tkCancel, 0, id, {});
        result = S_OK;
        break;
    }
    LogCallEnd(ctx.Debug, Cancel2Text, result);
    return result;
}

HRESULT TOPCGroupIO::SetEnable(std::int32_t enable) {
    HRESULT result = S_OK;
    if (!Group_.DataCallback()) {
        result = CONNECT_E_NOCONNECTION;
    } else {
        Group_.CallbacksEnabled = enable != 0;
    }
    LogCall(Group_.Context().Debug, "IOPCAsyncIO2::SetEnable", result);
    return result;
}

HRESULT TOPCGroupIO::GetEnable(std::int32_t& enable) {
    HRESULT result = S_OK;
    enable = 0;
    if (!Group_.DataCallback()) {
        result = CONNECT_E_NOCONNECTION;
    } else {
        enable = Group_.CallbacksEnabled ? -1 : 0;
    }
    LogCall(Group_.Context().Debug, "IOPCAsyncIO2::GetEnable", result);
    return result;
}

// ---------------------------------------------------------------- IOPCAsyncIO (version 1)

TOPCGroupIO::TAdviseRecord* TOPCGroupIO::RecordForConnection(std::uint32_t connection) {
    if (connection == 1) return &WithTime_;
    if (connection == 2) return &WithoutTime_;
    return nullptr;
}

HRESULT TOPCGroupIO::AsyncRead1(std::uint32_t connection, std::uint32_t source,
                                const std::vector<OPCHANDLE>& serverHandles, std::uint32_t& transactionID,
                                std::vector<HRESULT>& errors) {
    TServerContext& ctx = Group_.Context();
    LogCallStart(ctx.Debug, Read1Text);
    errors.clear();
    transactionID = 0;
    TAdviseRecord* record = RecordForConnection(connection);
    HRESULT result = S_OK;
    if (serverHandles.empty()) {
        result = E_INVALIDARG;
    } else if (!record || !record->Sink) {
        result = CONNECT_E_NOCONNECTION;
    } else if (ReadSlot_.Busy()) {
        result = CONNECT_E_ADVISELIMIT;
    } else {
        errors.assign(serverHandles.size(), S_OK);
        std::vector<OPCHANDLE> taken;
        for (std::size_t i = 0; i < serverHandles.size(); ++i) {
            const TOPCItem* item = Group_.Items().Find(serverHandles[i]);
            if (!item) {
                errors[i] = OPC_E_UNKNOWNITEMID;
                result = S_FALSE;
                continue;
            }
            taken.push_back(serverHandles[i]);
            if (item->Location()) item->MarkRequested();
        }
        if (taken.empty()) {
            result = E_FAIL;
            errors.clear();
        } else {
            ReadSlot_.Handles = std::move(taken);
            ReadSlot_.Record = record;
            ReadSlot_.RequestTime = ctx.Clock->Now();
            ReadSlot_.Source = source;
            ReadSlot_.WaitsForWrite = false;
            ReadSlot_.TransactionID = transactionID = Group_.Connections().NewTransactionID();
        }
    }
    LogCallEnd(ctx.Debug, Read1Text, result);
    return result;
}

HRESULT TOPCGroupIO::AsyncWrite1(std::uint32_t connection, const std::vector<OPCHANDLE>& serverHandles,
                                 const std::vector<TVariant>& values, std::uint32_t& transactionID,
                                 std::vector<HRESULT>& errors) {
    TServerContext& ctx = Group_.Context();
    LogCallStart(ctx.Debug, Write1Text);
    errors.clear();
    transactionID = 0;
    HRESULT result = S_OK;
    if (serverHandles.empty() || values.size() < serverHandles.size()) {
        result = E_INVALIDARG;
    } else if (WriteSlot_.Busy()) {
        result = CONNECT_E_ADVISELIMIT;
    } else if (connection != 3 || !WriteComplete_.Sink) {
        result = CONNECT_E_NOCONNECTION;
    } else {
        std::vector<OPCHANDLE> taken;
        result = CheckedWrite(serverHandles, values, taken, errors, OPC_E_UNKNOWNITEMID);
        if (taken.empty()) {
            result = E_FAIL;
            errors.clear();
        } else {
            WriteSlot_.Handles = std::move(taken);
            WriteSlot_.Record = &WriteComplete_;
            WriteSlot_.RequestTime = ctx.Clock->Now();
            WriteSlot_.Source = OPC_DS_DEVICE;
            WriteSlot_.WaitsForWrite = true;
            WriteSlot_.TransactionID = transactionID = Group_.Connections().NewTransactionID();
        }
    }
    LogCallEnd(ctx.Debug, Write1Text, result);
    return result;
}

HRESULT TOPCGroupIO::Refresh1(std::uint32_t connection, std::uint32_t source, std::uint32_t& transactionID) {
    TServerContext& ctx = Group_.Context();
    LogCallStart(ctx.Debug, Refresh1Text);
    transactionID = 0;
    TAdviseRecord* record = RecordForConnection(connection);
    HRESULT result = S_OK;
    if (!Group_.Active && source == OPC_DS_CACHE) {
        result = E_FAIL;
    } else if (RefreshSlot_.Busy()) {
        result = CONNECT_E_ADVISELIMIT;
    } else if (!record || !record->Sink) {
        result = CONNECT_E_NOCONNECTION;
    } else {
        std::vector<OPCHANDLE> taken;
        for (std::size_t i = 0; TOPCItem* item = Group_.Items().At(i); ++i) {
            if (!item->Active) continue;
            item->MarkRequested();
            taken.push_back(item->ServerHandle());
        }
        if (taken.empty()) {
            result = E_FAIL;
        } else {
            RefreshSlot_.Handles = std::move(taken);
            RefreshSlot_.Record = record;
            RefreshSlot_.RequestTime = ctx.Clock->Now();
            RefreshSlot_.Source = source;
            RefreshSlot_.WaitsForWrite = false;
            RefreshSlot_.TransactionID = transactionID = Group_.Connections().NewTransactionID();
        }
    }
    LogCallEnd(ctx.Debug, Refresh1Text, result);
    return result;
}

HRESULT TOPCGroupIO::Cancel1(std::uint32_t) {
    LogCall(Group_.Context().Debug, "IOPCAsyncIO::Cancel", E_FAIL);
    return E_FAIL;
}

// ---------------------------------------------------------------- IDataObject

HRESULT TOPCGroupIO::GetData(const TFormatEtc&, TStgMedium&) { return E_NOTIMPL; }
HRESULT TOPCGroupIO::GetDataHere(const TFormatEtc&, TStgMedium&) { return E_NOTIMPL; }
HRESULT TOPCGroupIO::QueryGetData(const TFormatEtc&) { return E_NOTIMPL; }
HRESULT TOPCGroupIO::GetCanonicalFormatEtc(const TFormatEtc&, TFormatEtc* canonical) {
    if (canonical) *canonical = TFormatEtc{};
    return E_NOTIMPL;
}
HRESULT TOPCGroupIO::SetData(const TFormatEtc&, const TStgMedium&, std::int32_t) { return E_NOTIMPL; }
HRESULT TOPCGroupIO::EnumFormatEtc(std::uint32_t, TComPtr<IUnknown>& enumFormats) {
    enumFormats = nullptr;
    return E_NOTIMPL;
}
HRESULT TOPCGroupIO::EnumDAdvise(TComPtr<IUnknown>* enumAdvise) {
    if (enumAdvise) *enumAdvise = nullptr;
    return E_NOTIMPL;
}

HRESULT TOPCGroupIO::DAdvise(const TFormatEtc& format, std::uint32_t, IAdviseSink* sink,
                             std::uint32_t& connection) {
    connection = 0;
    TAdviseRecord* record = nullptr;
    const char* line = nullptr;
    if (format.ClipFormat == ClipFormat(TStreamFormat::DataWithTime)) {
        record = &WithTime_;
        line = "Client established AsyncIO callback for group %s with timestamp";
    } else if (format.ClipFormat == ClipFormat(TStreamFormat::DataWithoutTime)) {
        record = &WithoutTime_;
        line = "Client established AsyncIO callback for group %s without timestamp";
    } else if (format.ClipFormat == ClipFormat(TStreamFormat::WriteComplete)) {
        record = &WriteComplete_;
        line = "Client established AsyncIO callback for group %s type write complete";
    } else {
        return E_FAIL;
    }
    if (!sink) return E_INVALIDARG;
    if (record->Sink) return CONNECT_E_ADVISELIMIT;
    record->Sink = TComPtr<IAdviseSink>(sink);
    connection = record->Connection;
    if (Group_.Context().Log) Group_.Context().Log->Add(FormatText(line, {LogText(Group_.Name)}), false);
    return S_OK;
}

HRESULT TOPCGroupIO::DUnadvise(std::uint32_t connection) {
    TAdviseRecord* record = connection == 1   ? &WithTime_
                            : connection == 2 ? &WithoutTime_
                            : connection == 3 ? &WriteComplete_
                                              : nullptr;
    if (!record || !record->Sink) return E_FAIL;
    TComPtr<IAdviseSink> released = std::move(record->Sink);
    record->Sink = nullptr;
    return S_OK;
}

} // namespace dravon
