#include "ua/UaDaBackend.h"

#include "app/Platform.h"
#include "app/ServerContext.h"
#include "app/TimeDate.h"
#include "opc/BrowseObject.h"
#include "opc/DataCallbackSink.h"
#include "opc/OPCGroup.h"
#include "opc/OPCInterfaces.h"
#include "opc/OPCItem.h"
#include "opc/OPCItemCollection.h"
#include "plc/HitachiLocation.h"
#include "plc/HitachiPLC.h"
#include "plc/ItemId.h"
#include "plc/MemoryTypes.h"
#include "plc/PLCCollection.h"
#include "plc/Variables.h"
#include "ua/UaDaValues.h"
#include "ua/UaStatusCodes.h"

#include <algorithm>
#include <cctype>
#include <map>

namespace dravon {

namespace {

std::vector<std::string> SplitFolder(const std::string& folderId) {
    std::vector<std::string> parts;
    std::size_t at = 1;
    while (at < folderId.size()) {
        std::size_t next = folderId.find('/', at);
        if (next == std::string::npos) next = folderId.size();
        parts.push_back(folderId.substr(at, next - at));
        at = next + 1;
    }
    return parts;
}

std::string JoinFolder(const std::vector<std::string>& parts, std::size_t count) {
    std::string id;
    for (std::size_t i = 0; i < count; ++i) id.append("/").append(parts[i]);
    return id.empty() ? std::string("/") : id;
}

std::vector<std::string> AllNames(IEnumString& names) {
    std::vector<std::string> all;
    for (;;) {
        std::vector<std::string> chunk;
        std::uint32_t fetched = 0;
        const HRESULT hr = names.Next(256, chunk, &fetched);
        all.insert(all.end(), chunk.begin(), chunk.end());
        if (hr != S_OK || fetched == 0) break;
    }
    return all;
}

TOPCItemDef ItemDef(const std::string& itemId, OPCHANDLE clientHandle, bool active,
                    VARTYPE requested = VT_EMPTY) {
    TOPCItemDef def;
    def.ItemID = itemId;
    def.ClientHandle = clientHandle;
    def.Active = active ? 1 : 0;
    def.RequestedDataType = requested;
    return def;
}

TUaStatusCode StatusFromItemError(HRESULT error) {
    if (error == OPC_E_UNKNOWNITEMID || error == OPC_E_INVALIDITEMID) return UaStatus::BadNodeIdUnknown;
    if (error == OPC_E_BADTYPE || error == DISP_E_TYPEMISMATCH || error == DISP_E_OVERFLOW ||
        error == DISP_E_BADVARTYPE)
        return UaStatus::BadTypeMismatch;
    if (error == OPC_E_BADRIGHTS) return UaStatus::BadNotWritable;
    if (error == OPC_E_RANGE) return UaStatus::BadOutOfRange;
    if (error == E_OUTOFMEMORY) return UaStatus::BadOutOfMemory;
    return UaStatus::BadInternalError;
}

TUaBackendValue ValueFromState(const TVariant& value, std::uint16_t quality, const TFileTime& time) {
    TUaBackendValue out;
    out.Value = UaVariantFromDa(value);
    out.Status = UaStatusFromQuality(quality);
    out.SourceTime = static_cast<TUaDateTime>(time.ToUInt64());
    return out;
}

// Whether an item names PLC memory (a device read asks the PLC) rather than a server or
// status variable (always answered from the server's own values).
bool IsPlcMemory(const std::string& itemId) {
    const TItemIdParts parts = ParseItemId(itemId);
    if (!parts.Valid || parts.PLCName == "sys") return false;
    for (const TVariableDef& def : StatusVariableDefs)
        if (SameTextIgnoringCase(parts.RawAddress, def.Name)) return false;
    return true;
}

// The browse name of a variable described by its item ID alone: what follows the PLC
// (or "Sys") part.
std::string NameOfItem(const std::string& itemId) {
    const std::size_t dot = itemId.find('.');
    return dot == std::string::npos ? itemId : itemId.substr(dot + 1);
}

// NodeIds are exact strings: of all the spellings the DA resolution accepts (any case,
// blanks around, a number of any width) only the one the browser gives is a NodeId. The
// canonical spelling of an item ID, empty when it does not resolve to one.
std::string CanonicalItemId(const std::string& id, TPLCCollection* plcs) {
    const TItemIdParts parts = ParseItemId(id);
    if (!parts.Valid) return {};
    const std::string lower = LowerAscii(parts.Trimmed);
    const std::size_t asc = lower.find(".asc."), arr = lower.find(".arr.");
    const std::string owner = parts.Trimmed.substr(0, parts.Trimmed.find('.'));
    std::string out;
    auto variable = [&](const auto& defs) {
        for (const TVariableDef& def : defs)
            if (SameTextIgnoringCase(parts.RawAddress, def.Name)) return out.append(def.Name), true;
        return false;
    };
    if (SameTextIgnoringCase(owner, "Sys")) {
        out = "Sys.";
        if (!variable(ServerVariableDefs)) return {};
    } else {
        THitachiPLC* plc = plcs ? plcs->FindPLC(owner) : nullptr;
        if (!plc) return {};
        out = plc->Name + ".";
        if (!variable(StatusVariableDefs)) {
            const auto parsed = ParseAddress(parts.Address);
            if (!parsed) return {};
            out.append(FormatAddress(parsed->Row, parsed->Address));
            if (parts.Signed) out.append("s");
        }
    }
    auto suffix = [&](std::size_t at, const char* name, long long count) {
        if (at != std::string::npos) out.append(name).append(std::to_string(count));
    };
    suffix(std::min(asc, arr), asc < arr ? ".asc." : ".arr.", asc < arr ? parts.AscCount : parts.ArrCount);
    if (asc != std::string::npos && arr != std::string::npos)
        suffix(std::max(asc, arr), asc < arr ? ".arr." : ".asc.",
               asc < arr ? parts.ArrCount : parts.AscCount);
    return out;
}

// The same for folders: each level spelled as the browser lists it (the PLC's name, "Sys",
// a memory type's name, its digit folders in capitals with lower-case "x").
bool IsCanonicalFolder(const std::vector<std::string>& parts, TPLCCollection* plcs) {
    if (parts.empty()) return false;
    if (parts[0] == "Sys") return parts.size() == 1;
    THitachiPLC* plc = plcs ? plcs->FindPLC(parts[0]) : nullptr;
    if (!plc || plc->Name != parts[0]) return false;
    if (parts.size() == 1) return true;
    if (parts[1] == "Sys") return parts.size() == 2;
    const MemoryTypeInfo* type = nullptr;
    for (const MemoryTypeInfo& info : plc->MemoryTypes)
        if (parts[1] == info.Name) type = &info;
    if (!type) return false;
    const std::string_view name = type->Name;
    for (std::size_t level = 2; level < parts.size(); ++level) {
        const std::string& part = parts[level];
        if (part.compare(0, name.size(), name) != 0) return false;
        std::size_t i = name.size();
        while (i < part.size() && std::isxdigit(static_cast<unsigned char>(part[i])) &&
               !std::islower(static_cast<unsigned char>(part[i])))
            ++i;
        const std::size_t digits = i - name.size();
        while (i < part.size() && part[i] == 'x') ++i;
        if (digits == 0 || i == name.size() + digits || i != part.size()) return false;
    }
    return true;
}

} // namespace

// The client's IOPCDataCallback sink of one group: forwards to its owner while it has one.
class TUaDaBackend::TSink : public TDataCallbackSink {
public:
    std::function<void(const std::vector<OPCHANDLE>&, const std::vector<TVariant>&,
                       const std::vector<std::uint16_t>&, const std::vector<TFileTime>&)>
        DataChange;
    std::function<void(std::uint32_t, const std::vector<OPCHANDLE>&, const std::vector<TVariant>&,
                       const std::vector<std::uint16_t>&, const std::vector<TFileTime>&)>
        ReadComplete;
    std::function<void(std::uint32_t, const std::vector<HRESULT>&)> WriteComplete;

    HRESULT OnDataChange(std::uint32_t, OPCHANDLE, HRESULT, HRESULT, const std::vector<OPCHANDLE>& clients,
                         const std::vector<TVariant>& values, const std::vector<std::uint16_t>& qualities,
                         const std::vector<TFileTime>& times, const std::vector<HRESULT>&) override {
        if (auto f = DataChange) f(clients, values, qualities, times); // a copy: the owner may go inside
        return S_OK;
    }
    HRESULT OnReadComplete(std::uint32_t transactionID, OPCHANDLE, HRESULT, HRESULT,
                           const std::vector<OPCHANDLE>& clients, const std::vector<TVariant>& values,
                           const std::vector<std::uint16_t>& qualities, const std::vector<TFileTime>& times,
                           const std::vector<HRESULT>&) override {
        if (auto f = ReadComplete) f(transactionID, clients, values, qualities, times);
        return S_OK;
    }
    HRESULT OnWriteComplete(std::uint32_t transactionID, OPCHANDLE, HRESULT, const std::vector<OPCHANDLE>&,
                            const std::vector<HRESULT>& errors) override {
        if (auto f = WriteComplete) f(transactionID, errors);
        return S_OK;
    }
};

// One OPC group of a server object with our sink advised; removes the group when it goes.
struct TUaDaBackend::TGroupLink {
    TComPtr<IOPCServer> Server;
    TComPtr<IUnknown> Group;
    TComPtr<IOPCItemMgt> Items;
    OPCHANDLE ServerHandle = 0;
    std::uint32_t Cookie = 0;
    TComPtr<IConnectionPoint> Point;

    HRESULT Create(const TComPtr<IOPCServer>& server, const std::string& name, bool active,
                   std::uint32_t rate, std::uint32_t& revised, TDataCallbackSink& sink) {
        Server = server;
        HRESULT hr = Server->AddGroup(name, active ? 1 : 0, rate, 0, nullptr, nullptr, 0, ServerHandle,
                                      revised, IOPCItemMgt::Iid, Group);
        if (Failed(hr)) return hr;
        Items = InterfaceOf<IOPCItemMgt>(Group);
        if (!Items) return E_NOINTERFACE;
        return sink.Advise(Group, Point, Cookie);
    }
    void Destroy() {
        if (Point) Point->Unadvise(Cookie);
        Point = nullptr;
        Items = nullptr;
        Group = nullptr;
        if (Server && ServerHandle) Server->RemoveGroup(ServerHandle, 1);
        Server = nullptr;
        ServerHandle = 0;
    }
};

class TUaDaBackend::TGroup : public IUaBackendGroup {
public:
    explicit TGroup(std::function<void(std::vector<TUaItemChange>)> onChanges)
        : OnChanges_(std::move(onChanges)) {}
    ~TGroup() override {
        Sink_->DataChange = nullptr;
        Link_.Destroy();
    }

    HRESULT Create(const TComPtr<IOPCServer>& server, const std::string& name, double requestedMs,
                   double& revisedMs) {
        Sink_->DataChange = [this](const std::vector<OPCHANDLE>& clients, const std::vector<TVariant>& values,
                                   const std::vector<std::uint16_t>& qualities,
                                   const std::vector<TFileTime>& times) {
            std::vector<TUaItemChange> changes;
            changes.reserve(clients.size());
            for (std::size_t i = 0; i < clients.size() && i < values.size() && i < qualities.size(); ++i)
                changes.push_back({clients[i], ValueFromState(values[i], qualities[i],
                                                              i < times.size() ? times[i] : TFileTime{})});
            if (!changes.empty()) OnChanges_(std::move(changes));
        };
        std::uint32_t revised = 0;
        const HRESULT hr = Link_.Create(server, name, true, ClampRate(requestedMs), revised, *Sink_);
        revisedMs = revised;
        return hr;
    }

    double SetUpdateRate(double requestedMs) override {
        auto state = InterfaceOf<IOPCGroupStateMgt>(Link_.Group);
        const std::uint32_t rate = ClampRate(requestedMs);
        std::uint32_t revised = 0;
        if (!state || Failed(state->SetState(&rate, revised, nullptr, nullptr, nullptr, nullptr, nullptr))) {
            std::int32_t active = 0, bias = 0;
            std::string name;
            float deadband = 0;
            std::uint32_t lcid = 0;
            OPCHANDLE client = 0, server = 0;
            if (state) state->GetState(revised, active, name, bias, deadband, lcid, client, server);
        }
        return revised;
    }
    void SetActive(bool active) override {
        auto state = InterfaceOf<IOPCGroupStateMgt>(Link_.Group);
        const std::int32_t flag = active ? 1 : 0;
        std::uint32_t revised = 0;
        if (state) state->SetState(nullptr, revised, &flag, nullptr, nullptr, nullptr, nullptr);
    }
    std::uint32_t AddItem(const std::string& itemId, std::uint32_t clientHandle, bool active,
                          TUaStatusCode& status) override {
        std::vector<TOPCItemResult> results;
        std::vector<HRESULT> errors;
        const HRESULT hr = Link_.Items->AddItems({ItemDef(itemId, clientHandle, active)}, results, errors);
        if (Failed(hr) || errors.empty() || Failed(errors[0])) {
            status = StatusFromItemError(errors.empty() ? hr : errors[0]);
            return 0;
        }
        // Server handles count from 0; the endpoint takes 0 for "failed", so shift by one.
        return results[0].ServerHandle + 1;
    }
    void RemoveItem(std::uint32_t handle) override {
        std::vector<HRESULT> errors;
        if (handle) Link_.Items->RemoveItems({handle - 1}, errors);
    }
    void SetItemActive(std::uint32_t handle, bool active) override {
        std::vector<HRESULT> errors;
        if (handle) Link_.Items->SetActiveState({handle - 1}, active ? 1 : 0, errors);
    }

private:
    static std::uint32_t ClampRate(double ms) {
        if (!(ms > 0)) return 0;
        return ms >= 0xFFFFFFF0u ? 0xFFFFFFF0u : static_cast<std::uint32_t>(ms);
    }

    std::function<void(std::vector<TUaItemChange>)> OnChanges_;
    TComPtr<TSink> Sink_ = MakeCom<TSink>();
    TGroupLink Link_;
};

class TUaDaBackend::TSession : public IUaBackendSession {
public:
    TSession(TUaDaBackend& owner, TComPtr<IOPCServer> server) : Owner_(owner), Server_(std::move(server)) {
        Browse_ = Server_.As<IOPCBrowseServerAddressSpace>();
        Sink_->ReadComplete = [this](std::uint32_t transactionID, const std::vector<OPCHANDLE>&,
                                     const std::vector<TVariant>& values,
                                     const std::vector<std::uint16_t>& qualities,
                                     const std::vector<TFileTime>& times) {
            auto it = Pending_.find(transactionID);
            if (it == Pending_.end()) return;
            TPendingRead read = std::move(it->second);
            Pending_.erase(it);
            RemoveHidden(read.Handle);
            TUaBackendValue value{{}, UaStatus::BadInternalError, 0};
            if (!values.empty() && !qualities.empty())
                value = ValueFromState(values[0], qualities[0], times.empty() ? TFileTime{} : times[0]);
            read.Done(value);
        };
        Sink_->WriteComplete = [this](std::uint32_t transactionID, const std::vector<HRESULT>& errors) {
            auto it = PendingWrites_.find(transactionID);
            if (it == PendingWrites_.end()) return;
            TPendingWrite write = std::move(it->second);
            PendingWrites_.erase(it);
            TUaStatusCode status = UaStatus::Good;
            if (errors.empty() || Failed(errors[0]))
                status = Withdraw(write) ? UaStatus::BadNoCommunication : UaStatus::BadNotWritable;
            RemoveHidden(write.Handle);
            write.Done(status);
        };
        Timer_ = Owner_.Context_.Timers->CreateTimer();
        Timer_->OnTimer = [this] { CheckPendingReads(); };
        Timer_->SetInterval(DeviceReadCheckMs);
    }
    ~TSession() override {
        Timer_->SetEnabled(false);
        // Pending answers must never reach the endpoint after this.
        Sink_->ReadComplete = nullptr;
        Sink_->WriteComplete = nullptr;
        Pending_.clear();
        PendingWrites_.clear();
        Hidden_.Destroy();
        Browse_ = nullptr;
        Server_ = nullptr; // the last reference: "Client %s disconnected at %s"
    }

    bool Start() {
        std::uint32_t revised = 0;
        return Succeeded(Hidden_.Create(Server_, "", true, HiddenGroupRateMs, revised, *Sink_));
    }

    // ---- browsing, on this server object's browser ----

    // Moves the browser to a folder; false when some level of it does not exist (now).
    bool MoveTo(const std::vector<std::string>& target) {
        if (!Browse_) return false;
        if (MoveFromHere(target)) return true;
        // The browser goes back to the root on its own when its PLC is deleted, so the
        // position we keep may be stale: walk the whole path from the root once more.
        for (int i = 0; i < MaxDepth && Succeeded(Browse_->ChangeBrowsePosition(OPC_BROWSE_UP, "")); ++i) {
        }
        Position_.clear();
        return MoveFromHere(target);
    }

    bool IsAbovePosition(const std::vector<std::string>& target) const {
        if (target.size() > Position_.size() || !std::equal(target.begin(), target.end(), Position_.begin()))
            return false;
        if (SameTextIgnoringCase(target[0], "Sys")) return true;
        // Memory-type folders close when browsing of PLC memory closes: those are walked.
        if (target.size() > 2 || (target.size() == 2 && !SameTextIgnoringCase(target[1], "Sys")))
            return false;
        TPLCCollection* plcs = Owner_.Context_.PLCs;
        return plcs && plcs->FindPLC(target[0]);
    }

    // Moves only as far as the kept position differs from the target.
    bool MoveFromHere(const std::vector<std::string>& target) {
        std::size_t common = 0;
        while (common < Position_.size() && common < target.size() && Position_[common] == target[common])
            ++common;
        while (Position_.size() > common) {
            if (Failed(Browse_->ChangeBrowsePosition(OPC_BROWSE_UP, ""))) {
                Position_.clear();
                common = 0;
                break;
            }
            Position_.pop_back();
        }
        if (target.size() > static_cast<std::size_t>(MaxDepth)) return false;
        for (std::size_t i = common; i < target.size(); ++i) {
            if (Failed(Browse_->ChangeBrowsePosition(OPC_BROWSE_DOWN, target[i]))) return false;
            Position_.push_back(target[i]);
        }
        return true;
    }

    bool Children(const std::string& folderId, std::vector<TUaBackendNode>& out) {
        const std::vector<std::string> parts = SplitFolder(folderId);
        if (!MoveTo(parts)) return false;
        TComPtr<IEnumString> names;
        if (Succeeded(Browse_->BrowseOPCItemIDs(OPC_BRANCH, "", VT_EMPTY, 0, names)) && names) {
            for (const std::string& name : AllNames(*names)) {
                TUaBackendNode node;
                node.Id = folderId == "/" ? std::string() : folderId;
                node.Id.append("/").append(name);
                node.IsFolder = true;
                node.Name = name;
                out.push_back(std::move(node));
            }
        }
        names = nullptr;
        if (Failed(Browse_->BrowseOPCItemIDs(OPC_LEAF, "", VT_EMPTY, 0, names)) || !names) return true;
        std::vector<std::string> leaves = AllNames(*names);
        std::vector<TOPCItemDef> defs;
        for (const std::string& leaf : leaves) {
            std::string itemId;
            Browse_->GetItemID(leaf, itemId);
            defs.push_back(ItemDef(itemId, 0, false));
        }
        if (defs.empty()) return true;
        std::vector<TOPCItemResult> results;
        std::vector<HRESULT> errors;
        Hidden_.Items->ValidateItems(defs, 0, results, errors);
        for (std::size_t i = 0; i < defs.size() && i < errors.size(); ++i) {
            if (Failed(errors[i])) continue;
            out.push_back(VariableNode(defs[i].ItemID, leaves[i], results[i]));
        }
        return true;
    }

    bool DescribeFolder(const std::string& folderId, TUaBackendNode& out) {
        const std::vector<std::string> parts = SplitFolder(folderId);
        if (parts.empty()) return false;
        // A PLC (or Sys) folder above the browser's position exists while its PLC does: no
        // moves (the parent of every listed folder is described right after listing it).
        if (!IsAbovePosition(parts) && !MoveTo(parts)) return false;
        // The browser takes names in any case; the node keeps the name as the id spells it.
        out.Id = folderId;
        out.IsFolder = true;
        out.Name = parts.back();
        return true;
    }

    bool DescribeItem(const std::string& itemId, TUaBackendNode& out) {
        std::vector<TOPCItemResult> results;
        std::vector<HRESULT> errors;
        const HRESULT hr = Hidden_.Items->ValidateItems({ItemDef(itemId, 0, false)}, 0, results, errors);
        if (Failed(hr) || errors.empty() || Failed(errors[0])) return false;
        out = VariableNode(itemId, NameOfItem(itemId), results[0]);
        return true;
    }

    // ---- IUaBackendSession ----

    void Read(const std::string& itemId, double maxAgeMs,
              std::function<void(const TUaBackendValue&)> done) override {
        TUaStatusCode status = 0;
        const OPCHANDLE handle = AddHidden(itemId, VT_EMPTY, status);
        if (status) return done({{}, status, 0});
        const TUaBackendValue cached = CacheRead(handle);
        if (maxAgeMs > 0 && (maxAgeMs >= UaCacheAge || IsYoungEnough(cached, maxAgeMs))) {
            RemoveHidden(handle);
            return done(cached);
        }
        if (IsPlcMemory(itemId)) {
            auto async = InterfaceOf<IOPCAsyncIO2>(Hidden_.Group);
            const std::uint32_t transactionID = NextTransaction_++;
            std::uint32_t cancelID = 0;
            std::vector<HRESULT> errors;
            if (async && Succeeded(async->Read({handle}, transactionID, cancelID, errors)) &&
                !errors.empty() && Succeeded(errors[0])) {
                const std::uint32_t bound = Owner_.DeviceReadBoundMs();
                Pending_[transactionID] = {handle, cancelID, Owner_.Context_.Clock->TickCount(), bound,
                                           std::move(done)};
                Timer_->SetEnabled(true);
                return;
            }
        }
        RemoveHidden(handle);
        done(cached);
    }

    void Write(const std::string& itemId, const TUaVariant& value,
               std::function<void(TUaStatusCode)> done) override {
        TVariant daValue;
        if (!DaVariantFromUa(value, daValue)) return done(UaStatus::BadTypeMismatch);
        // The item converts the value to its canonical type as for a DA client (a real
        // into a word is its rounded number, into a double word its bit pattern).
        TUaStatusCode status = 0;
        const OPCHANDLE handle = AddHidden(itemId, VT_EMPTY, status);
        if (status) return done(status);
        std::vector<HRESULT> errors;
        if (!IsPlcMemory(itemId)) {
            // Server and status variables have no PLC to wait for.
            auto sync = InterfaceOf<IOPCSyncIO>(Hidden_.Group);
            const HRESULT hr = sync ? sync->Write({handle}, {daValue}, errors) : E_NOINTERFACE;
            RemoveHidden(handle);
            return done(errors.empty()         ? StatusFromItemError(hr)
                        : Succeeded(errors[0]) ? UaStatus::Good
                                               : StatusFromItemError(errors[0]));
        }
        // The asynchronous write completes when the driver confirmed the value, or when the
        // PLC refused it or stopped answering.
        auto async = InterfaceOf<IOPCAsyncIO2>(Hidden_.Group);
        const std::uint32_t transactionID = NextTransaction_++;
        std::uint32_t cancelID = 0;
        const HRESULT hr =
            async ? async->Write({handle}, {daValue}, transactionID, cancelID, errors) : E_NOINTERFACE;
        if (Failed(hr) || errors.empty() || Failed(errors[0])) {
            // A refused single-item write gives no per-item error (null out-arrays on
            // failure); the synchronous write refuses it the same way and tells why.
            if (errors.empty()) {
                if (auto sync = InterfaceOf<IOPCSyncIO>(Hidden_.Group))
                    sync->Write({handle}, {daValue}, errors);
            }
            RemoveHidden(handle);
            return done(StatusFromItemError(errors.empty() || Succeeded(errors[0]) ? hr : errors[0]));
        }
        TPendingWrite& pending = PendingWrites_[transactionID];
        pending = {handle,          cancelID, Owner_.Context_.Clock->TickCount(), Owner_.DeviceReadBoundMs(),
                   std::move(done), {}};
        ForEachWrittenPart(
            handle, [&](THitachiLocation& part, bool) { pending.Serials.push_back(part.WriteSerial); });
        Timer_->SetEnabled(true);
    }

    std::unique_ptr<IUaBackendGroup>
    CreateGroup(double requestedRateMs, double& revisedRateMs,
                std::function<void(std::vector<TUaItemChange>)> onChanges) override {
        auto group = std::make_unique<TGroup>(std::move(onChanges));
        // Group names are generated by the server object (an empty name asks for one).
        if (Failed(group->Create(Server_, "", requestedRateMs, revisedRateMs))) return nullptr;
        return group;
    }

private:
    // Deeper than any path of the browse tree (root, PLC, memory type, its digits).
    static constexpr int MaxDepth = 16;

    struct TPendingWrite {
        OPCHANDLE Handle = 0;
        std::uint32_t CancelID = 0;
        std::uint32_t StartTick = 0;
        std::uint32_t BoundMs = 0;
        std::function<void(TUaStatusCode)> Done;
        std::vector<std::uint32_t> Serials; // of the written locations once the value was stored
    };
    struct TPendingRead {
        OPCHANDLE Handle = 0;
        std::uint32_t CancelID = 0;
        std::uint32_t StartTick = 0;
        std::uint32_t BoundMs = 0;
        std::function<void(const TUaBackendValue&)> Done;
    };

    TUaBackendNode VariableNode(const std::string& itemId, const std::string& name,
                                const TOPCItemResult& result) {
        TUaBackendNode node;
        node.Id = itemId;
        node.Name = name;
        const VARTYPE canonical = result.CanonicalDataType;
        node.DataType = UaDataTypeFromVt(canonical & VT_TYPEMASK);
        if (canonical & VT_ARRAY) {
            node.ValueRank = 1;
            const TItemIdParts parts = ParseItemId(itemId);
            node.ArrayLength = parts.ArrCount > 0 ? static_cast<std::uint32_t>(parts.ArrCount) : 0;
        }
        node.Writable = (result.AccessRights & OPC_WRITEABLE) != 0;
        return node;
    }

    OPCHANDLE AddHidden(const std::string& itemId, VARTYPE requested, TUaStatusCode& status) {
        std::vector<TOPCItemResult> results;
        std::vector<HRESULT> errors;
        const HRESULT hr = Hidden_.Items->AddItems({ItemDef(itemId, 0, true, requested)}, results, errors);
        if (Failed(hr) || errors.empty() || Failed(errors[0])) {
            status = StatusFromItemError(errors.empty() ? hr : errors[0]);
            return 0;
        }
        return results[0].ServerHandle;
    }
    void RemoveHidden(OPCHANDLE handle) {
        std::vector<HRESULT> errors;
        if (Hidden_.Items) Hidden_.Items->RemoveItems({handle}, errors);
    }
    // A cached value never read from the PLC (no time) cannot satisfy any maxAge.
    bool IsYoungEnough(const TUaBackendValue& value, double maxAgeMs) const {
        if (value.SourceTime == 0) return false;
        const auto now = static_cast<TUaDateTime>(
            DateTimeToFileTime(Owner_.Context_.Clock->Now(), Owner_.Context_.Clock->TimeZoneBiasMinutes()));
        return static_cast<double>(now - value.SourceTime) <= maxAgeMs * 10000.0;
    }
    TUaBackendValue CacheRead(OPCHANDLE handle) {
        auto sync = InterfaceOf<IOPCSyncIO>(Hidden_.Group);
        std::vector<TOPCItemState> states;
        std::vector<HRESULT> errors;
        if (!sync || Failed(sync->Read(OPC_DS_CACHE, {handle}, states, errors)) || states.empty() ||
            (!errors.empty() && Failed(errors[0])))
            return {{}, UaStatus::BadInternalError, 0};
        return ValueFromState(states[0].Value, states[0].Quality, states[0].TimeStamp);
    }

    // A device read whose locations are never polled would wait for ever: past the bound
    // it is cancelled and answered with the value then held.
    void CheckPendingReads() {
        const std::uint32_t now = Owner_.Context_.Clock->TickCount();
        std::vector<std::uint32_t> expired;
        for (const auto& [id, read] : Pending_)
            if (now - read.StartTick >= read.BoundMs) expired.push_back(id);
        auto async = InterfaceOf<IOPCAsyncIO2>(Hidden_.Group);
        for (std::uint32_t id : expired) {
            auto it = Pending_.find(id);
            if (it == Pending_.end()) continue;
            TPendingRead read = std::move(it->second);
            Pending_.erase(it);
            if (async) async->Cancel2(read.CancelID);
            TUaBackendValue value = CacheRead(read.Handle);
            RemoveHidden(read.Handle);
            read.Done(value);
        }
        std::vector<std::uint32_t> late;
        for (const auto& [id, write] : PendingWrites_)
            if (now - write.StartTick >= write.BoundMs) late.push_back(id);
        for (std::uint32_t id : late) {
            TPendingWrite write = std::move(PendingWrites_.at(id));
            PendingWrites_.erase(id);
            if (async) async->Cancel2(write.CancelID);
            Withdraw(write);
            RemoveHidden(write.Handle);
            write.Done(UaStatus::BadTimeout);
        }
        if (Pending_.empty() && PendingWrites_.empty()) Timer_->SetEnabled(false);
    }

    // A write the client was told failed must not reach the PLC later: the locations drop
    // the value still waiting to be sent (the next read restores what the PLC holds). A
    // value stored since (this client's next write, another client's) stays pending: its
    // writer waits for it. Returns whether the PLC stopped answering (rather than refused).
    bool Withdraw(const TPendingWrite& write) {
        bool faulty = false;
        std::size_t n = 0;
        ForEachWrittenPart(write.Handle, [&](THitachiLocation& part, bool element) {
            if (element) faulty = faulty || part.IsFaulty();
            if (n < write.Serials.size() && write.Serials[n++] != part.WriteSerial) return;
            part.WritePending = false;
            part.WriteRequested = false;
        });
        return faulty;
    }

    // The locations a write of the item stores its value in: its elements and the halves
    // of a double word (the driver writes those).
    template <typename F> void ForEachWrittenPart(OPCHANDLE handle, F&& each) {
        auto* group = dynamic_cast<TOPCGroup*>(Hidden_.Group.Get());
        const TOPCItem* item = group ? group->Items().Find(handle) : nullptr;
        for (int i = 0; item && i < item->CoveredCount(); ++i) {
            THitachiLocation* l = item->Element(i);
            if (!l) continue;
            each(*l, true);
            if (!l->HasBothHalves()) continue;
            each(*l->HighLink, false);
            each(*l->LowLink, false);
        }
    }

    TUaDaBackend& Owner_;
    TComPtr<IOPCServer> Server_;
    TComPtr<IOPCBrowseServerAddressSpace> Browse_;
    TComPtr<TSink> Sink_ = MakeCom<TSink>();
    TGroupLink Hidden_;
    std::vector<std::string> Position_;
    std::map<std::uint32_t, TPendingRead> Pending_;
    std::map<std::uint32_t, TPendingWrite> PendingWrites_;
    std::uint32_t NextTransaction_ = 1;
    std::unique_ptr<ITimer> Timer_;
};

TUaDaBackend::TUaDaBackend(TServerContext& context, IClassFactory& factory)
    : Context_(context), Factory_(factory) {}

TUaDaBackend::~TUaDaBackend() = default;

std::uint32_t TUaDaBackend::DeviceReadBoundMs() const {
    int slowest = DefaultTimeOut;
    if (TPLCCollection* plcs = Context_.PLCs)
        for (int i = 0; i < plcs->Count(); ++i) slowest = std::max(slowest, plcs->PLCByIndex(i).TimeOut);
    return 2u * static_cast<std::uint32_t>(slowest) + DeviceReadMarginMs;
}

std::unique_ptr<IUaBackendSession> TUaDaBackend::CreateSession(const std::string& clientName) {
    TComPtr<IUnknown> unknown;
    if (Failed(Factory_.CreateInstance(nullptr, IOPCServer::Iid, unknown))) return nullptr;
    auto server = InterfaceOf<IOPCServer>(unknown);
    auto common = InterfaceOf<IOPCCommon>(unknown);
    if (!server || !common) return nullptr;
    if (!clientName.empty()) common->SetClientName(clientName);
    auto session = std::make_unique<TSession>(*this, std::move(server));
    if (!session->Start()) return nullptr;
    return session;
}

bool TUaDaBackend::Children(const std::string& folderId, std::vector<TUaBackendNode>& out,
                            IUaBackendSession* session) {
    auto* own = dynamic_cast<TSession*>(session);
    if (!own || folderId.empty() || folderId[0] != '/') return false;
    return own->Children(folderId, out);
}

bool TUaDaBackend::Describe(const std::string& id, TUaBackendNode& out, IUaBackendSession* session) {
    auto* own = dynamic_cast<TSession*>(session);
    if (!own || id.empty()) return false;
    if (id[0] == '/')
        return IsCanonicalFolder(SplitFolder(id), Context_.PLCs) && own->DescribeFolder(id, out);
    return CanonicalItemId(id, Context_.PLCs) == id && own->DescribeItem(id, out);
}

std::string TUaDaBackend::ParentOf(const std::string& id) {
    if (id.empty()) return "/";
    if (id[0] == '/') {
        const std::vector<std::string> parts = SplitFolder(id);
        return JoinFolder(parts, parts.empty() ? 0 : parts.size() - 1);
    }
    const std::size_t dot = id.find('.');
    if (dot == std::string::npos) return "/";
    const std::string owner = TrimText(id.substr(0, dot));
    if (SameTextIgnoringCase(owner, "Sys")) return "/Sys";
    TPLCCollection* plcs = Context_.PLCs;
    THitachiPLC* plc = plcs ? plcs->FindPLC(owner) : nullptr;
    if (!plc) return "/";
    const std::string plcFolder = "/" + plc->Name;
    std::string address = id.substr(dot + 1);
    address = address.substr(0, address.find('.'));
    for (const TVariableDef& def : StatusVariableDefs)
        if (SameTextIgnoringCase(address, def.Name)) return plcFolder + "/Sys";
    auto parsed = ParseAddress(address);
    if (!parsed && !address.empty() && (address.back() == 's' || address.back() == 'S')) {
        address.pop_back();
        parsed = ParseAddress(address);
    }
    const TSettings& settings = Context_.Settings;
    if (!parsed || !settings.AllowBrowsing) return plcFolder;
    // The digit folders the browser walks through to reach this address.
    const MemoryTypeInfo& info = plc->MemoryTypes[static_cast<std::size_t>(parsed->Row)];
    const std::string text = FormatAddress(parsed->Row, parsed->Address);
    const std::string name = info.Name;
    const int total = TBrowseObject::TotalDigits(info);
    if (text.size() != name.size() + static_cast<std::size_t>(total)) return plcFolder;
    // Appended piece by piece: GCC 12 at -O3 misreads chained string temporaries
    // (-Wrestrict).
    std::string folder = plcFolder;
    folder.append("/").append(name);
    for (int depth = 0; depth < total - 1; ++depth) {
        folder.append("/");
        folder.append(text, 0, name.size() + static_cast<std::size_t>(depth) + 1);
        folder.append(static_cast<std::size_t>(total - depth - 1), 'x');
    }
    return folder;
}

} // namespace dravon
