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
    // The session's lines carry the time (T here); its end is followed by LF CR LF CR LF CR as
    // a line of its own.
    std::string expected = "\n"
                           "| Call start | IOPCServer::AddGroup\n"
                           "|  \n"
                           "|  | inner\n"
                           "|\n"
                           "| Call end   | IOPCServer::AddGroup = S_OK\n"
                           "|T| Session | OPC server session started\n"
                           "|  \n"
                           "|  | Call | IOPCCommon::GetLocalID=\n"
                           "|\n"
                           "|T| Session | OPC server session ended\n"
                           "\n\r\n\r\n\r\n";
    for (std::size_t at; (at = expected.find("|T|")) != std::string::npos;)
        expected.replace(at + 1, 1, DateTimeText(clock.Now()));
    EXPECT_EQ(test::ReadFile(path), expected);
}

} // namespace
} // namespace dravon
