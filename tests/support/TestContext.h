// A complete server context for core tests: fake platform, in-memory store, the two logs
// (session log lines collected in memory, no files unless a test asks for them).
#pragma once

#include "app/Logger.h"
#include "app/MemoryStore.h"
#include "app/ServerContext.h"
#include "app/SessionLog.h"
#include "support/FakePlatform.h"

#include <string>
#include <vector>

namespace dravon::test {

class TLogCapture : public ISessionLogView {
public:
    std::vector<std::string> Lines;
    std::vector<std::string> Messages;
    void MemoCleared() override {}
    void MemoLineAdded(const std::string& line) override { Lines.push_back(line); }
    void ShowMessage(const std::string& text, unsigned) override { Messages.push_back(text); }
    // Lines that start with the given text.
    int CountStartingWith(const std::string& start) const {
        int n = 0;
        for (const auto& line : Lines) n += line.rfind(start, 0) == 0;
        return n;
    }
};

class TTestContext {
public:
    TTestContext() {
        Context.Clock = &Platform.Clock;
        Context.Loop = &Platform;
        Context.Timers = &Platform;
        Context.Store = &Store;
        Context.Log = &Log;
        Context.Debug = &Debug;
        Context.ApplicationDirectory = "/nonexistent-dravon-test-dir/";
        Log.AddView(&Capture);
    }
    TTestContext(const TTestContext&) = delete;
    TTestContext& operator=(const TTestContext&) = delete;

    TFakePlatform Platform;
    TMemoryStore Store;
    TServerContext Context;
    TSessionLog Log{Context.Settings, Platform.Clock, "/nonexistent-dravon-test-dir/"};
    TLogger Debug{Platform.Clock, "/nonexistent-dravon-test-dir/DravonDebug.Log"};
    TLogCapture Capture;
};

} // namespace dravon::test
