// One server per user (and per DRAVON_HOME). The lock "DravonOPCDataAccessServerMutex"
// marks the running server; a local socket stands in for finding its window. A second
// start hands its command line over in 200-character pieces, asks the first to show its
// window, and ends.
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

class TSingleInstance {
public:
    static constexpr const char* LockName = "DravonOPCDataAccessServerMutex";
    static constexpr int MaxConnections = 8;

    // scope keeps servers of different users or DRAVON_HOME folders apart.
    explicit TSingleInstance(const std::string& scope);
    ~TSingleInstance();
    TSingleInstance(const TSingleInstance&) = delete;
    TSingleInstance& operator=(const TSingleInstance&) = delete;

    // Takes the lock and starts listening; false when another server holds the lock.
    bool Acquire();
    // In a second start: hands the arguments over to the running server within timeoutMs.
    // False when no server answered, or it allows several instances (then start normally).
    bool HandOver(const std::vector<std::string>& arguments, int timeoutMs = 5000);

    // In the running server: a complete command line of a second start, and its 1030.
    std::function<void(const std::string&)> OnCommandLine;
    std::function<void()> OnShowRequest;

    QString ServerName() const { return ServerName_; }

private:
    void Accept();
    void Receive(QLocalSocket* socket);

    QString ServerName_;
    QLockFile Lock_;
    QLocalServer Server_;
    std::map<QLocalSocket*, TInstanceMessageReader> Readers_;
};

} // namespace dravon
