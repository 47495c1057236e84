#include "ua/UaMemoryBackend.h"

#include "app/Platform.h"
#include "app/ServerContext.h"
#include "app/SessionLog.h"
#include "app/TextFormat.h"
#include "app/TimeDate.h"
#include "ua/UaNodeIds.h"
#include "ua/UaStatusCodes.h"

#include <cmath>

namespace dravon {

namespace {
std::uint32_t DataTypeOf(TUaType type) {
    switch (type) {
    case TUaType::Boolean: return UaId::Boolean;
    case TUaType::Int16: return UaId::Int16;
    case TUaType::UInt16: return UaId::UInt16;
    case TUaType::Int32: return UaId::Int32;
    case TUaType::UInt32: return UaId::UInt32;
    case TUaType::Float: return UaId::Float;
    case TUaType::Double: return UaId::Double;
    case TUaType::String: return UaId::String;
    case TUaType::DateTime: return UaId::DateTime;
    default: return UaId::BaseDataType;
    }
}

// Converts a written value to the variable's type the way a requested-type conversion
// would: numbers convert when they fit, anything else is a type mismatch.
bool ConvertTo(TUaType target, const TUaVariant& in, TUaVariant& out) {
    if (in.IsArray || in.Values.size() != 1) return false;
    const TUaScalar& v = in.Values.front();
    double number = 0;
    if (auto* b = std::get_if<bool>(&v))
        number = *b ? 1 : 0;
    else if (auto* i = std::get_if<std::int64_t>(&v))
        number = static_cast<double>(*i);
    else if (auto* u = std::get_if<std::uint64_t>(&v))
        number = static_cast<double>(*u);
    else if (auto* d = std::get_if<double>(&v))
        number = *d;
    else if (target == TUaType::String && std::holds_alternative<std::string>(v)) {
        out = TUaVariant::Scalar(TUaType::String, v);
        return true;
    } else {
        return false;
    }
    if (!std::isfinite(number)) return false;
    auto inRange = [&](double lo, double hi) {
        return number >= lo && number <= hi && number == std::floor(number);
    };
    switch (target) {
    case TUaType::Boolean: out = TUaVariant::Scalar(TUaType::Boolean, number != 0); return true;
    case TUaType::UInt16:
        if (!inRange(0, 65535)) return false;
        out = TUaVariant::Scalar(target, static_cast<std::uint64_t>(number));
        return true;
    case TUaType::Int16:
        if (!inRange(-32768, 32767)) return false;
        out = TUaVariant::Scalar(target, static_cast<std::int64_t>(number));
        return true;
    case TUaType::UInt32:
        if (!inRange(0, 4294967295.0)) return false;
        out = TUaVariant::Scalar(target, static_cast<std::uint64_t>(number));
        return true;
    case TUaType::Int32:
        if (!inRange(-2147483648.0, 2147483647.0)) return false;
        out = TUaVariant::Scalar(target, static_cast<std::int64_t>(number));
        return true;
    case TUaType::Float:
    case TUaType::Double: out = TUaVariant::Scalar(target, number); return true;
    default: return false;
    }
}
} // namespace

class TUaMemoryBackend::TGroup : public IUaBackendGroup {
public:
    TGroup(TUaMemoryBackend& owner, double rate, std::function<void(std::vector<TUaItemChange>)> onChanges)
        : Owner_(owner), OnChanges_(std::move(onChanges)), Timer_(owner.Context_.Timers->CreateTimer()) {
        ++Owner_.GroupCount;
        Timer_->OnTimer = [this] { Cycle(); };
        SetUpdateRate(rate);
        Timer_->SetEnabled(true);
    }
    ~TGroup() override {
        Timer_->SetEnabled(false);
        --Owner_.GroupCount;
    }
    double SetUpdateRate(double requested) override {
        Rate_ = ReviseRate(requested);
        Timer_->SetInterval(static_cast<std::uint32_t>(Rate_));
        return Rate_;
    }
    void SetActive(bool active) override { Active_ = active; }
    std::uint32_t AddItem(const std::string& itemId, std::uint32_t clientHandle, bool active,
                          TUaStatusCode& status) override {
        if (!Owner_.Find(itemId)) {
            status = UaStatus::BadNodeIdUnknown;
            return 0;
        }
        std::uint32_t handle = NextHandle_++;
        Items_[handle] = {itemId, clientHandle, active, std::nullopt};
        return handle;
    }
    void RemoveItem(std::uint32_t handle) override { Items_.erase(handle); }
    void SetItemActive(std::uint32_t handle, bool active) override {
        auto it = Items_.find(handle);
        if (it == Items_.end()) return;
        it->second.Active = active;
        if (active) it->second.Last.reset(); // a reactivated item reports its value again
    }

private:
    struct TItem {
        std::string ItemId;
        std::uint32_t ClientHandle;
        bool Active;
        std::optional<TUaBackendValue> Last;
    };
    void Cycle() {
        if (!Active_) return;
        std::vector<TUaItemChange> changes;
        for (auto& [handle, item] : Items_) {
            if (!item.Active) continue;
            const TVariable* v = Owner_.Find(item.ItemId);
            if (!v) continue;
            if (item.Last && item.Last->Value == v->Value.Value && item.Last->Status == v->Value.Status)
                continue;
            item.Last = v->Value;
            changes.push_back({item.ClientHandle, v->Value});
        }
        if (!changes.empty()) OnChanges_(std::move(changes));
    }

    TUaMemoryBackend& Owner_;
    std::function<void(std::vector<TUaItemChange>)> OnChanges_;
    std::unique_ptr<ITimer> Timer_;
    double Rate_ = 1000;
    bool Active_ = true;
    std::map<std::uint32_t, TItem> Items_;
    std::uint32_t NextHandle_ = 1;
};

class TUaMemoryBackend::TSession : public IUaBackendSession {
public:
    TSession(TUaMemoryBackend& owner, std::string name) : Owner_(owner), Name_(std::move(name)) {
        if (Name_.empty()) Name_ = "Client name unknown";
        ++Owner_.SessionCount;
        Owner_.SessionNames.push_back(Name_);
        Log(FormatText("Client connected at %s", {TimeDateText(Owner_.Context_.Clock->Now())}));
        Log(FormatText("Client identifies itself as %s", {Name_}));
    }
    ~TSession() override {
        *Alive_ = false;
        --Owner_.SessionCount;
        Log(FormatText("Client %s disconnected at %s", {Name_, TimeDateText(Owner_.Context_.Clock->Now())}));
    }
    void Read(const std::string& itemId, double maxAgeMs,
              std::function<void(const TUaBackendValue&)> done) override {
        const TVariable* v = Owner_.Find(itemId);
        TUaBackendValue value = v ? v->Value : TUaBackendValue{{}, UaStatus::BadNodeIdUnknown, 0};
        // Memory values are always current: only maxAge 0 takes the device-read path.
        if (maxAgeMs > 0) {
            done(value);
            return;
        }
        // A device read completes from the loop, after the request that asked for it.
        std::weak_ptr<bool> alive = Alive_;
        Owner_.Context_.Loop->Post([this, alive, itemId, done = std::move(done)] {
            if (alive.expired() || !*alive.lock()) return;
            const TVariable* v = Owner_.Find(itemId);
            done(v ? v->Value : TUaBackendValue{{}, UaStatus::BadNodeIdUnknown, 0});
        });
    }
    void Write(const std::string& itemId, const TUaVariant& value,
               std::function<void(TUaStatusCode)> done) override {
        auto it = Owner_.Variables_.find(itemId);
        if (it == Owner_.Variables_.end()) return done(UaStatus::BadNodeIdUnknown);
        if (!it->second.Node.Writable) return done(UaStatus::BadNotWritable);
        TUaVariant converted;
        if (!ConvertTo(it->second.Value.Value.Type, value, converted)) return done(UaStatus::BadTypeMismatch);
        // A refusal set for the item stands for the PLC's answer, which comes later.
        if (TUaStatusCode refusal = it->second.WriteRefusal) {
            std::weak_ptr<bool> alive = Alive_;
            Owner_.Context_.Loop->Post([alive, refusal, done = std::move(done)] {
                if (!alive.expired() && *alive.lock()) done(refusal);
            });
            return;
        }
        Owner_.SetValue(itemId, converted, 0);
        done(UaStatus::Good);
    }
    std::unique_ptr<IUaBackendGroup>
    CreateGroup(double requested, double& revised,
                std::function<void(std::vector<TUaItemChange>)> onChanges) override {
        auto group = std::make_unique<TGroup>(Owner_, requested, std::move(onChanges));
        revised = ReviseRate(requested);
        return group;
    }

private:
    void Log(const std::string& line) {
        if (Owner_.Context_.Log) Owner_.Context_.Log->Add(line, false);
    }
    TUaMemoryBackend& Owner_;
    std::string Name_;
    std::shared_ptr<bool> Alive_ = std::make_shared<bool>(true);
};

TUaMemoryBackend::TUaMemoryBackend(TServerContext& context) : Context_(context) {}

TUaMemoryBackend::~TUaMemoryBackend() { *Alive_ = false; }

double TUaMemoryBackend::ReviseRate(double requested) {
    if (!(requested > 25)) return 25;
    return std::ceil(requested / 25) * 25;
}

TUaDateTime TUaMemoryBackend::Now() const {
    return static_cast<TUaDateTime>(
        DateTimeToFileTime(Context_.Clock->Now(), Context_.Clock->TimeZoneBiasMinutes()));
}

std::string TUaMemoryBackend::AddFolder(const std::string& parent, const std::string& name) {
    std::string id = (parent == "/" ? std::string() : parent) + "/" + name;
    TUaBackendNode node;
    node.Id = id;
    node.IsFolder = true;
    node.Name = name;
    Folders_[id] = node;
    ChildIds_[parent].push_back(id);
    Parents_[id] = parent;
    return id;
}

void TUaMemoryBackend::AddVariable(const std::string& parent, const std::string& itemId,
                                   const std::string& name, TUaVariant value, bool writable) {
    TVariable v;
    v.Node.Id = itemId;
    v.Node.Name = name;
    v.Node.DataType = DataTypeOf(value.Type);
    v.Node.ValueRank = value.IsArray ? 1 : -1;
    v.Node.ArrayLength = value.IsArray ? static_cast<std::uint32_t>(value.Values.size()) : 0;
    v.Node.Writable = writable;
    v.Value.Value = std::move(value);
    v.Value.SourceTime = Now();
    Variables_[itemId] = std::move(v);
    ChildIds_[parent].push_back(itemId);
    Parents_[itemId] = parent;
}

void TUaMemoryBackend::SetValue(const std::string& itemId, TUaVariant value, TUaStatusCode status) {
    auto it = Variables_.find(itemId);
    if (it == Variables_.end()) return;
    it->second.Value.Value = std::move(value);
    it->second.Value.Status = status;
    it->second.Value.SourceTime = Now();
}

void TUaMemoryBackend::SetStatus(const std::string& itemId, TUaStatusCode status) {
    auto it = Variables_.find(itemId);
    if (it != Variables_.end()) it->second.Value.Status = status;
}

void TUaMemoryBackend::SetWriteRefusal(const std::string& itemId, TUaStatusCode status) {
    auto it = Variables_.find(itemId);
    if (it != Variables_.end()) it->second.WriteRefusal = status;
}

const TUaMemoryBackend::TVariable* TUaMemoryBackend::Find(const std::string& itemId) const {
    auto it = Variables_.find(itemId);
    return it == Variables_.end() ? nullptr : &it->second;
}

bool TUaMemoryBackend::Children(const std::string& folderId, std::vector<TUaBackendNode>& out,
                                IUaBackendSession*) {
    auto it = ChildIds_.find(folderId);
    if (it == ChildIds_.end()) return folderId == "/" || Folders_.count(folderId) > 0;
    for (const auto& id : it->second) {
        TUaBackendNode node;
        if (Describe(id, node, nullptr)) out.push_back(node);
    }
    return true;
}

bool TUaMemoryBackend::Describe(const std::string& id, TUaBackendNode& out, IUaBackendSession*) {
    if (auto f = Folders_.find(id); f != Folders_.end()) {
        out = f->second;
        return true;
    }
    if (auto v = Variables_.find(id); v != Variables_.end()) {
        out = v->second.Node;
        return true;
    }
    return false;
}

std::string TUaMemoryBackend::ParentOf(const std::string& id) {
    auto it = Parents_.find(id);
    return it == Parents_.end() ? std::string("/") : it->second;
}

std::unique_ptr<IUaBackendSession> TUaMemoryBackend::CreateSession(const std::string& clientName) {
    return std::make_unique<TSession>(*this, clientName);
}

} // namespace dravon
