#include "mqtt/SparkplugEdgeNode.h"

#include "app/ServerContext.h"
#include "app/SessionLog.h"
#include "app/TextFormat.h"
#include "opc/DataCallbackSink.h"
#include "opc/OPCErrorStrings.h"
#include "opc/OPCInterfaces.h"
#include "plc/HitachiPLC.h"
#include "plc/ItemId.h"
#include "plc/PLCCollection.h"

#include <cmath>
#include <map>

namespace dravon {

namespace {

constexpr const char* Namespace = "spBv1.0";
// FILETIME of 1970-01-01 in 100 ns units.
constexpr std::uint64_t UnixEpochFileTime = 116444736000000000ull;

std::uint64_t FileTimeToUnixMs(const TFileTime& time) {
    const std::uint64_t value = time.ToUInt64();
    return value > UnixEpochFileTime ? (value - UnixEpochFileTime) / 10000 : 0;
}

// Sparkplug ids are topic levels: no level separators or wildcards in them.
std::string TopicLevel(std::string text) {
    for (char& c : text)
        if (c == '/' || c == '+' || c == '#') c = '_';
    return text;
}

std::uint32_t SparkplugTypeOfVt(VARTYPE vt) {
    switch (vt) {
    case VT_BOOL: return SparkplugType::Boolean;
    case VT_I2: return SparkplugType::Int16;
    case VT_UI2: return SparkplugType::UInt16;
    case VT_I4: return SparkplugType::Int32;
    case VT_UI4: return SparkplugType::UInt32;
    case VT_R4: return SparkplugType::Float;
    case VT_R8: return SparkplugType::Double;
    case VT_BSTR: return SparkplugType::String;
    default: return SparkplugType::Unknown;
    }
}

VARTYPE VtOfSparkplugType(std::uint32_t type) {
    switch (type) {
    case SparkplugType::Boolean: return VT_BOOL;
    case SparkplugType::Int16: return VT_I2;
    case SparkplugType::UInt16: return VT_UI2;
    case SparkplugType::Int32: return VT_I4;
    case SparkplugType::UInt32: return VT_UI4;
    case SparkplugType::Float: return VT_R4;
    case SparkplugType::Double: return VT_R8;
    case SparkplugType::String: return VT_BSTR;
    default: return VT_EMPTY;
    }
}

// The value field a consumer reads for the datatype: signed types as the two's complement
// in int_value, UInt32 in long_value.
TSparkplugValue SparkplugValueOf(const TVariant& value, std::uint32_t type) {
    if (value.Vt() != VtOfSparkplugType(type)) return std::monostate{};
    switch (type) {
    case SparkplugType::Boolean: return value.BoolValue();
    case SparkplugType::Int16:
    case SparkplugType::Int32: return static_cast<std::uint32_t>(static_cast<std::int32_t>(value.IntValue()));
    case SparkplugType::UInt16: return static_cast<std::uint32_t>(value.IntValue());
    case SparkplugType::UInt32: return static_cast<std::uint64_t>(value.UIntValue() & 0xFFFFFFFFu);
    case SparkplugType::Float: return value.R4Value();
    case SparkplugType::Double: return value.RealValue();
    case SparkplugType::String: return value.Text();
    default: return std::monostate{};
    }
}

// A commanded value as the OPC value the item write converts; nothing when there is none.
std::optional<TVariant> VariantOf(const TSparkplugValue& value, std::uint32_t type) {
    const bool isSigned = type == SparkplugType::Int8 || type == SparkplugType::Int16 ||
                          type == SparkplugType::Int32 || type == SparkplugType::Int64;
    if (auto v = std::get_if<std::uint32_t>(&value))
        return isSigned ? TVariant::I4(static_cast<std::int32_t>(*v)) : TVariant::UI4(*v);
    if (auto v = std::get_if<std::uint64_t>(&value))
        return isSigned ? TVariant::I8(static_cast<std::int64_t>(*v)) : TVariant::UI8(*v);
    if (auto v = std::get_if<float>(&value)) return TVariant::R4(*v);
    if (auto v = std::get_if<double>(&value)) return TVariant::R8(*v);
    if (auto v = std::get_if<bool>(&value)) return TVariant::Bool(*v);
    if (auto v = std::get_if<std::string>(&value)) return TVariant::Bstr(*v);
    return std::nullopt;
}

std::optional<double> NumberOf(const TVariant& value) {
    switch (value.Vt()) {
    case VT_BOOL:
    case VT_I2:
    case VT_UI2:
    case VT_I4:
    case VT_UI4: return static_cast<double>(value.IntValue());
    case VT_R4:
    case VT_R8: return value.RealValue();
    default: return std::nullopt;
    }
}

bool IsBad(std::uint16_t quality) { return (quality & 0xC0) == 0; }

} // namespace

struct TSparkplugEdgeNode::TMetric {
    std::string ItemId;
    std::string Name;
    std::uint64_t Alias = 0;
    std::uint32_t DataType = SparkplugType::Unknown;
    double Deadband = 0;
    OPCHANDLE Handle = 0;
    // The latest state from the group, and what was last published.
    TVariant Value;
    std::uint16_t Quality = 0;
    TFileTime Time;
    TVariant SentValue;
    std::uint16_t SentQuality = 0;
    bool Sent = false;
};

// The client's IOPCDataCallback sink of one device's group.
class TSparkplugEdgeNode::TSink : public TDataCallbackSink {
public:
    std::function<void(const std::vector<OPCHANDLE>&, const std::vector<TVariant>&,
                       const std::vector<std::uint16_t>&, const std::vector<TFileTime>&)>
        Changed;

    HRESULT OnDataChange(std::uint32_t, OPCHANDLE, HRESULT, HRESULT, const std::vector<OPCHANDLE>& clients,
                         const std::vector<TVariant>& values, const std::vector<std::uint16_t>& qualities,
                         const std::vector<TFileTime>& times, const std::vector<HRESULT>&) override {
        if (auto f = Changed) f(clients, values, qualities, times);
        return S_OK;
    }
};

struct TSparkplugEdgeNode::TDevice {
    std::string Name;
    bool IsPlc = true;
    std::vector<TMetric> Metrics;
    bool Born = false;
    TComPtr<TSink> Sink = MakeCom<TSink>();
    TComPtr<IUnknown> Group;
    TComPtr<IOPCItemMgt> Items;
    TComPtr<IConnectionPoint> Point;
    OPCHANDLE ServerHandle = 0;
    std::uint32_t Cookie = 0;
};

struct TSparkplugEdgeNode::TServerLink {
    TComPtr<IOPCServer> Server;
};

TSparkplugEdgeNode::TSparkplugEdgeNode(TServerContext& context, IClassFactory& factory, IMqttClient& client,
                                       TMqttConfig config, const std::string& hostName)
    : Context_(context), Factory_(factory), Client_(client), Config_(std::move(config)) {
    Config_.Sanitize();
    EdgeNodeId_ = TopicLevel(Config_.EdgeNodeId.empty() ? hostName : Config_.EdgeNodeId);
    if (EdgeNodeId_.empty()) EdgeNodeId_ = "dravon";
    Config_.GroupId = TopicLevel(Config_.GroupId);
}

TSparkplugEdgeNode::~TSparkplugEdgeNode() { Stop(); }

std::string TSparkplugEdgeNode::Topic(const std::string& type, const std::string& device) const {
    std::string topic = std::string(Namespace) + "/" + Config_.GroupId + "/" + type + "/" + EdgeNodeId_;
    if (!device.empty()) topic.append("/").append(device);
    return topic;
}

std::vector<std::string> TSparkplugEdgeNode::DeviceNames() const {
    std::vector<std::string> names;
    for (const auto& device : Devices_) names.push_back(device->Name);
    return names;
}

void TSparkplugEdgeNode::Log(const std::string& line) {
    if (Context_.Log) Context_.Log->Add(line, false);
}

std::uint64_t TSparkplugEdgeNode::NowMs() const { return FileTimeToUnixMs(FileTimeNow(*Context_.Clock)); }

bool TSparkplugEdgeNode::Start() {
    if (State_ != TState::Idle) return true;
    const std::optional<TBrokerAddress> broker = ParseBrokerUrl(Config_.BrokerUrl);
    if (!broker) {
        Log(FormatText("MQTT broker URL %s is not usable (mqtt://host:port or mqtts://host:port)",
                       {Config_.BrokerUrl}));
        return false;
    }
    Options_ = {};
    Options_.Host = broker->Host;
    Options_.Port = broker->Port;
    Options_.Tls = broker->Tls;
    Options_.CaFile = Config_.CaFile;
    Options_.CertFile = Config_.CertFile;
    Options_.KeyFile = Config_.KeyFile;
    Options_.ClientId = Config_.ClientId.empty() ? "dravon-" + EdgeNodeId_ : Config_.ClientId;
    Options_.UserName = Config_.UserName;
    if (!Config_.PasswordFile.empty()) {
        std::string reason;
        std::optional<std::string> password = ReadSecretFile(Config_.PasswordFile, reason);
        if (!password) {
            Log("MQTT publishing is off: " + reason);
            return false;
        }
        Options_.Password = std::move(*password);
    }
    Options_.KeepAliveSeconds = static_cast<std::uint16_t>(Config_.KeepAliveSeconds);
    Options_.WillTopic = Topic("NDEATH");

    TComPtr<IUnknown> unknown;
    if (Failed(Factory_.CreateInstance(nullptr, IOPCServer::Iid, unknown))) return false;
    Server_ = std::make_unique<TServerLink>();
    Server_->Server = InterfaceOf<IOPCServer>(unknown);
    if (auto common = InterfaceOf<IOPCCommon>(unknown))
        common->SetClientName("MQTT edge node " + EdgeNodeId_);
    AddDevices();

    Client_.OnConnected = [this] { Connected(); };
    Client_.OnDisconnected = [this](const std::string& reason) { Disconnected(reason); };
    Client_.OnMessage = [this](const std::string& topic, const std::vector<std::uint8_t>& payload) {
        Message(topic, payload);
    };
    Timer_ = Context_.Timers->CreateTimer();
    Timer_->OnTimer = [this] { Housekeeping(); };
    Timer_->SetInterval(HousekeepingMs);
    Timer_->SetEnabled(true);
    Connect();
    return true;
}

TSparkplugEdgeNode::TDevice& TSparkplugEdgeNode::DeviceFor(const std::string& name) {
    for (auto& device : Devices_)
        if (SameTextIgnoringCase(device->Name, name)) return *device;
    auto device = std::make_unique<TDevice>();
    device->Name = name;
    Devices_.push_back(std::move(device));
    return *Devices_.back();
}

void TSparkplugEdgeNode::AddDevices() {
    TPLCCollection* plcs = Context_.PLCs;
    std::uint64_t alias = FirstMetricAlias;
    // Group the items by device, keeping their order; each gets its alias in that order.
    std::vector<std::vector<TOPCItemDef>> definitions;
    for (const TMqttPublishedItem& item : Config_.Items) {
        const TItemIdParts parts = ParseItemId(item.ItemId);
        const std::size_t dot = item.ItemId.find('.');
        if (!parts.Valid || dot == std::string::npos) {
            Log(FormatText("MQTT item %s not published: %s", {item.ItemId, ErrorText(OPC_E_INVALIDITEMID)}));
            continue;
        }
        const std::string owner = TrimText(item.ItemId.substr(0, dot));
        THitachiPLC* plc = plcs ? plcs->FindPLC(owner) : nullptr;
        const bool isSys = !plc && SameTextIgnoringCase(owner, "Sys");
        TDevice& device = DeviceFor(TopicLevel(plc ? plc->Name : isSys ? std::string("Sys") : owner));
        device.IsPlc = !isSys;
        TMetric metric;
        metric.ItemId = item.ItemId;
        metric.Name = item.MetricName.empty() ? item.ItemId.substr(dot + 1) : item.MetricName;
        metric.DataType = SparkplugTypeFromName(item.Type);
        metric.Deadband = item.Deadband;
        metric.Alias = alias++;
        device.Metrics.push_back(std::move(metric));
    }
    for (auto& owned : Devices_) {
        TDevice& device = *owned;
        std::uint32_t revised = 0;
        HRESULT hr = Server_->Server->AddGroup("", 1, Config_.PublishPeriodMs, 0, nullptr, nullptr, 0,
                                               device.ServerHandle, revised, IOPCItemMgt::Iid, device.Group);
        if (Succeeded(hr)) {
            device.Items = InterfaceOf<IOPCItemMgt>(device.Group);
        }
        std::vector<TOPCItemDef> defs;
        for (std::size_t i = 0; i < device.Metrics.size(); ++i) {
            TOPCItemDef def;
            def.ItemID = device.Metrics[i].ItemId;
            def.ClientHandle = static_cast<OPCHANDLE>(i);
            def.Active = 1;
            def.RequestedDataType = VtOfSparkplugType(device.Metrics[i].DataType);
            defs.push_back(std::move(def));
        }
        std::vector<TOPCItemResult> results;
        std::vector<HRESULT> errors;
        if (device.Items && !defs.empty()) device.Items->AddItems(defs, results, errors);
        std::vector<TMetric> kept;
        for (std::size_t i = 0; i < device.Metrics.size(); ++i) {
            TMetric& metric = device.Metrics[i];
            HRESULT error = i < errors.size() ? errors[i] : E_FAIL;
            if (Succeeded(error)) {
                const VARTYPE canonical = results[i].CanonicalDataType;
                if (metric.DataType == SparkplugType::Unknown) metric.DataType = SparkplugTypeOfVt(canonical);
                metric.Handle = results[i].ServerHandle;
                if (metric.DataType == SparkplugType::Unknown) {
                    // Arrays have no scalar Sparkplug type: the item is not kept.
                    std::vector<HRESULT> removeErrors;
                    device.Items->RemoveItems({metric.Handle}, removeErrors);
                    error = OPC_E_BADTYPE;
                }
            }
            if (Failed(error)) {
                Log(FormatText("MQTT item %s not published: %s", {metric.ItemId, ErrorText(error)}));
                continue;
            }
            kept.push_back(std::move(metric));
        }
        device.Metrics = std::move(kept);
        // Client handles are the positions in the kept list.
        if (device.Items && !device.Metrics.empty()) {
            std::vector<OPCHANDLE> handles, clients;
            for (std::size_t i = 0; i < device.Metrics.size(); ++i) {
                handles.push_back(device.Metrics[i].Handle);
                clients.push_back(static_cast<OPCHANDLE>(i));
            }
            std::vector<HRESULT> setErrors;
            device.Items->SetClientHandles(handles, clients, setErrors);
        }
        TDevice* self = &device;
        device.Sink->Changed =
            [this, self](const std::vector<OPCHANDLE>& clients, const std::vector<TVariant>& values,
                         const std::vector<std::uint16_t>& qualities, const std::vector<TFileTime>& times) {
                DataChange(*self, clients, values, qualities, times);
            };
        if (device.Group) device.Sink->Advise(device.Group, device.Point, device.Cookie);
    }
}

void TSparkplugEdgeNode::Stop() {
    if (State_ == TState::Connected) {
        Client_.Publish(Topic("NDEATH"), DeathPayload(), 1, false);
        Client_.Disconnect();
    } else if (State_ == TState::Connecting) {
        Client_.Disconnect();
    }
    if (State_ != TState::Idle) {
        Client_.OnConnected = nullptr;
        Client_.OnDisconnected = nullptr;
        Client_.OnMessage = nullptr;
    }
    State_ = TState::Idle;
    Timer_.reset();
    for (auto& device : Devices_) {
        device->Sink->Changed = nullptr;
        if (device->Point) device->Point->Unadvise(device->Cookie);
        device->Point = nullptr;
        device->Items = nullptr;
        device->Group = nullptr;
        if (Server_ && Server_->Server && device->ServerHandle)
            Server_->Server->RemoveGroup(device->ServerHandle, 1);
    }
    Devices_.clear();
    Server_.reset(); // the last reference: "Client ... disconnected"
}

std::vector<std::uint8_t> TSparkplugEdgeNode::DeathPayload() const {
    TSparkplugPayload payload;
    payload.Timestamp = NowMs();
    TSparkplugMetric bdSeq;
    bdSeq.Name = "bdSeq";
    bdSeq.DataType = SparkplugType::UInt64;
    bdSeq.Value = std::uint64_t{BdSeq_};
    payload.Metrics.push_back(std::move(bdSeq));
    return EncodeSparkplugPayload(payload);
}

void TSparkplugEdgeNode::Connect() {
    // The will carries the bdSeq that the NBIRTH of this connection will carry.
    Options_.WillPayload = DeathPayload();
    State_ = TState::Connecting;
    Client_.Connect(Options_);
}

void TSparkplugEdgeNode::Connected() {
    if (State_ != TState::Connecting) return;
    State_ = TState::Connected;
    RetryDelayMs_ = FirstRetryMs;
    OutageLogged_ = false;
    Log(FormatText("MQTT broker %s connected", {Config_.BrokerUrl}));
    Client_.Subscribe(Topic("NCMD"), 1);
    Client_.Subscribe(Topic("DCMD") + "/+", 1);
    Births();
}

void TSparkplugEdgeNode::Disconnected(const std::string& reason) {
    if (State_ != TState::Connected && State_ != TState::Connecting) return;
    if (State_ == TState::Connected) {
        Log(FormatText("MQTT broker %s disconnected: %s", {Config_.BrokerUrl, reason}));
    } else if (!OutageLogged_) {
        Log(FormatText("MQTT broker %s cannot be reached: %s", {Config_.BrokerUrl, reason}));
    }
    OutageLogged_ = true;
    for (auto& device : Devices_) device->Born = false;
    State_ = TState::Waiting;
    RetryFrom_ = Context_.Clock->TickCount();
    // The next session announces itself with the next bdSeq.
    BdSeq_ = static_cast<std::uint8_t>(BdSeq_ + 1);
}

void TSparkplugEdgeNode::Housekeeping() {
    if (State_ == TState::Waiting) {
        if (TickDiff(Context_.Clock->TickCount(), RetryFrom_) < RetryDelayMs_) return;
        RetryDelayMs_ = std::min(RetryDelayMs_ * 2, MaxRetryMs);
        Connect();
        return;
    }
    if (State_ != TState::Connected) return;
    for (auto& device : Devices_) {
        const bool alive = DeviceAlive(*device);
        if (device->Born && !alive)
            DeviceDeath(*device);
        else if (!device->Born && alive)
            DeviceBirth(*device);
    }
}

bool TSparkplugEdgeNode::DeviceAlive(const TDevice& device) const {
    if (device.Metrics.empty()) return false;
    if (!device.IsPlc) return true;
    TPLCCollection* plcs = Context_.PLCs;
    const THitachiPLC* plc = plcs ? plcs->FindPLC(device.Name) : nullptr;
    return plc && !plc->TimedOutState;
}

void TSparkplugEdgeNode::Publish(const std::string& topic, TSparkplugPayload payload, int qos) {
    payload.Timestamp = NowMs();
    payload.Seq = Seq_;
    Seq_ = static_cast<std::uint8_t>(Seq_ + 1); // 255 wraps to 0
    Client_.Publish(topic, EncodeSparkplugPayload(payload), qos, false);
}

void TSparkplugEdgeNode::Births() {
    Seq_ = 0;
    TSparkplugPayload node;
    TSparkplugMetric bdSeq;
    bdSeq.Name = "bdSeq";
    bdSeq.DataType = SparkplugType::UInt64;
    bdSeq.Value = std::uint64_t{BdSeq_};
    node.Metrics.push_back(std::move(bdSeq));
    TSparkplugMetric rebirth;
    rebirth.Name = RebirthMetric;
    rebirth.Alias = RebirthAlias;
    rebirth.DataType = SparkplugType::Boolean;
    rebirth.Value = false;
    node.Metrics.push_back(std::move(rebirth));
    Publish(Topic("NBIRTH"), std::move(node));
    for (auto& device : Devices_) {
        device->Born = false;
        if (DeviceAlive(*device)) DeviceBirth(*device);
    }
}

TSparkplugMetric TSparkplugEdgeNode::MetricOf(TMetric& metric, bool birth) {
    TSparkplugMetric out;
    if (birth) out.Name = metric.Name;
    out.Alias = metric.Alias;
    out.DataType = metric.DataType;
    const std::uint64_t time = FileTimeToUnixMs(metric.Time);
    out.Timestamp = time ? time : NowMs();
    out.Value = SparkplugValueOf(metric.Value, metric.DataType);
    out.IsNull = IsBad(metric.Quality) || std::holds_alternative<std::monostate>(out.Value);
    if (metric.Quality != QualityGood || (metric.Sent && metric.SentQuality != QualityGood))
        out.Quality = metric.Quality;
    metric.SentValue = metric.Value;
    metric.SentQuality = metric.Quality;
    metric.Sent = true;
    return out;
}

void TSparkplugEdgeNode::DeviceBirth(TDevice& device) {
    TSparkplugPayload payload;
    for (TMetric& metric : device.Metrics) {
        metric.Sent = false;
        payload.Metrics.push_back(MetricOf(metric, true));
    }
    Publish(Topic("DBIRTH", device.Name), std::move(payload));
    device.Born = true;
}

void TSparkplugEdgeNode::DeviceDeath(TDevice& device) {
    Publish(Topic("DDEATH", device.Name), {});
    device.Born = false;
}

void TSparkplugEdgeNode::DataChange(TDevice& device, const std::vector<std::uint32_t>& clients,
                                    const std::vector<TVariant>& values,
                                    const std::vector<std::uint16_t>& qualities,
                                    const std::vector<TFileTime>& times) {
    TSparkplugPayload payload;
    for (std::size_t i = 0; i < clients.size() && i < values.size() && i < qualities.size(); ++i) {
        if (clients[i] >= device.Metrics.size()) continue;
        TMetric& metric = device.Metrics[clients[i]];
        metric.Value = values[i];
        metric.Quality = qualities[i];
        metric.Time = i < times.size() ? times[i] : TFileTime{};
        if (State_ != TState::Connected || !device.Born) continue; // the next birth carries it
        bool publish = !metric.Sent || metric.Quality != metric.SentQuality;
        if (!publish) {
            const std::optional<double> now = NumberOf(metric.Value), sent = NumberOf(metric.SentValue);
            if (metric.Deadband > 0 && now && sent)
                publish = std::fabs(*now - *sent) > metric.Deadband;
            else
                publish = !(metric.Value == metric.SentValue);
        }
        if (publish) payload.Metrics.push_back(MetricOf(metric, false));
    }
    if (!payload.Metrics.empty()) Publish(Topic("DDATA", device.Name), std::move(payload));
}

void TSparkplugEdgeNode::Message(const std::string& topic, const std::vector<std::uint8_t>& bytes) {
    if (State_ != TState::Connected) return;
    const std::optional<TSparkplugPayload> payload = DecodeSparkplugPayload(bytes.data(), bytes.size());
    if (topic == Topic("NCMD")) {
        if (payload) NodeCommand(*payload);
        return;
    }
    const std::string prefix = Topic("DCMD") + "/";
    if (topic.rfind(prefix, 0) != 0) return;
    const std::string name = topic.substr(prefix.size());
    for (auto& device : Devices_) {
        if (device->Name != name) continue;
        if (!payload) {
            Log(FormatText("MQTT command to %s refused: the payload cannot be decoded", {name}));
            return;
        }
        DeviceCommand(*device, *payload);
        return;
    }
    Log(FormatText("MQTT command to %s refused: no such device", {name}));
}

void TSparkplugEdgeNode::NodeCommand(const TSparkplugPayload& payload) {
    for (const TSparkplugMetric& metric : payload.Metrics) {
        const bool rebirth =
            metric.Name == RebirthMetric || (metric.Name.empty() && metric.Alias == RebirthAlias);
        const bool* value = std::get_if<bool>(&metric.Value);
        if (rebirth && value && *value) {
            Births();
            return;
        }
    }
}

void TSparkplugEdgeNode::DeviceCommand(TDevice& device, const TSparkplugPayload& payload) {
    if (!Config_.AllowWrites) {
        Log(FormatText("MQTT command to %s refused: writes from the broker are not allowed", {device.Name}));
        return;
    }
    std::vector<OPCHANDLE> handles;
    std::vector<TVariant> values;
    std::vector<std::string> names;
    for (const TSparkplugMetric& in : payload.Metrics) {
        const TMetric* target = nullptr;
        for (const TMetric& metric : device.Metrics)
            if ((!in.Name.empty() && in.Name == metric.Name) || (in.Name.empty() && in.Alias == metric.Alias))
                target = &metric;
        const std::string label =
            in.Name.empty() && in.Alias ? "alias " + std::to_string(*in.Alias) : in.Name;
        if (!target) {
            Log(FormatText("MQTT command to %s refused: no metric %s", {device.Name, label}));
            continue;
        }
        const std::optional<TVariant> value =
            in.IsNull
                ? std::nullopt
                : VariantOf(in.Value, in.DataType != SparkplugType::Unknown ? in.DataType : target->DataType);
        if (!value) {
            Log(FormatText("MQTT command to %s refused: no value for %s", {device.Name, target->Name}));
            continue;
        }
        handles.push_back(target->Handle);
        values.push_back(*value);
        names.push_back(target->Name);
    }
    if (handles.empty()) return;
    auto sync = InterfaceOf<IOPCSyncIO>(device.Group);
    std::vector<HRESULT> errors;
    const HRESULT hr = sync ? sync->Write(handles, values, errors) : E_NOINTERFACE;
    for (std::size_t i = 0; i < handles.size(); ++i) {
        const HRESULT error = i < errors.size() ? errors[i] : hr;
        if (Failed(error))
            Log(FormatText("MQTT command to %s refused: %s %s", {device.Name, names[i], ErrorText(error)}));
    }
}

} // namespace dravon
