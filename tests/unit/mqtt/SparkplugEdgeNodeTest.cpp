// The edge node's state machine over the real OPC object model, with a recording MQTT
// client and the manual clock. The PLC is the test: it stores read values on the
// locations as the driver cycle would. Each row is a script of steps; after each step the
// messages published and the session-log lines written are compared, in a compact form:
//   "NBIRTH 0 bdSeq=0 Node Control/Rebirth=false | DBIRTH/PLC1 1 WR0010=4660"
// (type[/device] seq, then metrics as name or #alias = value, " q=" quality when sent).
#include "mqtt/SparkplugEdgeNode.h"
#include "mqtt/MqttConfig.h"
#include "opc/DA2ClassFactory.h"
#include "opc/OPCDAConnectionCollection.h"
#include "plc/HitachiLocation.h"
#include "plc/HitachiPLC.h"
#include "plc/PLCCollection.h"
#include "support/FakeDriverPool.h"
#include "support/FakeHostResolver.h"
#include "support/Frames.h"
#include "support/TestContext.h"

#include <gtest/gtest.h>

#include <sstream>

namespace dravon {
namespace {

class TFakeMqttClient : public IMqttClient {
public:
    std::vector<std::pair<std::string, std::vector<std::uint8_t>>> Published;
    std::vector<std::string> Subscribed;
    std::vector<TMqttConnectOptions> Connects;
    bool Up = false;

    void Connect(const TMqttConnectOptions& options) override { Connects.push_back(options); }
    void Disconnect() override { Up = false; }
    bool Publish(const std::string& topic, const std::vector<std::uint8_t>& payload, int, bool) override {
        if (!Up) return false;
        Published.emplace_back(topic, payload);
        return true;
    }
    bool Subscribe(const std::string& topic, int) override {
        Subscribed.push_back(topic);
        return Up;
    }
};

// Signed types as their two's complement; the rows need no other kinds.
std::string ValueText(const TSparkplugMetric& m) {
    if (m.IsNull) return "null";
    if (auto v = std::get_if<bool>(&m.Value)) return *v ? "true" : "false";
    if (auto v = std::get_if<std::uint64_t>(&m.Value)) return std::to_string(*v);
    const bool isSigned = m.DataType == SparkplugType::Int16 || m.DataType == SparkplugType::Int32;
    if (auto v = std::get_if<std::uint32_t>(&m.Value))
        return isSigned ? std::to_string(static_cast<std::int32_t>(*v)) : std::to_string(*v);
    return "other";
}

// One published message in the compact form; the topic's prefix is the node's own.
std::string Render(const std::string& prefix, const std::string& topic,
                   const std::vector<std::uint8_t>& bytes) {
    std::string kind = topic.rfind(prefix, 0) == 0 ? topic.substr(prefix.size()) : topic;
    // "NBIRTH/edge" -> "NBIRTH", "DDATA/edge/PLC1" -> "DDATA/PLC1"
    const std::size_t first = kind.find('/');
    const std::size_t second = first == std::string::npos ? first : kind.find('/', first + 1);
    kind = kind.substr(0, first) + (second == std::string::npos ? "" : kind.substr(second));
    auto payload = DecodeSparkplugPayload(bytes.data(), bytes.size());
    if (!payload) return kind + " undecodable";
    std::string text = kind;
    if (payload->Seq) text += " " + std::to_string(*payload->Seq);
    if (!payload->Timestamp) text += " no-time";
    for (const TSparkplugMetric& m : payload->Metrics) {
        text +=
            " " + (m.Name.empty() ? "#" + std::to_string(m.Alias.value_or(0)) : m.Name) + "=" + ValueText(m);
        if (m.Quality) text += " q=" + std::to_string(*m.Quality);
    }
    return text;
}

struct TRow {
    const char* Name;
    bool AllowWrites;
    std::vector<std::pair<std::string, std::string>> Script; // step, what it gives
};

class SparkplugEdgeNodeTest : public ::testing::TestWithParam<TRow> {
protected:
    SparkplugEdgeNodeTest() {
        T.Context.Resolver = &Resolver;
        T.Context.PLCs = &PLCs;
        T.Context.Settings.EnableBAD = true;
        PLC1.SetHost("127.0.0.1");
        PLC2.SetHost("127.0.0.2");
        PLCs.SetDriverPool(&Pool);
        Connections.Start();
        Config.Enabled = true;
        Config.BrokerUrl = "mqtt://127.0.0.1:1883";
        Config.GroupId = "Plant";
        Config.AllowWrites = GetParam().AllowWrites;
        Config.Items = {
            {"PLC1.WR0010", "", "", 0}, {"PLC1.WR0011s", "Speed", "Int16", 5}, {"PLC2.WR0020", "", "", 0}};
    }
    ~SparkplugEdgeNodeTest() override {
        Node.reset();
        Connections.Stop();
    }

    THitachiLocation* Word(const std::string& address) {
        const std::uint32_t a = static_cast<std::uint32_t>(std::stoul(address.substr(2), nullptr, 16));
        return (a >= 0x20 ? PLC2 : PLC1).FindLocation(10, a, false);
    }
    // A command with one metric, named or by alias, as the host publishes it.
    void Command(const std::string& topic, const std::string& name, std::optional<std::uint64_t> alias,
                 std::uint32_t type, TSparkplugValue value) {
        TSparkplugMetric m;
        std::tie(m.Name, m.Alias, m.DataType, m.Value) = std::tuple(name, alias, type, value);
        Client.OnMessage(topic, EncodeSparkplugPayload({{}, {}, {m}}));
    }

    // Runs one step; false when the step is not understood.
    bool Step(const std::string& step) {
        std::istringstream in(step);
        std::string verb, a, b, c;
        in >> verb >> a >> b >> c;
        if (verb == "start") return Node->Start();
        if (verb == "hex") return Hex_ = true, Step(step.substr(4)); // the bytes as published
        if (verb == "connect" || verb == "lose") {
            Client.Up = verb == "connect";
            Client.Up ? Client.OnConnected() : Client.OnDisconnected("connection lost");
        } else if (verb == "wait") {
            T.Platform.Advance(static_cast<std::uint32_t>(std::stoul(a)));
        } else if (verb == "set") { // set WR0010 5 [more address value pairs]
            for (std::istringstream pairs(step.substr(4)); pairs >> a >> b;)
                if (THitachiLocation* l = Word(a))
                    l->StoreReadValue(static_cast<std::uint32_t>(std::stoul(b)), T.Platform.Clock.Date);
        } else if (verb == "errors") { // errors WR0010 5: failed polls in a row
            Word(a)->ErrorCount = std::stoi(b);
        } else if (verb == "count") { // count N: N periods, WR0010 rising by one in each
            for (unsigned i = 0; i < std::stoul(a); ++i) {
                Word("WR0010")->StoreReadValue(Word("WR0010")->GetValue() + 1, T.Platform.Clock.Date);
                T.Platform.Advance(1000);
            }
        } else if (verb == "timeout" || verb == "restore") {
            (a == "PLC2" ? PLC2 : PLC1).SetTimedOut(verb == "timeout");
        } else if (const bool alias = a == "alias"; verb == "ncmd") { // ncmd rebirth|alias
            Command(Node->Topic("NCMD"), alias ? "" : TSparkplugEdgeNode::RebirthMetric,
                    alias ? std::optional(TSparkplugEdgeNode::RebirthAlias) : std::nullopt,
                    SparkplugType::Boolean, true);
        } else if (verb == "dcmd") { // dcmd PLC1 Speed 77
            Command(Node->Topic("DCMD", a), b, {}, SparkplugType::Int32,
                    static_cast<std::uint32_t>(std::stol(c)));
        } else if (verb == "junk") {
            Client.OnMessage(Node->Topic("DCMD", a), {0xFF, 0xFF, 0xFF});
        } else if (verb == "pending") { // pending WR0011: what waits to be written
            THitachiLocation* l = Word(a);
            Extra_ = l && l->WritePending ? "pending " + a + "=" + std::to_string(l->GetValue())
                                          : "nothing pending";
        } else if (verb == "items") { // items HOST ID...: the node made again on this host for these items
            Config.Items.clear();
            for (std::istringstream ids(step.substr(7 + a.size())); ids >> b;)
                Config.Items.push_back({b, "", "", 0});
            Node = std::make_unique<TSparkplugEdgeNode>(T.Context, *Factory, Client, Config, a);
        } else if (verb == "stop") {
            Node->Stop();
        } else {
            return false;
        }
        return true;
    }

    std::string Output() {
        const std::string prefix = "spBv1.0/Plant/";
        std::vector<std::string> parts;
        for (std::size_t i = LogSeen_; i < T.Capture.Lines.size(); ++i) {
            const std::string& line = T.Capture.Lines[i];
            if (line.rfind("MQTT", 0) == 0) parts.push_back("log " + line);
        }
        for (std::size_t i = ConnectsSeen_; i < Client.Connects.size(); ++i) {
            const TMqttConnectOptions& will = Client.Connects[i];
            parts.push_back("connect will " + Render(prefix, will.WillTopic, will.WillPayload));
        }
        for (const std::string& topic : Client.Subscribed) parts.push_back("subscribe " + topic);
        for (auto& [topic, bytes] : Client.Published)
            parts.push_back(Hex_ ? topic.substr(prefix.size()) + " " + test::HexText(bytes)
                                 : Render(prefix, topic, bytes));
        if (!Extra_.empty()) parts.push_back(Extra_);
        Client.Published.clear();
        Client.Subscribed.clear();
        ConnectsSeen_ = Client.Connects.size();
        LogSeen_ = T.Capture.Lines.size();
        Extra_.clear();
        Hex_ = false;
        std::string text;
        for (const auto& p : parts) text += (text.empty() ? "" : " | ") + p;
        return text;
    }

    test::TTestContext T;
    test::TFakeHostResolver Resolver;
    test::TFakeDriverPool Pool;
    TPLCCollection PLCs{T.Context};
    THitachiPLC& PLC1 = PLCs.AddPLC();
    THitachiPLC& PLC2 = PLCs.AddPLC();
    TOPCDAConnectionCollection Connections{T.Context};
    TComPtr<TDA2ClassFactory> Factory = MakeCom<TDA2ClassFactory>(T.Context, Connections);
    TFakeMqttClient Client;
    TMqttConfig Config;
    std::unique_ptr<TSparkplugEdgeNode> Node;

private:
    std::size_t LogSeen_ = 0;
    std::size_t ConnectsSeen_ = 0;
    std::string Extra_;
    bool Hex_ = false;
};

TEST_P(SparkplugEdgeNodeTest, Script) {
    Node = std::make_unique<TSparkplugEdgeNode>(T.Context, *Factory, Client, Config, "edge1");
    for (const auto& [step, expected] : GetParam().Script) {
        SCOPED_TRACE(step);
        ASSERT_TRUE(Step(step));
        const std::string got = Output();
        if (expected.rfind("last: ", 0) == 0) {
            const std::size_t bar = got.rfind(" | ");
            EXPECT_EQ(bar == std::string::npos ? got : got.substr(bar + 3), expected.substr(6));
        } else {
            EXPECT_EQ(got, expected);
        }
    }
}

// The births after the connection with this bdSeq, PLC2's word at this value.
std::string Births(int bdSeq = 0, int wr20 = 7) {
    return "NBIRTH 0 bdSeq=" + std::to_string(bdSeq) +
           " Node Control/Rebirth=false | DBIRTH/PLC1 1 WR0010=4660 Speed=100 | DBIRTH/PLC2 2 WR0020=" +
           std::to_string(wr20);
}
const std::string Connected = "log MQTT broker mqtt://127.0.0.1:1883 connected | ";
const std::string Subscriptions =
    "subscribe spBv1.0/Plant/NCMD/edge1 | subscribe spBv1.0/Plant/DCMD/edge1/+ | ";
const std::string Lost = "log MQTT broker mqtt://127.0.0.1:1883 disconnected: connection lost";
using TScript = std::vector<std::pair<std::string, std::string>>;

// The start every row shares: values known, then the broker accepts the connection.
TScript Born(const TScript& more) {
    TScript script = {{"start", "connect will NDEATH bdSeq=0"},
                      {"set WR0010 4660 WR0011 100 WR0020 7", ""},
                      {"wait 1000", ""},
                      {"connect", Connected + Subscriptions + Births()}};
    script.insert(script.end(), more.begin(), more.end());
    return script;
}

// clang-format off
const TRow Rows[] = {
    {"DataOnlyOnChangeWithDeadband", false,
     Born({{"wait 1000", ""}, {"set WR0010 5 WR0011 105", ""}, {"wait 1000", "DDATA/PLC1 3 #2=5"},
           {"set WR0011 106", ""}, {"wait 1000", "DDATA/PLC1 4 #3=106"}, {"set WR0011 65535", ""},
           {"wait 1000", "DDATA/PLC1 5 #3=-1"}})},
    // The first data message as protobuf bytes: sent at 2025-12-09 12:00:01.050 UTC, metrics {alias 2, its
    // value's time, UInt16, properties {"Quality": Int32 68}, int_value 4660}, seq 3.
    {"QualityAsPropertyAndNullWhenBad", false,
     Born({{"errors WR0010 3", ""},
           {"hex wait 1000", "DDATA/edge1/PLC1 089AACEE97B033121F10021880A4EE97B03320064A0F0A075175616C69747912040803184450B4241803"},
           {"errors WR0010 5", ""}, {"wait 1000", "DDATA/PLC1 4 #2=null q=24"}, {"errors WR0010 0", ""},
           {"wait 1000", "DDATA/PLC1 5 #2=4660 q=192"}, {"set WR0010 4661", ""}, {"wait 1000", "DDATA/PLC1 6 #2=4661"}})},
    // The births after a reconnection start the quality anew: good again, no property.
    {"BirthAfterABadValueCarriesNoQuality", false,
     Born({{"errors WR0010 5", ""}, {"wait 1000", "DDATA/PLC1 3 #2=null q=24"},
           {"lose", Lost}, {"errors WR0010 0", ""}, {"wait 1000", "connect will NDEATH bdSeq=1"},
           {"connect", Connected + Subscriptions + Births(1)}})},
    {"SeqWrapsAfter255", false,
     Born({{"count 253", "last: DDATA/PLC1 255 #2=4913"}, {"count 1", "DDATA/PLC1 0 #2=4914"},
           {"count 1", "DDATA/PLC1 1 #2=4915"}})},
    {"DeviceDeathOnTimeOutAndBirthOnRestore", false,
     Born({{"timeout PLC1", ""}, {"wait 250", "DDEATH/PLC1 3"}, {"set WR0010 9", ""}, {"wait 1000", ""},
           {"restore PLC1", ""}, {"wait 250", "DBIRTH/PLC1 4 WR0010=9 Speed=100"}})},
    {"RebirthOnNodeCommandByNameOrAlias", false, Born({{"ncmd rebirth", Births()}, {"ncmd alias", Births()}})},
    {"ReconnectWithBackOffBirthsTheCurrentState", false,
     Born({{"lose", Lost}, {"set WR0020 8", ""},
           {"connect", ""}, // a stale event: not connecting now
           {"lose", ""}, {"wait 999", ""}, {"wait 1", "connect will NDEATH bdSeq=1"},
           {"lose", ""}, // one line per outage, not per attempt
           {"wait 1999", ""}, {"wait 1", "connect will NDEATH bdSeq=2"}, {"lose", ""}, {"wait 4000", "connect will NDEATH bdSeq=3"},
           // The back-off doubles up to 30 s; a connection starts it again at 1 s.
           {"lose", ""}, {"wait 8000", "connect will NDEATH bdSeq=4"}, {"lose", ""}, {"wait 16000", "connect will NDEATH bdSeq=5"},
           {"lose", ""}, {"wait 29999", ""}, {"wait 1", "connect will NDEATH bdSeq=6"},
           {"connect", Connected + Subscriptions + Births(6, 8)}, {"lose", Lost}, {"wait 999", ""},
           {"wait 1", "connect will NDEATH bdSeq=7"}})},
    // Server variables belong to no PLC: their device is born at once (no server core fills them here). A
    // signed word takes its metric type from the item; a host name is made a topic level.
    {"ServerVariablesHaveTheirOwnDeviceAndTypesComeFromTheItem", false,
     {{"items edge/+#1 Sys.ClientsConnected PLC1.WR0011s", ""}, {"start", "connect will NDEATH bdSeq=0"},
      {"set WR0011 65535", ""}, {"wait 1000", ""},
      {"connect", Connected + "subscribe spBv1.0/Plant/NCMD/edge___1 | subscribe spBv1.0/Plant/DCMD/edge___1/+ | "
                  "NBIRTH 0 bdSeq=0 Node Control/Rebirth=false | DBIRTH/Sys 1 ClientsConnected=null q=0 | "
                  "DBIRTH/PLC1 2 WR0011s=-1"}}},
    {"DeviceCommandRefusedWhenWritesAreOff", false,
     Born({{"dcmd PLC1 Speed -7", "log MQTT command to PLC1 refused: writes from the broker are not allowed"},
           {"pending WR0011", "nothing pending"}})},
    {"DeviceCommandWritesThroughTheItem", true,
     Born({{"dcmd PLC1 Speed -7", ""}, {"pending WR0011", "pending WR0011=65529"},
           {"dcmd PLC1 Nothing 1", "log MQTT command to PLC1 refused: no metric Nothing"},
           {"dcmd PLC3 Speed 1", "log MQTT command to PLC3 refused: no such device"},
           {"junk PLC1", "log MQTT command to PLC1 refused: the payload cannot be decoded"}})},
    {"StopSaysGoodbye", false, Born({{"stop", "NDEATH bdSeq=0"}})},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Rows, SparkplugEdgeNodeTest, ::testing::ValuesIn(Rows),
                         [](const auto& info) { return std::string(info.param.Name); });

} // namespace
} // namespace dravon
