// Command-line arguments: NUL-separated arguments, any bytes.
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
    return 0;
}
