#include "app/Logger.h"
#include "app/TimeDate.h"
#include "support/FakePlatform.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace dravon {
namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        Dir = std::filesystem::temp_directory_path() /
              ("dravon-logger-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(Dir);
        Path = (Dir / "DravonDebug.Log").string();
    }
    void TearDown() override { std::filesystem::remove_all(Dir); }
    std::filesystem::path Dir;
    std::string Path;
    test::TManualClock Clock;
};

TEST_F(LoggerTest, CallBlockWritesSixLines) {
    TLogger log(Clock, Path);
    log.Enabled = true;
    log.BeginBlock(lkCallStart, "IOPCServer::AddGroup", false);
    log.WriteLine(lkNone, "inner", false);
    log.EndBlock(lkCallEnd, "IOPCServer::AddGroup = S_OK", false);
    EXPECT_EQ(ReadAll(Path), "\n"
                             "| Call start | IOPCServer::AddGroup\n"
                             "|  \n"
                             "|  | inner\n"
                             "|\n"
                             "| Call end   | IOPCServer::AddGroup = S_OK\n");
}

TEST_F(LoggerTest, DisabledLoggerKeepsNestingButWritesNothing) {
    TLogger log(Clock, Path);
    log.BeginBlock(lkCallStart, "a", false);
    EXPECT_EQ(log.Depth(), 2);
    log.EndBlock(lkCallEnd, "a", false);
    EXPECT_EQ(log.Depth(), 1);
    EXPECT_FALSE(std::filesystem::exists(Path));
}

TEST_F(LoggerTest, SessionLinesAndClosingBlock) {
    TLogger log(Clock, Path);
    log.Enabled = true;
    log.SessionStarted();
    log.WriteLine(lkCall, "IOPCCommon::GetLocalID=", false);
    log.SessionEnded();
    std::string text = ReadAll(Path);
    std::string stamp = DateTimeText(Clock.Now());
    EXPECT_EQ(text, "|" + stamp +
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
