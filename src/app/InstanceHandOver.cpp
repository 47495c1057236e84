#include "app/InstanceHandOver.h"

#include <filesystem>

namespace dravon {

namespace {

void PutUint32(std::string& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((value >> shift) & 0xFF);
}

std::uint32_t GetUint32(std::string_view in) {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value = value << 8 | static_cast<unsigned char>(in[static_cast<std::size_t>(i)]);
    return value;
}

std::string Trim(const std::string& text) {
    const char* blanks = " \t\r\n";
    auto first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return std::string();
    auto last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

constexpr std::size_t HeaderSize = 8;

} // namespace

std::string EncodeInstanceMessage(std::uint32_t number, std::string_view payload) {
    std::string out;
    PutUint32(out, number);
    PutUint32(out, static_cast<std::uint32_t>(payload.size()));
    out += payload;
    return out;
}

std::string EncodeReply(std::uint32_t result) {
    std::string out;
    PutUint32(out, result);
    return out;
}

std::string HandOverText(const std::vector<std::string>& arguments, const std::string& workingDirectory) {
    if (arguments.empty()) return std::string();
    std::string text;
    for (const auto& raw : arguments) {
        std::string argument = Trim(raw);
        if (!argument.empty() && argument != "." && argument != ".." && argument[0] != '/')
            argument = (std::filesystem::path(workingDirectory) / argument).lexically_normal().string();
        text += '\t';
        text += argument;
    }
    text.erase(0, 1);
    text += CommandLineEnd;
    return text;
}

std::vector<std::string> HandOverPieces(const std::string& text) {
    std::vector<std::string> pieces;
    for (std::size_t pos = 0; pos < text.size(); pos += CommandLinePieceSize)
        pieces.push_back(text.substr(pos, CommandLinePieceSize));
    return pieces;
}

void TInstanceMessageReader::Feed(std::string_view bytes) {
    if (Failed_) return;
    Buffer_.append(bytes);
    while (Buffer_.size() >= HeaderSize) {
        std::uint32_t number = GetUint32(Buffer_);
        std::uint32_t length = GetUint32(std::string_view(Buffer_).substr(4));
        bool known = number == MsgInstancesAllowed || number == MsgCommandLinePiece ||
                     number == MsgShowWindow || number == MsgStatus;
        std::uint32_t limit = number == MsgCommandLinePiece ? CommandLinePieceSize : 0;
        if (!known || length > limit) {
            Failed_ = true;
            Buffer_.clear();
            return;
        }
        if (Buffer_.size() < HeaderSize + length) return;
        Ready_.push_back({number, Buffer_.substr(HeaderSize, length)});
        Buffer_.erase(0, HeaderSize + length);
    }
}

std::vector<TInstanceMessage> TInstanceMessageReader::Take() {
    std::vector<TInstanceMessage> ready;
    ready.swap(Ready_);
    return ready;
}

bool TInstanceMessageReader::AddPiece(const std::string& piece, std::string& text) {
    if (CommandLine_.size() + piece.size() > MaxCommandLine) {
        // A command line this long is not one a start could have had: drop it.
        CommandLine_.clear();
        return false;
    }
    CommandLine_ += piece;
    if (CommandLine_.empty() || CommandLine_.back() != CommandLineEnd) return false;
    text = CommandLine_.substr(0, CommandLine_.size() - 1);
    CommandLine_.clear();
    return true;
}

} // namespace dravon
