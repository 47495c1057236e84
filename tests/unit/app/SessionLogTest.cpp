#include "app/SessionLog.h"
#include "TempDir.h"
#include "app/Settings.h"
#include "app/TimeDate.h"
#include "support/TestContext.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <tuple>

namespace dravon {
namespace {

class SessionLogTest : public ::testing::Test {
protected:
    test::TTempDir Dir;
    std::string Directory = Dir.Path.string() + "/";
    TSettings Settings;
    test::TManualClock Clock;
    test::TLogCapture Capture;
    std::string Stamp() const { return TimeDateText(Clock.Now()); }
};

// The file is appended to after one empty line: the file line, the banner (of an unknown
// version here) and the start line, every one shown in the label too; lines added before
// the banner are held until it.
TEST_F(SessionLogTest, CreateWritesFileLineBannerAndStartLineAfterOneEmptyLineThenTheHeldLines) {
    Settings.LogEvents = true;
    const std::string file = Directory + "Dravon.log";
    test::WriteFile(file, "old\n");
    TSessionLog log(Settings, Clock, Directory);
    log.AddView(&Capture);
    log.HoldLines();
    log.Add("Store file x line 3 skipped: value before any key", false);
    EXPECT_TRUE(Capture.Lines.empty());
    log.Create("");
    const std::vector<std::string> lines{"Log file saved as " + file, "Dravon OPC Data Access Server Unknown",
                                         "Server started at " + Stamp(),
                                         "Store file x line 3 skipped: value before any key"};
    EXPECT_EQ(Capture.Lines, lines);
    EXPECT_EQ(Capture.Messages, std::vector(lines.begin(), lines.end() - 1));
    EXPECT_EQ(test::ReadFile(file),
              "old\n\n" + lines[0] + "\n" + lines[1] + "\n" + lines[2] + "\n" + lines[3] + "\n");
    Clock.Step(2000);
    log.Destroy();
    EXPECT_EQ(Capture.Lines.back(), "Server shut down at " + Stamp());
}

TEST_F(SessionLogTest, UnpreparableFileIsReportedOnceAndTheMemoGoesOn) {
    Settings.LogEvents = true;
    const std::string missing = Directory + "no/such/folder/";
    TSessionLog log(Settings, Clock, missing);
    log.AddView(&Capture);
    log.Create("1.0.0.0");
    EXPECT_EQ(Capture.Lines.front(), "Unable to create log file " + missing + "Dravon.log");
    EXPECT_EQ(Capture.CountStartingWith("Unable to create log file"), 1);
    EXPECT_TRUE(log.FileName().empty());
    log.Add("later", false);
    EXPECT_EQ(Capture.Lines.back(), "later");
    EXPECT_EQ(Capture.Messages.back(), "Server started at " + Stamp()); // not shown in the label
}

TEST_F(SessionLogTest, LogEventsOffTouchesNoFileAndSwitchingItOffStopsTheFileAtTheNextLine) {
    {
        TSessionLog log(Settings, Clock, Directory);
        log.AddView(&Capture);
        log.Create("1.0.0.0");
        log.Add("event", true);
        EXPECT_FALSE(std::filesystem::exists(Directory + "Dravon.log"));
        EXPECT_EQ(std::tuple(Capture.Lines.size(), log.MemoLines().size()), std::tuple(3u, 3u));
    }
    Settings.LogEvents = true;
    TSessionLog log(Settings, Clock, Directory);
    log.Create("1.0.0.0");
    log.Add("kept", false);
    Settings.LogEvents = false;
    log.Add("memo only", false);
    const std::string text = test::ReadFile(Directory + "Dravon.log");
    EXPECT_NE(text.find("kept\n"), std::string::npos);
    EXPECT_EQ(text.find("memo only"), std::string::npos);
}

TEST_F(SessionLogTest, MemoOverTheBoundIsClearedBeforeTheNextLine) {
    TSessionLog log(Settings, Clock, Directory);
    // 29 998 characters of text + 2 for its line break = 30 000: not over the bound.
    log.Add(std::string(29998, 'a'), false);
    EXPECT_EQ(log.MemoChars(), 30000u);
    log.Add("b", false);
    EXPECT_EQ(log.MemoLines().size(), 2u);
    // Now 30 003: the next line clears the memo and is then its only line.
    log.AddView(&Capture);
    log.Add("c", false);
    EXPECT_EQ(log.MemoLines(), std::vector<std::string>{"c"});
}

TEST_F(SessionLogTest, AFullDiskIsSaidOnceAndTheGapNamedWhenSpaceReturns) {
#ifdef _WIN32
    GTEST_SKIP() << "needs /dev/full";
#endif
    Settings.LogEvents = true;
    const std::string file = Directory + "Dravon.log";
    TSessionLog log(Settings, Clock, Directory);
    std::ostringstream console;
    log.SetErrorStream(&console);
    log.Create("1.0.0.0");
    // The disk fills: every write fails with ENOSPC.
    std::filesystem::remove(file);
    std::filesystem::create_symlink("/dev/full", file);
    log.Add("lost one", false);
    log.Add("lost two", false);
    EXPECT_EQ(console.str(), "Unable to write log file " + file +
                                 " (No space left on device); lines are counted until it can be written\n");
    // The window still shows them.
    EXPECT_EQ(std::tuple(log.LostLines(), log.MemoLines().back()), std::tuple(2u, "lost two"));
    // Space returns.
    std::filesystem::remove(file);
    log.Add("next", false);
    EXPECT_EQ(test::ReadFile(file), "2 lines could not be written\nnext\n");
    EXPECT_EQ(log.LostLines(), 0u);
}

} // namespace
} // namespace dravon
