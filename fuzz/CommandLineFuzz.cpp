// The single-instance channel from both ends: command-line arguments (the bytes
// NUL-separated, any bytes) as parsed and cut into hand-over pieces by a second start, and
// the same bytes as what a second start (or anything else that connects) sends to the
// running server.
#include "support/FuzzInput.h"

#include "app/CommandLine.h"
#include "app/InstanceHandOver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace dravon;
    std::vector<std::string> arguments(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            arguments.emplace_back();
        else
            arguments.back() += static_cast<char>(data[i]);
    }
    int ran = 0;
    TCommandLine line = ParseCommandLine(arguments, [&](TRegistrationAction) { return ++ran % 2 == 0; });
    fuzz::Check(line.RegistrationRan == (ran > 0) && line.Actions.size() == static_cast<std::size_t>(ran) &&
                (!line.StartInTray || line.StartedByClient));
    ComStartMode(arguments);
    std::string text = HandOverText(arguments, "/w");
    std::string joined;
    for (const auto& piece : HandOverPieces(text)) {
        fuzz::Check(piece.size() <= CommandLinePieceSize);
        joined += piece;
    }
    fuzz::Check(joined == text);

    TInstanceMessageReader reader;
    // Fed in uneven slices, as a socket may deliver them.
    for (std::size_t pos = 0, step = 1; pos < size; step = step % 13 + 1) {
        const std::size_t n = std::min(step, size - pos);
        reader.Feed(std::string_view(reinterpret_cast<const char*>(data) + pos, n));
        pos += n;
        for (const auto& message : reader.Take()) {
            fuzz::Check(message.Payload.size() <= CommandLinePieceSize);
            std::string piece;
            if (message.Number == MsgCommandLinePiece && reader.AddPiece(message.Payload, piece))
                fuzz::Check(piece.size() <= TInstanceMessageReader::MaxCommandLine);
        }
    }
    return 0;
}
