// One server per scope (its store files). The lock "DravonOPCDataAccessServerMutex"
// marks the running server; a local socket stands in for finding its window. A second
// start hands its command line over in 200-character pieces, asks the first to show its
// window, and ends. A server that holds the lock but does not answer is never joined by a
// second one: the start gives up and says so.
#pragma once

#include "app/InstanceHandOver.h"

#include <QLocalServer>
#include <QLockFile>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class QLocalSocket;

namespace dravon {

enum class THandOver { Done, InstancesAllowed, NoAnswer };
enum class TInstanceStart { Run, HandedOver, NoAnswer };

class TSingleInstance {
public:
    static constexpr int HandOverTimeoutMs = 5000;
    static constexpr int HandOverAttempts = 2;

    static constexpr const char* LockName = "DravonOPCDataAccessServerMutex";
    static constexpr int MaxConnections = 8;

    // scope keeps servers of different users or DRAVON_HOME folders apart; the lock and
    // the channel live in directory (the temp folder when empty).
    explicit TSingleInstance(const std::string& scope, const std::string& directory = {});
    ~TSingleInstance();
    TSingleInstance(const TSingleInstance&) = delete;
    TSingleInstance& operator=(const TSingleInstance&) = delete;

    // Takes the lock and starts listening; false when another server holds the lock.
    bool Acquire();
    // In a second start: hands the arguments over to the running server within timeoutMs.
    THandOver HandOver(const std::vector<std::string>& arguments, int timeoutMs = HandOverTimeoutMs);
    // The whole check: the lock, else the hand-over; a silent holder of the lock is tried
    // `attempts` times (taking the lock again in between, in case it ended meanwhile).
    TInstanceStart Start(const std::vector<std::string>& arguments, int attempts = HandOverAttempts,
                         int timeoutMs = HandOverTimeoutMs);

    // Asks the running server for its status text within timeoutMs; false when none
    // answers.
    bool QueryStatus(std::string& text, int timeoutMs = 3000);

    // In the running server: a complete command line of a second start, and its 1030.
    std::function<void(const std::string&)> OnCommandLine;
    std::function<void()> OnShowRequest;
    std::function<std::string()> OnStatusRequest;

    QString ServerName() const { return ServerName_; }

private:
    void Accept();
    void Receive(QLocalSocket* socket);

    QString Directory_;
    QString ServerName_;
    QLockFile Lock_;
    QLocalServer Server_;
    std::map<QLocalSocket*, TInstanceMessageReader> Readers_;
};

} // namespace dravon
