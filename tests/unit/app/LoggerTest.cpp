#include "app/Logger.h"
#include "TempDir.h"
#include "app/TimeDate.h"
#include "support/FakePlatform.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace dravon {
namespace {

class LoggerTest : public ::testing::Test {
protected:
    test::TTempDir Dir;
    std::string Path = Dir.File("DravonDebug.Log");
    test::TManualClock Clock;
};

TEST_F(LoggerTest, CallBlockWritesSixLinesAndADisabledLoggerOnlyKeepsTheNesting) {
    TLogger off(Clock, Path);
    off.BeginBlock(lkCallStart, "a", false);
    const int inBlock = off.Depth();
    off.EndBlock(lkCallEnd, "a", false);
    EXPECT_EQ(std::pair(inBlock, off.Depth()), std::pair(2, 1));
    EXPECT_FALSE(std::filesystem::exists(Path));

    TLogger log(Clock, Path);
    log.Enabled = true;
    log.BeginBlock(lkCallStart, "IOPCServer::AddGroup", false);
    log.WriteLine(lkNone, "inner", false);
    log.EndBlock(lkCallEnd, "IOPCServer::AddGroup = S_OK", false);
    EXPECT_EQ(test::ReadFile(Path), "\n"
                                    "| Call start | IOPCServer::AddGroup\n"
                                    "|  \n"
                                    "|  | inner\n"
                                    "|\n"
                                    "| Call end   | IOPCServer::AddGroup = S_OK\n");
}

TEST_F(LoggerTest, SessionLinesAndTheSeparatorAfterTheSession) {
    TLogger log(Clock, Path);
    log.Enabled = true;
    log.SessionStarted();
    log.WriteLine(lkCall, "IOPCCommon::GetLocalID=", false);
    log.SessionEnded();
    const std::string stamp = DateTimeText(Clock.Now());
    // The session's end is followed by LF CR LF CR LF CR as a line of its own.
    EXPECT_EQ(test::ReadFile(Path), "|" + stamp +
                                        "| Session | OPC server session started\n"
                                        "|  \n"
                                        "|  | Call | IOPCCommon::GetLocalID=\n"
                                        "|\n"
                                        "|" +
                                        stamp +
                                        "| Session | OPC server session ended\n"
                                        "\n\r\n\r\n\r\n");
}

} // namespace
} // namespace dravon
