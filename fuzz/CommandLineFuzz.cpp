// Command-line arguments: NUL-separated arguments, any bytes.
#include "app/CommandLine.h"
#include "app/InstanceHandOver.h"

#include <cstdint>
#include <cstdlib>

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
    if (line.RegistrationRan != (ran > 0) || line.Actions.size() != static_cast<std::size_t>(ran))
        std::abort();
    if (line.StartInTray && !line.StartedByClient) std::abort();
    ComStartMode(arguments);
    std::string text = HandOverText(arguments, "/w");
    std::string joined;
    for (const auto& piece : HandOverPieces(text)) {
        if (piece.size() > CommandLinePieceSize) std::abort();
        joined += piece;
    }
    if (joined != text) std::abort();
    return 0;
}
