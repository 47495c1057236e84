// The bytes a second start (or anything else that connects) sends to the running server.
#include "support/FuzzInput.h"

#include "app/InstanceHandOver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace dravon;
    TInstanceMessageReader reader;
    // Feed in uneven slices, as a socket may deliver them.
    std::size_t pos = 0, step = 1;
    while (pos < size) {
        std::size_t n = std::min(step, size - pos);
        reader.Feed(std::string_view(reinterpret_cast<const char*>(data) + pos, n));
        pos += n;
        step = step % 13 + 1;
        for (const auto& message : reader.Take()) {
            fuzz::Check(message.Payload.size() <= CommandLinePieceSize);
            std::string text;
            if (message.Number == MsgCommandLinePiece && reader.AddPiece(message.Payload, text))
                fuzz::Check(text.size() <= TInstanceMessageReader::MaxCommandLine);
        }
    }
    return 0;
}
