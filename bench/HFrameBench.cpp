// One full RandomRead round trip of the serial link at the driver's largest request (55
// locations): build the request frame, reassemble the answer from the byte stream, check
// it and decode the 55 values. Goal: under 2 microseconds in the release build.
#include "comm/HProtocol.h"
#include "comm/StreamParser.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace dravon {
namespace {

constexpr std::size_t LocationCount = 55; // TCommDriver::RandomReadLimit

// Keeps the payload of the last frame, the way the driver takes it.
class TPayloadSink : public IStreamSink {
public:
    std::vector<std::uint8_t> Payload;
    int Frames = 0;
    void FrameReceived(std::span<const std::uint8_t> payload) override {
        Payload.assign(payload.begin(), payload.end());
        ++Frames;
    }
    void ReplyQueued(std::span<const std::uint8_t>) override {}
    void NakReceived() override {}
    void FrameDecided() override {}
};

std::vector<TWireLocation> Locations() {
    std::vector<TWireLocation> locations;
    for (std::size_t i = 0; i < LocationCount; ++i) {
        // Mixed word and bit memory, as a planner hands over scattered addresses.
        locations.push_back(i % 3 == 0 ? TWireLocation{0x04, static_cast<std::uint32_t>(0x100 + i)}
                                       : TWireLocation{0x0A, static_cast<std::uint32_t>(0x10 * i)});
    }
    return locations;
}

// What the PLC answers: Lump, status 0, echo A4, two bytes per location; framed as the
// serial link carries it (the answer has no mode character).
std::vector<std::uint8_t> Answer(bool binary) {
    std::vector<std::uint8_t> payload{0xFF, 0xFF, 0x00, 0x00, 0x00, CmdRandomRead};
    for (std::size_t i = 0; i < LocationCount; ++i) {
        payload.push_back(static_cast<std::uint8_t>(i));
        payload.push_back(static_cast<std::uint8_t>(0xA0 + i));
    }
    std::vector<std::uint8_t> frame{STX};
    std::uint8_t sum = 0;
    auto put = [&](std::uint8_t c) {
        frame.push_back(c);
        sum = static_cast<std::uint8_t>(sum + c);
    };
    static constexpr char Hex[] = "0123456789ABCDEF";
    if (binary) {
        const std::size_t length = payload.size() + 2;
        put(static_cast<std::uint8_t>(length >> 8));
        put(static_cast<std::uint8_t>(length & 0xFF));
        for (std::uint8_t b : payload) put(b);
        frame.push_back(sum);
    } else {
        for (std::uint8_t b : payload) {
            put(static_cast<std::uint8_t>(Hex[b >> 4]));
            put(static_cast<std::uint8_t>(Hex[b & 0x0F]));
        }
        frame.push_back(static_cast<std::uint8_t>(Hex[sum >> 4]));
        frame.push_back(static_cast<std::uint8_t>(Hex[sum & 0x0F]));
    }
    frame.push_back(CR);
    return frame;
}

void RoundTrip(benchmark::State& state, bool binary) {
    const std::vector<TWireLocation> locations = Locations();
    const std::vector<std::uint8_t> answer = Answer(binary);
    TFrameOptions options;
    options.Binary = binary;
    const TResponseLayout layout;
    const auto d = static_cast<std::size_t>(ResponseDataOffset(layout));
    THFrame frame;
    TStreamParser parser;
    TPayloadSink sink;
    std::array<std::uint16_t, LocationCount> values{};
    std::size_t requestSize = 0;

    for (auto _ : state) {
        frame.Bytes.clear(); // the driver reuses its frame buffer
        BuildHeader(frame, options);
        PutRandomRead(frame, locations);
        FinishFrame(frame);
        requestSize = frame.Bytes.size();
        benchmark::DoNotOptimize(frame.Bytes.data());

        parser.ParseStream(answer, binary, false, sink);
        const std::span<const std::uint8_t> p = sink.Payload;
        if (p.size() != d + 2 * LocationCount || !IsSuccess(p[d - 2], p[d - 1]) ||
            p[d - 1] != CmdRandomRead) {
            state.SkipWithError("answer not accepted");
            break;
        }
        for (std::size_t k = 0; k < LocationCount; ++k) {
            values[k] = static_cast<std::uint16_t>((p[d + 2 * k] << 8) | p[d + 2 * k + 1]);
        }
        benchmark::DoNotOptimize(values.data());
        benchmark::ClobberMemory();
    }
    // The last value proves the decode ran on the whole answer: location 54 holds 36 D6.
    if (values[LocationCount - 1] != 0x36D6) state.SkipWithError("wrong decoded value");
    state.counters["request_bytes"] = static_cast<double>(requestSize);
    state.counters["answer_bytes"] = static_cast<double>(answer.size());
    state.SetItemsProcessed(state.iterations() * static_cast<long long>(LocationCount));
}

void BM_RandomRead55Ascii(benchmark::State& state) { RoundTrip(state, false); }
void BM_RandomRead55Binary(benchmark::State& state) { RoundTrip(state, true); }
BENCHMARK(BM_RandomRead55Ascii);
BENCHMARK(BM_RandomRead55Binary);

} // namespace
} // namespace dravon

BENCHMARK_MAIN();
