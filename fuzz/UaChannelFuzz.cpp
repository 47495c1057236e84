// Whole connections into the channel state machine: the input is a script of steps
// (well-formed Hello, OpenSecureChannel, message chunks and CloseSecureChannel with
// values from the input, raw bytes, time passing, responses of any size, a client that
// stops reading) under limits from the input. Beyond "no crash", what the channel writes
// is checked: whole frames within the client's buffer, nothing after an Error message,
// consecutive sequence numbers, one close.
#include "support/FakePlatform.h"
#include "support/FuzzInput.h"
#include "ua/UaChannel.h"
#include "ua/UaStatusCodes.h"
#include "unit/ua/UaTestClient.h"

using namespace dravon;
using namespace dravon::test;
using fuzz::Check;

namespace {

// Frames written since the last look: complete, within the buffer, nothing after ERR.
struct TWatcher {
    void Look(TFakeUaSocket& socket, const TUaChannel& channel) {
        std::string& data = socket.Written;
        while (data.size() >= 8) {
            Check(!SawError);
            TUaBinaryReader r(std::string_view(data).substr(4, 4));
            std::uint32_t size = r.UInt32();
            Check(size >= 8 && size <= data.size());
            std::string type = data.substr(0, 4);
            if (type == "MSGC" || type == "MSGF") {
                Check(size <= channel.SendBufferSize());
                TUaBinaryReader h(std::string_view(data).substr(16, 4));
                std::uint32_t sequence = h.UInt32();
                Check(LastSequence == 0 || sequence == LastSequence + 1);
                LastSequence = sequence;
            }
            if (type == "ERRF") SawError = true;
            if (type == "OPNF") LastSequence = 0; // its number sits behind a header of any length
            data.erase(0, size);
        }
        Check(data.empty());
    }
    bool SawError = false;
    std::uint32_t LastSequence = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::TInput in(data, size);
    TManualClock clock;
    TUaConfig config;
    config.MaxMessageSize = 1u << (8 + in.Byte() % 16); // 256 B .. 8 MiB
    config.MaxChunkCount = 1 + in.Byte() % 8;
    config.HandshakeTimeoutMs = 1000 + 1000u * (in.Byte() % 10);
    config.MessageTimeoutMs = 1000 + 1000u * (in.Byte() % 30);
    auto socket = std::make_unique<TFakeUaSocket>();
    TFakeUaSocket* raw = socket.get();
    TUaChannel channel(std::move(socket), config, clock, 7);
    int closed = 0;
    std::size_t requests = 0;
    channel.OnClosed = [&] { ++closed; };
    channel.OnRequest = [&](std::uint32_t, std::string_view) { ++requests; };
    TWatcher watcher;
    std::uint32_t sequence = 100;
    std::uint32_t requestId = 1;
    for (int step = 0; step < 64 && !in.Done(); ++step) {
        switch (in.Byte() % 9) {
        case 0: channel.Receive(in.Text(in.Byte())); break;
        case 1: {
            std::uint32_t receive = in.UInt32() % 70000, send = in.UInt32() % 70000;
            std::uint32_t maxMessage = in.Byte() < 128 ? in.UInt32() % 100000 : 0;
            channel.Receive(HelloFrame(receive, send, maxMessage, in.Byte() % 4));
            break;
        }
        case 2: {
            std::uint8_t kind = in.Byte();
            channel.Receive(
                OpenFrame(kind & 1 ? 7 : 0, ++sequence, requestId++, (kind >> 1) & 3, 1 + (kind >> 3) % 3,
                          kind & 0x40 ? "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256"
                                      : "http://opcfoundation.org/UA/SecurityPolicy#None",
                          in.UInt32()));
            break;
        }
        case 3:
        case 4: {
            std::uint8_t kind = in.Byte();
            const char* type = kind % 3 == 0 ? "MSGC" : kind % 3 == 1 ? "MSGF" : "MSGA";
            std::uint32_t token = kind & 0x08 ? in.Byte() : channel.TokenId();
            if (!(kind & 0x10)) ++sequence;
            if (kind & 0x20) ++requestId;
            std::size_t length = in.Byte() * (kind & 0x40 ? 64u : 1u);
            channel.Receive(
                MessageFrame(type, kind & 0x80 ? 8 : 7, token, sequence, requestId, in.Text(length)));
            break;
        }
        case 5:
            channel.Receive(MessageFrame("CLOF", 7, channel.TokenId(), ++sequence, requestId++, ""));
            break;
        case 6:
            clock.Tick += 250u * in.Byte();
            channel.CheckTimeouts();
            break;
        case 7: channel.SendResponse(in.UInt32(), in.UInt32(), std::string(in.Byte() * 512u, 'r')); break;
        default: raw->Pending = in.Byte() < 16 ? 64u * 1024 * 1024 : 0; break;
        }
        watcher.Look(*raw, channel);
        Check(closed <= 1);
        Check(!watcher.SawError || channel.State() == TUaChannel::TState::Closed);
        Check((channel.State() == TUaChannel::TState::Closed) == (closed == 1));
    }
    (void)requests;
    return 0;
}
