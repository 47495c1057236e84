// The example client dravon-democlient as a newcomer runs it: its own DRAVON_HOME with a
// PLC list pointing at the simulator on loopback, no display; it must print the
// simulator's values as OnDataChange lines, follow a change and end by itself.
#include "PlcSimulator.h"
#include "support/QtApplication.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace dravon {
namespace {

constexpr std::uint8_t WR = 0x0A;

template <class F> bool SpinUntil(F condition, int boundMs) {
    QDeadlineTimer deadline(boundMs);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// A printed item line: the item ID, then the value, then the quality.
bool HasItemLine(const std::string& output, const std::string& id, const std::string& value,
                 const std::string& quality) {
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string first, second, third;
        words >> first >> second >> third;
        if (first == id && second == value && third == quality) return true;
    }
    return false;
}

class OPCSimulatorDemoClientTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { test::TQtApplication::Create(); }
    static void TearDownTestSuite() { test::TQtApplication::Destroy(); }
};

TEST_F(OPCSimulatorDemoClientTest, PrintsTheSimulatorsValuesAndFollowsAChange) {
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    TSimTransportConfig tcp;
    tcp.Kind = TSimTransportKind::Tcp;
    tcp.Port = 0;
    TPlcSimulator sim({tcp});
    std::string error;
    ASSERT_TRUE(sim.Start(&error)) << error;
    sim.SetValue(0, WR, 0x10, 0x1234);
    sim.SetValue(0, WR, 0x11, 7);

    // The PLC list as the configuration window stores it, on loopback only.
    {
        std::ofstream store(home.path().toStdString() + "/machine.store");
        store << "DRAVON-STORE 1\n"
              << "key HKEY_LOCAL_MACHINE \"SOFTWARE\\\\Norvane\\\\Dravon\\\\Settings\"\n"
              << "dword \"Allow browsing PLC variables\" 1\n"
              << "key HKEY_LOCAL_MACHINE \"SOFTWARE\\\\Norvane\\\\Dravon\\\\PLCList\"\n"
              << "dword \"Count\" 1\n"
              << "string \"PLCName0\" \"Sim1\"\n"
              << "string \"PLCIP0\" \"127.0.0.1\"\n"
              << "dword \"PLCTcpPort0\" " << sim.Port(0) << "\n"
              << "dword \"ProtocolType0\" 3\n"
              << "dword \"DrvType0\" 2\n"
              << "dword \"TimeOut0\" 1000\n";
    }

    QProcess client;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DRAVON_HOME", home.path());
    environment.remove("DISPLAY");
    environment.remove("WAYLAND_DISPLAY");
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    client.setProcessEnvironment(environment);
    client.setWorkingDirectory(home.path());
    std::string output;
    QObject::connect(&client, &QProcess::readyReadStandardOutput,
                     [&] { output += client.readAllStandardOutput().toStdString(); });
    // Without --item it browses the PLCs: Sim1's default items and the server variable.
    client.start(DRAVON_DEMOCLIENT, {"--seconds", "6", "--rate", "500"});
    ASSERT_TRUE(client.waitForStarted(10000));

    ASSERT_TRUE(SpinUntil([&] { return HasItemLine(output, "Sim1.WR0010", "4660", "GOOD"); }, 10000))
        << output;
    EXPECT_NE(output.find("democlient: item Sim1.ComStatus"), std::string::npos) << output;
    EXPECT_NE(output.find("democlient: item Sys.ClientsConnected"), std::string::npos) << output;
    EXPECT_NE(output.find("OnDataChange"), std::string::npos);

    sim.SetValue(0, WR, 0x10, 4321);
    EXPECT_TRUE(SpinUntil([&] { return HasItemLine(output, "Sim1.WR0010", "4321", "GOOD"); }, 5000))
        << output;

    ASSERT_TRUE(SpinUntil([&] { return client.state() == QProcess::NotRunning; }, 15000)) << output;
    EXPECT_EQ(client.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(client.exitCode(), 0);
    output += client.readAllStandardOutput().toStdString();
    EXPECT_NE(output.find("data changes received"), std::string::npos) << output;
    EXPECT_NE(output.find("Server shut down at"), std::string::npos) << output;
}

TEST_F(OPCSimulatorDemoClientTest, BadArgumentsAreRefusedWithTheUsage) {
    QProcess client;
    client.start(DRAVON_DEMOCLIENT, {"--rate", "fast"});
    ASSERT_TRUE(client.waitForFinished(10000));
    EXPECT_EQ(client.exitCode(), 2);
    const std::string errors = client.readAllStandardError().toStdString();
    EXPECT_NE(errors.find("bad value for --rate: fast"), std::string::npos) << errors;
    EXPECT_NE(errors.find("Usage: dravon-democlient"), std::string::npos) << errors;
}

} // namespace
} // namespace dravon
