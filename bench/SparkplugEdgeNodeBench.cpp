// The edge node's publishing cost: 10 000 published items on 10 PLCs, a tenth of them
// changing every second, at the default publish period of 1 000 ms. The same minute of
// manual-clock time is run with the edge node connected to a recording client: the process
// CPU time of that minute (the OPC groups feeding the node, change detection, deadband,
// encoding; the driver cycle is not part of it) is the publishing cost (goal: below 0.1 of
// a core), and the client counts the bytes an MQTT connection would carry (publish
// header, topic, payload) once the births are out.
#include "mqtt/SparkplugEdgeNode.h"
#include "opc/DA2ClassFactory.h"
#include "opc/OPCDAConnectionCollection.h"
#include "plc/HitachiLocation.h"
#include "plc/HitachiPLC.h"
#include "plc/PLCCollection.h"
#include "support/TestContext.h"

#include <cstdio>
#include <ctime>
#include <iostream>

namespace dravon {
namespace {

constexpr int PLCCount = 10;
constexpr int ItemsPerPLC = 1000;
constexpr int Seconds = 60;
constexpr double CoreGoal = 0.1;

class TCountingClient : public IMqttClient {
public:
    long long Messages = 0;
    long long Bytes = 0;
    void Connect(const TMqttConnectOptions&) override {}
    void Disconnect() override {}
    bool Publish(const std::string& topic, const std::vector<std::uint8_t>& payload, int, bool) override {
        ++Messages;
        const std::size_t remaining = 2 + topic.size() + payload.size();
        // Fixed header: type byte and the remaining length in 7-bit groups.
        Bytes += static_cast<long long>(1 + (remaining < 128 ? 1 : remaining < 16384 ? 2 : 3) + remaining);
        return true;
    }
    bool Subscribe(const std::string&, int) override { return true; }
};

double CpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

// One simulated minute; returns the CPU seconds it took.
double Run(TCountingClient& client) {
    test::TTestContext t;
    TPLCCollection plcs(t.Context);
    t.Context.PLCs = &plcs;
    TMqttConfig config;
    config.Enabled = true;
    for (int p = 0; p < PLCCount; ++p) {
        THitachiPLC& plc = plcs.AddPLC();
        plc.SetHost("127.0.0.1");
        for (int i = 0; i < ItemsPerPLC; ++i) {
            char address[16];
            std::snprintf(address, sizeof address, "WR%04X", i);
            config.Items.push_back({plc.Name + "." + address, "", "", 0});
        }
    }
    TOPCDAConnectionCollection connections(t.Context);
    connections.Start();
    TComPtr<TDA2ClassFactory> factory = MakeCom<TDA2ClassFactory>(t.Context, connections);
    TSparkplugEdgeNode node(t.Context, *factory, client, config, "bench");
    node.Start();
    std::vector<THitachiLocation*> locations;
    for (int p = 0; p < PLCCount; ++p)
        for (int i = 0; i < ItemsPerPLC; ++i)
            if (THitachiLocation* l =
                    plcs.PLCByIndex(p).FindLocation(10, static_cast<std::uint32_t>(i), false))
                locations.push_back(l);
    for (THitachiLocation* l : locations) l->StoreReadValue(0, t.Platform.Clock.Date);
    t.Platform.Advance(2000);
    client.OnConnected();
    client.Messages = client.Bytes = 0;
    const double start = CpuSeconds();
    std::uint32_t value = 1;
    for (int s = 0; s < Seconds; ++s) {
        for (std::size_t i = static_cast<std::size_t>(s % 10); i < locations.size(); i += 10)
            locations[i]->StoreReadValue(value, t.Platform.Clock.Date);
        ++value;
        t.Platform.Advance(1000);
    }
    const double cpu = CpuSeconds() - start;
    node.Stop();
    connections.Stop();
    std::cout << locations.size() << " items on " << PLCCount << " PLCs, " << locations.size() / 10
              << " changing per second: " << cpu << " s CPU for " << Seconds << " s\n";
    return cpu;
}

} // namespace
} // namespace dravon

int main() {
    using namespace dravon;
    TCountingClient client;
    const double core = Run(client) / Seconds;
    std::cout << "publishing CPU: " << core << " of a core (goal < " << CoreGoal << ")\n"
              << "on the wire: " << static_cast<double>(client.Bytes) / Seconds << " bytes/s in "
              << static_cast<double>(client.Messages) / Seconds << " messages/s\n";
    return core < CoreGoal ? 0 : 1;
}
