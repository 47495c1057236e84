#include "ServerProcess.h"
#include "app/CommandLine.h"
#include "app/FileStore.h"
#include "app/Settings.h"
#include "plc/PLCCollection.h"
#include "unit/app/TempDir.h"

#include <QDir>
#include <QFile>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace dravon {
namespace {

using namespace ::testing;
using test::TServerProcess;

// A machine store with the log file switched on. LogEvents is the third setting; loading
// stops at the first missing value.
constexpr const char* LogFileStore = "DRAVON-STORE 1\n"
                                     "key HKEY_LOCAL_MACHINE \"SOFTWARE\\\\Norvane\\\\Dravon\\\\Settings\"\n"
                                     "dword \"Show tray icon\" 1\n"
                                     "dword \"Allow browsing PLC variables\" 1\n"
                                     "dword \"Create log file (Dravon.log)\" 1\n";

class ServerProcessTest : public test::TQtSuite<> {
protected:
    void SetUp() override { ASSERT_TRUE(Home.isValid()); }
    QString File(const QString& name) const { return Home.path() + "/" + name; }
    std::string Read(const QString& name) const { return test::ReadFile(File(name).toStdString()); }
    void Write(const QString& file, const std::string& text) {
        test::WriteFile(File(file).toStdString(), text);
    }
    // Without DRAVON_HOME (the store in the user's folders under home) and run from the
    // folder bin: a hard link of the program where possible, else a copy.
    QString Elsewhere(TServerProcess& process, const QString& bin) const {
        for (const char* dir : {"home", "tmp"}) QDir().mkpath(File(dir));
        process.WithoutDravonHome(Home.path());
        QDir().mkpath(File(bin));
        process.Program = File(bin) + "/dravon";
        if (::link(DRAVON_PROGRAM, QFile::encodeName(process.Program).constData()) != 0)
            QFile::copy(DRAVON_PROGRAM, process.Program);
        return process.Program;
    }
    QTemporaryDir Home;
    const std::string Absolute = QDir(Home.path()).absolutePath().toStdString() + "/";
};

TEST_F(ServerProcessTest, SecondStartHandsOverToTheFirstAndEndsWithStatusZeroButNeverJoinsAStoppedOne) {
    TServerProcess first(Home.path());
    ASSERT_TRUE(first.Started({"-debuglog"}));

    TServerProcess second(Home.path());
    ASSERT_TRUE(second.Runs({"/show", "notes.txt"}, 0));
    EXPECT_THAT(second.Output, Not(HasSubstr("Server started"))); // it never started a server
    ASSERT_TRUE(first.WaitForOutput("Show request from a second start")) << first.Output;
    EXPECT_THAT(Read("DravonDebug.Log"),
                AllOf(HasSubstr("Second instance command line: /show\\x09" + Absolute + "notes.txt" + "\n"),
                      HasSubstr("Second instance asked to show the window")));

    ::kill(static_cast<pid_t>(first.Process.processId()), SIGSTOP);
    TServerProcess third(Home.path());
    third.Start({});
    const auto ended = third.Ends(1, 30000); // two hand-overs of 5 s each
    ::kill(static_cast<pid_t>(first.Process.processId()), SIGCONT);
    ASSERT_TRUE(ended);
    EXPECT_THAT(third.Errors, HasSubstr("did not answer"));
    EXPECT_THAT(third.Output, Not(HasSubstr("Server started")));
    ASSERT_TRUE(first.Stops());
    EXPECT_THAT(first.Output, HasSubstr("Server shut down at"));
}

TEST_F(ServerProcessTest, CopiesInTwoFoldersShareOneServerOnTheSameStore) {
    TServerProcess first(Home.path());
    Elsewhere(first, "a");
    ASSERT_TRUE(first.Started());
    TServerProcess second(Home.path());
    Elsewhere(second, "b");
    ASSERT_TRUE(second.Runs({"/show"}, 0));
    EXPECT_THAT(second.Output, Not(HasSubstr("Server started")));
    EXPECT_TRUE(first.WaitForOutput("Show request from a second start")) << first.Output;
    ASSERT_TRUE(first.Stops());
}

TEST_F(ServerProcessTest, AMachineStoreTheUserCannotWriteIsReadAndLeftAlone) {
    // The administrator's store: the log file switched on. The user may only read it.
    const std::string machine = LogFileStore;
    QDir().mkpath(File("machine"));
    Write("machine/machine.store", machine);
    TServerProcess server(Home.path());
    // From a folder nobody may write to, so the files go to the user's own folders.
    const QString program = Elsewhere(server, "bin");
    QFile::setPermissions(File("bin"),
                          QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther);
    if (::geteuid() == 0) {
        // Root writes anything: the server runs as nobody, who owns only its home.
        QFile::setPermissions(Home.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                               QFile::ReadOther | QFile::ExeOther);
        for (const char* dir : {"home", "tmp"})
            ASSERT_EQ(::chown(QFile::encodeName(File(dir)).constData(), 65534, 65534), 0);
        server.Program = "setpriv";
        server.Prefix = {"--reuid=65534", "--regid=65534", "--clear-groups", program};
    } else {
        QFile::setPermissions(File("machine/machine.store"), QFile::ReadOwner | QFile::ReadOther);
        QFile::setPermissions(File("machine"),
                              QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther);
    }
    ASSERT_TRUE(server.Started());
    ASSERT_TRUE(server.Stops());

    EXPECT_EQ(Read("machine/machine.store"), machine);
    // The machine's settings were read: the log file is written where this user may write.
    EXPECT_THAT(Read("home/.local/share/dravon/Dravon.log"), HasSubstr("Server shut down at"));
    // No private copy of the machine store; the user's own data went to the user store.
    EXPECT_FALSE(QFile::exists(File("home/.local/share/dravon/machine.store")));
    EXPECT_THAT(Read("home/.config/dravon/user.store"), HasSubstr("dword \"FirstStart\" 0\n"));
    for (const char* dir : {"bin", "machine"})
        QFile::setPermissions(File(dir), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

TEST_F(ServerProcessTest, ServiceManagerHearsReadyStatusWatchdogAndStatusQueryAnswersAndSigtermEndsTheLog) {
    Write("machine.store", std::string(LogFileStore) +
                               "key HKEY_LOCAL_MACHINE \"SOFTWARE\\\\Norvane\\\\Dravon\\\\PLCList\"\n"
                               "dword \"Count\" 1\n"
                               "string \"PLCName0\" \"Press\"\n");
    // The test is the service manager: a datagram socket as systemd's notify socket.
    QDir().mkpath(File("run"));
    const std::string notifyPath = File("run/notify").toStdString();
    const int notify = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ASSERT_GE(notify, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(notifyPath.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, notifyPath.c_str(), notifyPath.size() + 1);
    ASSERT_EQ(::bind(notify, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    std::vector<std::string> received;
    auto count = [&](const std::string& text) {
        char buffer[4096];
        for (ssize_t n; (n = ::recv(notify, buffer, sizeof buffer, 0)) > 0;)
            received.emplace_back(buffer, static_cast<std::size_t>(n));
        int found = 0;
        for (const auto& message : received) found += message.find(text) != std::string::npos;
        return found;
    };

    TServerProcess server(Home.path());
    QProcessEnvironment environment = server.Process.processEnvironment();
    environment.insert("NOTIFY_SOCKET", QString::fromStdString(notifyPath));
    environment.insert("WATCHDOG_USEC", "400000");
    environment.remove("WATCHDOG_PID");
    server.Process.setProcessEnvironment(environment);
    server.Start({});
    ASSERT_TRUE(test::SpinUntil([&] { return count("READY=1") == 1; }, 15000))
        << server.Output << server.Errors;
    EXPECT_EQ(received.front(),
              "READY=1\nSTATUS=PLCs: 1 (connected 0, communication error 0, idle 1); clients: 0");
    ASSERT_TRUE(server.WaitForOutput("Server started at"));
    // Twice per watchdog period, from the main loop.
    ASSERT_TRUE(test::SpinUntil([&] { return count("WATCHDOG=1") >= 2; }, 15000));

    TServerProcess status(Home.path());
    ASSERT_TRUE(status.Runs({"--status"}, 0));
    EXPECT_THAT(status.Output,
                AllOf(StartsWith("Dravon OPC Data Access Server 1.0.0.0\nUp time: 0 days 00:00:"),
                      HasSubstr("\nPLCs: 1\n  Press: Idle, -\nClients: 0\n")));

    ASSERT_TRUE(server.Stops());
    EXPECT_EQ(count("STOPPING=1"), 1);
    EXPECT_EQ(count("READY=1"), 1);
    ::close(notify);

    // The log file: its head, the shut-down line last; positions were saved on the way out,
    // and no temporary file is left.
    const std::string log = Read("Dravon.log");
    EXPECT_THAT(log, StartsWith("\nLog file saved as " + Absolute + "Dravon.log" +
                                "\nDravon OPC Data Access Server 1.0.0.0\nServer started at "));
    EXPECT_THAT(log.substr(log.rfind('\n', log.size() - 2) + 1),
                AllOf(StartsWith("Server shut down at "), EndsWith("\n")))
        << log;
    EXPECT_THAT(Read("user.store"), HasSubstr("dword \"FirstStart\" 0\n"));
    for (const auto& entry : std::filesystem::directory_iterator(Home.path().toStdString())) {
        if (entry.is_directory()) continue;
        const std::string extension = entry.path().extension().string();
        EXPECT_TRUE(extension == ".store" || extension == ".lock" || extension == ".log") << entry.path();
    }

    TServerProcess none(Home.path());
    ASSERT_TRUE(none.Runs({"--status"}, 1));
    EXPECT_EQ(none.Errors, "No Dravon server is running\n");
}

TEST_F(ServerProcessTest, RegisterThenUnregisterBothRunAndNoServerStartsAndAReadOnlyStoreFailsVisibly) {
    TServerProcess registration(Home.path());
    ASSERT_TRUE(registration.Runs({"/REGISTER", "/UNREGISTER"}, 0));
    EXPECT_EQ(registration.Output, "");
    const std::string store = Read("machine.store");
    EXPECT_THAT(store,
                AllOf(HasSubstr("key HKEY_CLASSES_ROOT \"DravonOPC.DA2\\\\OPC\"\n"),
                      HasSubstr("key HKEY_CLASSES_ROOT \"Component Categories\\\\{63D5F432-CFE4-11d1-"
                                "B2C8-0060083BA1FB}\"\nstring \"409\" \"Dravon OPC Data Access Server\"\n"),
                      Not(HasSubstr("Implemented Categories")))); // removed by the second switch
    EXPECT_FALSE(QFile::exists(File("Dravon.log")));

    QFile::setPermissions(File("machine.store"), QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
    TServerProcess again(Home.path());
    ASSERT_TRUE(again.Runs({"/register"}, 1));
    EXPECT_THAT(again.Errors, HasSubstr("Dravon OPC Data Access Server registration failed."));
    EXPECT_EQ(Read("machine.store"), store);
}

TEST_F(ServerProcessTest, CorruptStoreStartsWithDefaultsAndHelpListsTheSwitches) {
    const std::string garbage("\x01\x02 not a store \xFF", 17);
    Write("machine.store", garbage);
    TServerProcess server(Home.path());
    ASSERT_TRUE(server.Started());
    // Named on the console (and in the log), and never overwritten.
    ASSERT_TRUE(server.WaitForOutput("is not a Dravon store file")) << server.Output;
    EXPECT_THAT(server.Output, HasSubstr(File("machine.store").toStdString()));
    ASSERT_TRUE(server.Stops());
    EXPECT_FALSE(QFile::exists(File("Dravon.log"))); // LogEvents is off by default
    EXPECT_EQ(Read("machine.store"), garbage);

    // The check reads the store as the server would and says what is wrong.
    Write("machine.store", "not a store either\n");
    TServerProcess check(Home.path());
    ASSERT_TRUE(check.Runs({"--check-config"}, 1));
    const std::string machine = Absolute + "machine.store";
    EXPECT_EQ(check.Output,
              machine + ": cannot be parsed, the server would start with defaults\n1 problem found in " +
                  machine + "\n");

    TServerProcess help(Home.path());
    ASSERT_TRUE(help.Runs({"--help"}, 0)); // the text itself is pinned in CommandLineTest
    EXPECT_THAT(help.Output, HasSubstr(UsageText("dravon")));
}

// Registrations beside a running server, and the server saving its configuration (as the
// dialog's OK does) at the same time: the PLC list is never lost or blanked, no
// registration fails, and the last saved values win.
TEST_F(ServerProcessTest, ConcurrentRegistrationsAndSavesNeverLoseThePlcList) {
    constexpr int PlcCount = 40;
    constexpr int Rounds = 6;
    constexpr int RegistrationsPerRound = 4;
    const std::string machine = File("machine.store").toStdString();
    const std::string user = File("user.store").toStdString();
    TFileStore saver(machine, user);
    auto save = [&](std::uint32_t round) {
        TStoreUpdate update(saver);
        auto key = saver.OpenKey(TRootKey::LocalMachine, PLCListKeyPath);
        if (!key || !key->WriteDword("Count", PlcCount)) return false;
        for (int i = 0; i < PlcCount; ++i) {
            const std::string n = std::to_string(i);
            if (!key->WriteString("PLCName" + n, "Line" + n) || !key->WriteDword("TimeOut" + n, 1000 + round))
                return false;
        }
        key.reset();
        TSettings settings;
        settings.WaitTime = static_cast<int>(round);
        return SaveConfigurationToRegistry(saver, settings, nullptr) && update.Commit();
    };
    auto listIntact = [&] {
        TFileStore reader(machine, user);
        auto key = reader.OpenKeyReadOnly(TRootKey::LocalMachine, PLCListKeyPath);
        return reader.MachineFileState() == TStoreFileState::Loaded && key &&
               key->ReadDword("Count") == PlcCount &&
               key->ReadString("PLCName" + std::to_string(PlcCount - 1)) ==
                   "Line" + std::to_string(PlcCount - 1);
    };
    ASSERT_TRUE(save(0));

    TServerProcess server(Home.path());
    ASSERT_TRUE(server.Started());
    std::uint32_t saves = 0;
    for (int round = 1; round <= Rounds; ++round) {
        std::vector<std::unique_ptr<TServerProcess>> registrations;
        for (int r = 0; r < RegistrationsPerRound; ++r) {
            registrations.push_back(std::make_unique<TServerProcess>(Home.path()));
            registrations.back()->Start({"/REGISTER"});
        }
        auto running = [&] {
            return std::any_of(registrations.begin(), registrations.end(),
                               [](const auto& p) { return p->Process.state() != QProcess::NotRunning; });
        };
        QDeadlineTimer deadline(60000);
        while (running() && !deadline.hasExpired()) {
            ASSERT_TRUE(save(++saves)) << "round " << round;
            ASSERT_TRUE(listIntact()) << "round " << round;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        for (auto& registration : registrations) ASSERT_TRUE(registration->Ends(0)) << "round " << round;
    }
    ASSERT_TRUE(server.Stops());

    // The last save won; the registrations and the server's own save are there.
    TFileStore after(machine, user);
    EXPECT_TRUE(after.TakeProblems().empty());
    auto list = after.OpenKeyReadOnly(TRootKey::LocalMachine, PLCListKeyPath);
    ASSERT_TRUE(list);
    TSettings settings;
    LoadConfigurationFromRegistry(after, settings);
    EXPECT_EQ(std::tuple(list->ReadDword("Count"), list->ReadDword("TimeOut0"), settings.WaitTime,
                         after.KeyExists(TRootKey::ClassesRoot, "DravonOPC.DA2\\OPC"),
                         after.KeyExists(TRootKey::CurrentUser, PositionsKeyPath)),
              std::tuple(std::optional<std::uint32_t>(PlcCount), std::optional(1000 + saves),
                         static_cast<int>(saves), true, true));
}

// SIGTERM while a large store loads: the start-up stops where it is, writes nothing and
// ends with status 0 (no server started, no half-written file).
TEST_F(ServerProcessTest, SigtermDuringASlowStartEndsInOrder) {
    std::string text = "DRAVON-STORE 1\nkey HKEY_LOCAL_MACHINE \"SOFTWARE\\\\Norvane\\\\Dravon\\\\PLCList\"\n"
                       "dword \"Count\" 5000\n";
    for (int i = 0; i < 5000; ++i) {
        const std::string n = std::to_string(i);
        text += "string \"PLCName" + n + "\" \"P" + n + "\"\nstring \"PLCIP" + n +
                "\" \"127.0.0.1\"\ndword \"TimeOut" + n + "\" 1000\ndword \"DrvType" + n + "\" 0\n";
    }
    Write("machine.store", text);
    TServerProcess server(Home.path());
    server.Start({});
    ASSERT_TRUE(server.Process.waitForStarted(15000));
    // The signal is sent once the program holds it (before that the system's default
    // action would end it): from then on the start-up must stop in order.
    const std::string status = "/proc/" + std::to_string(server.Process.processId()) + "/status";
    ASSERT_TRUE(test::SpinUntil(
        [&] {
            const std::string text = test::ReadFile(status);
            const auto at = text.find("SigBlk:\t");
            return at != std::string::npos &&
                   (std::stoull(text.substr(at + 8, 16), nullptr, 16) & (1ull << (SIGTERM - 1)));
        },
        15000));
    ASSERT_TRUE(server.Stops(30000));
    EXPECT_THAT(server.Errors, HasSubstr("start-up stopped by signal 15"));
    EXPECT_THAT(server.Output, Not(HasSubstr("Server started at")));
    EXPECT_EQ(Read("machine.store"), text);
    EXPECT_FALSE(QFile::exists(File("user.store")));
}

} // namespace
} // namespace dravon
