#include "app/InstanceHandOver.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace dravon {
namespace {

using namespace std::string_literals;

// A full path as the system writes it (backslashes on Windows).
std::string Native(const std::string& path) { return std::filesystem::path(path).make_preferred().string(); }

// The text expands file arguments and ends with ESC; it goes in pieces of 200 characters,
// each a message on the wire.
TEST(InstanceHandOverTest, TextPiecesAndMessages) {
    EXPECT_EQ(HandOverText({}, "/home/op"), "");
    EXPECT_EQ(HandOverText({" /show ", "list.txt", ".", "..", "  ", "-debuglog", "sub/../x"}, "/home/op"),
              "/show\t" + Native("/home/op/list.txt") + "\t.\t..\t\t" + Native("/home/op/-debuglog") + "\t" +
                  Native("/home/op/x") + "\x1B");
    EXPECT_EQ(HandOverPieces(std::string(450, 'a') + "\x1B"),
              (std::vector{std::string(200, 'a'), std::string(200, 'a'), std::string(50, 'a') + "\x1B"}));
    EXPECT_TRUE(HandOverPieces("").empty());
    EXPECT_EQ(EncodeInstanceMessage(1029, "ab"), "\x00\x00\x04\x05\x00\x00\x00\x02"
                                                 "ab"s);
    EXPECT_EQ(EncodeInstanceMessage(1030, ""), "\x00\x00\x04\x06\x00\x00\x00\x00"s);
    EXPECT_EQ(EncodeReply(0), "\x00\x00\x00\x00"s);
}

TEST(InstanceHandOverTest, ReaderReassemblesSplitMessagesAndTheCommandLine) {
    std::string stream;
    const std::string text = std::string(250, 'x') + "\x1B";
    for (const auto& piece : HandOverPieces(text))
        stream += EncodeInstanceMessage(1029, piece); // a piece of the command line
    stream += EncodeInstanceMessage(1030, "");        // show the window
    TInstanceMessageReader reader;
    std::vector<TInstanceMessage> messages;
    for (char byte : stream) { // one byte at a time, as a slow socket may deliver them
        reader.Feed(std::string_view(&byte, 1));
        for (auto& m : reader.Take()) messages.push_back(std::move(m));
    }
    ASSERT_EQ(messages.size(), 3u);
    std::string received;
    EXPECT_FALSE(reader.AddPiece(messages[0].Payload, received));
    EXPECT_TRUE(reader.AddPiece(messages[1].Payload, received));
    EXPECT_EQ(received, std::string(250, 'x'));
    EXPECT_TRUE(messages[2].Number == 1030 && !reader.Failed());
}

TEST(InstanceHandOverTest, MalformedStreamsPoisonTheConnection) {
    for (const std::string& bad :
         {"\x00\x00\x04\x05\x00\x00\x00\xC9"s + std::string(201, 'a'), // piece too long
          "\x00\x00\x04\x07\x00\x00\x00\x00"s,                         // unknown message
          "\x00\x00\x04\x06\x00\x00\x00\x01z"s}) {                     // 1030 with payload
        TInstanceMessageReader reader;
        reader.Feed(bad);
        EXPECT_TRUE(reader.Failed() && reader.Take().empty());
    }
}

TEST(InstanceHandOverTest, EndlessCommandLineIsDropped) {
    TInstanceMessageReader reader;
    std::string text;
    // 256 pieces fill the 64 KiB a command line may have; the next one is dropped with them.
    for (int i = 0; i < 257; ++i) EXPECT_FALSE(reader.AddPiece(std::string(256, 'a'), text)) << i;
    // After the drop a proper command line still comes through, alone.
    EXPECT_TRUE(reader.AddPiece("ok\x1B", text));
    EXPECT_EQ(text, "ok");
}

} // namespace
} // namespace dravon
