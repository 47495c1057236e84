#include "app/Logger.h"
#include "TempDir.h"
#include "app/TimeDate.h"
#include "support/FakePlatform.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace dravon {
namespace {

// A call block is six lines, a session two blocks and the separator after its end; a
// disabled logger writes nothing but keeps the nesting.
TEST(LoggerTest, CallBlocksSessionLinesAndTheSeparatorAfterTheSession) {
    test::TTempDir dir;
    const std::string path = dir.File("DravonDebug.Log");
    test::TManualClock clock;
    TLogger off(clock, path);
    off.BeginBlock(lkCallStart, "a", false);
    const int inBlock = off.Depth();
    off.EndBlock(lkCallEnd, "a", false);
    EXPECT_EQ(std::pair(inBlock, off.Depth()), std::pair(2, 1));
    EXPECT_FALSE(std::filesystem::exists(path));

    TLogger log(clock, path);
    log.Enabled = true;
    log.BeginBlock(lkCallStart, "IOPCServer::AddGroup", false);
    log.WriteLine(lkNone, "inner", false);
    log.EndBlock(lkCallEnd, "IOPCServer::AddGroup = S_OK", false);
    log.SessionStarted();
    log.WriteLine(lkCall, "IOPCCommon::GetLocalID=", false);
    log.SessionEnded();
    const std::string stamp = DateTimeText(clock.Now());
    // The session's end is followed by LF CR LF CR LF CR as a line of its own.
    EXPECT_EQ(test::ReadFile(path), "\n"
                                    "| Call start | IOPCServer::AddGroup\n"
                                    "|  \n"
                                    "|  | inner\n"
                                    "|\n"
                                    "| Call end   | IOPCServer::AddGroup = S_OK\n"
                                    "|" +
                                        stamp +
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
