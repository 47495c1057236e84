// The example client dravon-democlient as a newcomer runs it: its own DRAVON_HOME with a
// PLC list pointing at the simulator on loopback, no display; it must print the
// simulator's values as OnDataChange lines, follow a change and end by itself.
#include "ServerProcess.h"
#include "SimFixture.h"

#include <fstream>
#include <sstream>

namespace dravon {
namespace {

constexpr std::uint8_t WR = 0x0A;

// A printed line of Sim1.WR0010: the item ID, then the value, then the quality GOOD.
bool HasItemLine(const std::string& output, const std::string& value) {
    std::istringstream lines(output);
    for (std::string line, id, shown, quality; std::getline(lines, line);)
        if (std::istringstream(line) >> id >> shown >> quality && id == "Sim1.WR0010" && shown == value &&
            quality == "GOOD")
            return true;
    return false;
}

class OPCSimulatorDemoClientTest : public test::TSimFixture {};

TEST_F(OPCSimulatorDemoClientTest, PrintsTheSimulatorsValuesAndFollowsAChange) {
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    auto sim = StartSim({Ethernet(TSimTransportKind::Tcp)});
    ASSERT_TRUE(sim);
    sim->SetValue(0, WR, 0x10, 0x1234);
    // The PLC list as the configuration window stores it, on loopback only.
    std::ofstream(home.path().toStdString() + "/machine.store")
        << "DRAVON-STORE 1\n"
        << "key HKEY_LOCAL_MACHINE \"SOFTWARE\\\\Norvane\\\\Dravon\\\\Settings\"\n"
        << "dword \"Allow browsing PLC variables\" 1\n"
        << "key HKEY_LOCAL_MACHINE \"SOFTWARE\\\\Norvane\\\\Dravon\\\\PLCList\"\n"
        << "dword \"Count\" 1\nstring \"PLCName0\" \"Sim1\"\nstring \"PLCIP0\" \"127.0.0.1\"\n"
        << "dword \"PLCTcpPort0\" " << sim->Port(0) << "\n"
        << "dword \"ProtocolType0\" 3\ndword \"DrvType0\" 2\ndword \"TimeOut0\" 1000\n";
    test::TServerProcess client(home.path());
    client.Program = DRAVON_DEMOCLIENT;
    // Without --item it browses the PLCs: Sim1's default items and the server variable.
    client.Start({"--seconds", "6", "--rate", "500"});
    ASSERT_TRUE(client.WaitForOutput("Sim1.WR0010")) << client.Output;
    ASSERT_TRUE(test::SpinUntil([&] { return HasItemLine(client.Output, "4660"); }, 10000)) << client.Output;
    EXPECT_NE(client.Output.find("democlient: item Sim1.ComStatus"), std::string::npos) << client.Output;
    EXPECT_NE(client.Output.find("democlient: item Sys.ClientsConnected"), std::string::npos);
    EXPECT_NE(client.Output.find("OnDataChange"), std::string::npos);
    sim->SetValue(0, WR, 0x10, 4321);
    EXPECT_TRUE(test::SpinUntil([&] { return HasItemLine(client.Output, "4321"); }, 5000)) << client.Output;
    ASSERT_TRUE(client.Ends(0));
    client.Output += client.Process.readAllStandardOutput().toStdString();
    EXPECT_NE(client.Output.find("data changes received"), std::string::npos) << client.Output;
    EXPECT_NE(client.Output.find("Server shut down at"), std::string::npos) << client.Output;
}

TEST_F(OPCSimulatorDemoClientTest, BadArgumentsAreRefusedWithTheUsage) {
    test::TServerProcess client(QDir::tempPath());
    client.Program = DRAVON_DEMOCLIENT;
    ASSERT_TRUE(client.Runs({"--rate", "fast"}, 2));
    EXPECT_NE(client.Errors.find("bad value for --rate: fast"), std::string::npos) << client.Errors;
    EXPECT_NE(client.Errors.find("Usage: dravon-democlient"), std::string::npos) << client.Errors;
}

} // namespace
} // namespace dravon
