// Runs the real dravon program for a test: its own DRAVON_HOME, no display, output
// collected, every wait bounded.
#pragma once

#include "LoopbackServer.h"
#include "support/QtApplication.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace dravon::test {

class TServerProcess {
public:
    explicit TServerProcess(const QString& home) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("DRAVON_HOME", home);
        environment.remove("DISPLAY");
        environment.remove("WAYLAND_DISPLAY");
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        Process.setProcessEnvironment(environment);
        Process.setWorkingDirectory(home);
        QObject::connect(&Process, &QProcess::readyReadStandardOutput,
                         [this] { Output += Process.readAllStandardOutput().toStdString(); });
        QObject::connect(&Process, &QProcess::readyReadStandardError,
                         [this] { Errors += Process.readAllStandardError().toStdString(); });
    }
    ~TServerProcess() {
        if (Process.state() != QProcess::NotRunning) {
            Process.kill();
            Process.waitForFinished(5000);
        }
    }

    // Without DRAVON_HOME: the store files in the user's folders under root/home, the lock
    // under root/tmp and the machine-wide store in root/machine (when that exists).
    void WithoutDravonHome(const QString& root) {
        QProcessEnvironment environment = Process.processEnvironment();
        environment.remove("DRAVON_HOME");
        environment.remove("XDG_CONFIG_HOME");
        environment.remove("XDG_DATA_HOME");
        environment.insert("HOME", root + "/home");
        environment.insert("TMPDIR", root + "/tmp");
        environment.insert("DRAVON_MACHINE_DIR", root + "/machine");
        Process.setProcessEnvironment(environment);
    }

    void Start(const QStringList& arguments) { Process.start(Program, Prefix + arguments); }
    bool WaitForOutput(const std::string& text, int boundMs = 15000) {
        return SpinUntil([&] { return Output.find(text) != std::string::npos; }, boundMs);
    }
    // Starts the server and waits for its start line.
    ::testing::AssertionResult Started(const QStringList& arguments = {}) {
        Start(arguments);
        if (WaitForOutput("Server started at")) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "no start line\n" << Output << Errors;
    }
    // Waits for the end, which must be a normal exit with code.
    ::testing::AssertionResult Ends(int code, int boundMs = 15000) {
        if (!SpinUntil([&] { return Process.state() == QProcess::NotRunning; }, boundMs))
            return ::testing::AssertionFailure() << "did not end\n" << Output << Errors;
        if (Process.exitStatus() == QProcess::NormalExit && Process.exitCode() == code)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "ended with " << Process.exitCode() << "\n"
                                             << Output << Errors;
    }
    ::testing::AssertionResult Runs(const QStringList& arguments, int code) {
        Start(arguments);
        return Ends(code);
    }
    // SIGTERM, then a normal end with status 0.
    ::testing::AssertionResult Stops(int boundMs = 15000) {
        Process.terminate();
        return Ends(0, boundMs);
    }

    QString Program = DRAVON_PROGRAM;
    QStringList Prefix; // arguments before the program's own (when Program runs it)
    QProcess Process;
    std::string Output;
    std::string Errors;
};

} // namespace dravon::test
