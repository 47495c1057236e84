// The hand-over from a second start to the running server, over a local stream socket.
//
// Messages keep the numbers of the window messages they stand for:
//   1028  may several instances run? (the running server answers with a 4-byte 0: no)
//   1029  one piece of the second start's command line (at most 200 characters); the
//         last piece ends with ESC
//   1030  show the main window
//   1100  status request (`dravon --status`); the server answers with a 1100 message whose
//         payload is its status text
// Each message is a 4-byte message number, a 4-byte payload length (both most
// significant byte first) and the payload.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dravon {

inline constexpr std::uint32_t MsgInstancesAllowed = 1028;
inline constexpr std::uint32_t MsgCommandLinePiece = 1029;
inline constexpr std::uint32_t MsgShowWindow = 1030;
inline constexpr std::uint32_t MsgStatus = 1100;
inline constexpr std::size_t MaxStatusText = 64 * 1024;
inline constexpr std::size_t CommandLinePieceSize = 200;
inline constexpr char CommandLineEnd = 27; // ESC

struct TInstanceMessage {
    std::uint32_t Number = 0;
    std::string Payload;
};

std::string EncodeInstanceMessage(std::uint32_t number, std::string_view payload);
std::string EncodeReply(std::uint32_t result);

// The command-line text a second start sends: each argument trimmed; one that is not
// empty, ".", ".." and does not start with "/" is made a full file name against
// workingDirectory; joined by tabs, ESC appended. Empty when there are no arguments.
std::string HandOverText(const std::vector<std::string>& arguments, const std::string& workingDirectory);
// The text cut into pieces of 200 characters (the last one shorter).
std::vector<std::string> HandOverPieces(const std::string& text);

// Splits the received byte stream into messages. Anything malformed (an unknown
// message, an oversized piece) poisons the connection: the receiver drops it.
class TInstanceMessageReader {
public:
    static constexpr std::size_t MaxCommandLine = 64 * 1024;

    // Appends bytes; complete messages become available through Take().
    void Feed(std::string_view bytes);
    std::vector<TInstanceMessage> Take();
    bool Failed() const { return Failed_; }

    // Pieces of 1029 collect here; the text is complete when a piece ends with ESC.
    // Returns true once per complete command line (its text without the ESC in `text`).
    bool AddPiece(const std::string& piece, std::string& text);

private:
    std::string Buffer_;
    std::vector<TInstanceMessage> Ready_;
    std::string CommandLine_;
    bool Failed_ = false;
};

} // namespace dravon
