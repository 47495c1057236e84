#include "SimCommandInterpreter.h"

#include "PlcSimulator.h"
#include "SimMemoryTypes.h"

#include <cstdlib>
#include <sstream>
#include <vector>

namespace dravon {

namespace {

bool ParseNumber(const std::string& text, std::uint32_t& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (*end != '\0' || v > 0xFFFFFFFFull || text[0] == '-') return false;
    value = static_cast<std::uint32_t>(v);
    return true;
}

// "a/b" into two numbers; b keeps its value when absent.
bool ParsePair(const std::string& text, std::uint32_t& a, std::uint32_t& b) {
    auto slash = text.find('/');
    if (slash == std::string::npos) return ParseNumber(text, a);
    return ParseNumber(text.substr(0, slash), a) && ParseNumber(text.substr(slash + 1), b);
}

std::string Hex(std::uint32_t v) {
    std::ostringstream s;
    s << "0x" << std::hex << std::uppercase << v;
    return s.str();
}

constexpr std::uint32_t kMaxGarbageBytes = 2500;

} // namespace

const char* TSimCommandInterpreter::HelpText() {
    return "commands:\n"
           "  set STATION ADDRESS VALUE   e.g. set 0 WR0010 0x1234, set 0 M123 1, set 0 DR0000 70000\n"
           "  get STATION ADDRESS\n"
           "  fault KEY=VALUE ...         latency=MS spike=MS/EVERY busy=EVERY error=STATUS/EVERY "
           "drop=EVERY\n"
           "                              split=BYTES/MS garbage=BYTES[/EVERY] (at most 2500) close=EVERY "
           "rejectextra=0|1\n"
           "  fault clear | fault\n"
           "  power on|off                off: TCP connections closed and refused, nothing answered\n"
           "  close                       close every TCP connection now\n"
           "  speed TRANSPORT BAUD        the speed a serial transport listens at (0: any)\n"
           "  anim counter STATION ADDRESS PERIOD_MS\n"
           "  anim ramp STATION ADDRESS PERIOD_MS STEP MIN MAX\n"
           "  anim toggle STATION ADDRESS PERIOD_MS\n"
           "  anim clear\n"
           "  stats [reset]\n"
           "  ports                       bound ports and serial paths\n"
           "  quit";
}

bool TSimCommandInterpreter::ApplyFault(TSimFaults& f, const std::string& setting, std::string& error) {
    auto eq = setting.find('=');
    std::string key = setting.substr(0, eq);
    std::string value = eq == std::string::npos ? std::string() : setting.substr(eq + 1);
    std::uint32_t a = 0, b = 0;
    bool ok = false;
    if (key == "latency") {
        ok = ParseNumber(value, f.LatencyMs);
    } else if (key == "spike") {
        ok = ParsePair(value, a, b) && value.find('/') != std::string::npos;
        if (ok) f.SpikeMs = a, f.SpikeEvery = b;
    } else if (key == "busy") {
        ok = ParseNumber(value, f.BusyEvery);
    } else if (key == "error") {
        b = 1;
        ok = ParsePair(value, a, b) && a <= 255;
        if (ok) f.ErrorStatus = static_cast<std::uint8_t>(a), f.ErrorEvery = b;
    } else if (key == "drop") {
        ok = ParseNumber(value, f.DropEvery);
    } else if (key == "split") {
        ok = ParsePair(value, a, b);
        if (ok) f.SplitChunk = a, f.SplitDelayMs = b;
    } else if (key == "garbage") {
        // The noise is built in memory before every answer: one message buffer's worth is
        // plenty to confuse a receiver, while billions of bytes would exhaust the memory.
        ok = ParsePair(value, a, b) && a <= kMaxGarbageBytes;
        if (ok) f.GarbageBytes = a, f.GarbageEvery = b;
    } else if (key == "close") {
        ok = ParseNumber(value, f.CloseEvery);
    } else if (key == "rejectextra") {
        ok = ParseNumber(value, a) && a <= 1;
        if (ok) f.RejectExtraByte = a == 1;
    } else if (key == "rejectwrites") {
        ok = ParseNumber(value, a) && a <= 1;
        if (ok) f.RejectWrites = a == 1;
    }
    if (!ok) error = "bad fault setting '" + setting + "'";
    return ok;
}

std::string TSimCommandInterpreter::FaultText(const TSimFaults& f) {
    std::ostringstream s;
    s << "latency=" << f.LatencyMs << " spike=" << f.SpikeMs << "/" << f.SpikeEvery << " busy=" << f.BusyEvery
      << " error=" << unsigned(f.ErrorStatus) << "/" << f.ErrorEvery << " drop=" << f.DropEvery
      << " split=" << f.SplitChunk << "/" << f.SplitDelayMs << " garbage=" << f.GarbageBytes << "/"
      << f.GarbageEvery << " close=" << f.CloseEvery << " rejectextra=" << (f.RejectExtraByte ? 1 : 0)
      << " rejectwrites=" << (f.RejectWrites ? 1 : 0);
    return s.str();
}

std::string TSimCommandInterpreter::Execute(const std::string& line, bool& quit) {
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string word; in >> word;) w.push_back(word);
    if (w.empty()) return "ok";
    const std::string& cmd = w[0];
    std::uint32_t station = 0;
    std::uint8_t code = 0;
    std::uint32_t address = 0;
    bool isDouble = false;
    auto parseLocation = [&](std::size_t at) {
        return w.size() > at + 1 && ParseNumber(w[at], station) && station <= 99 &&
               SimParseAddressText(w[at + 1], code, address, isDouble);
    };

    if (cmd == "quit" || cmd == "exit") {
        quit = true;
        return "ok bye";
    }
    if (cmd == "help") return std::string("ok\n") + HelpText();
    if (cmd == "set") {
        std::uint32_t value = 0;
        if (w.size() != 4 || !parseLocation(1) || !ParseNumber(w[3], value))
            return "error usage: set STATION ADDRESS VALUE";
        if (!isDouble && value > 0xFFFF) return "error value too large for a word";
        int s = static_cast<int>(station);
        Simulator_.SetValue(s, code, address, static_cast<std::uint16_t>(value & 0xFFFF));
        if (isDouble) Simulator_.SetValue(s, code, address + 1, static_cast<std::uint16_t>(value >> 16));
        return "ok";
    }
    if (cmd == "get") {
        if (w.size() != 3 || !parseLocation(1)) return "error usage: get STATION ADDRESS";
        int s = static_cast<int>(station);
        std::uint32_t v = Simulator_.Value(s, code, address);
        if (isDouble) v |= static_cast<std::uint32_t>(Simulator_.Value(s, code, address + 1)) << 16;
        return "ok " + std::to_string(v) + " " + Hex(v);
    }
    if (cmd == "fault") {
        TSimFaults f = Simulator_.Faults();
        if (w.size() == 2 && w[1] == "clear") {
            f = TSimFaults{};
        } else {
            for (std::size_t i = 1; i < w.size(); ++i) {
                std::string error;
                if (!ApplyFault(f, w[i], error)) return "error " + error;
            }
        }
        Simulator_.SetFaults(f);
        return "ok " + FaultText(f);
    }
    if (cmd == "power" && w.size() == 2 && (w[1] == "on" || w[1] == "off")) {
        Simulator_.SetPower(w[1] == "on");
        return "ok";
    }
    if (cmd == "close") {
        Simulator_.CloseConnections();
        return "ok";
    }
    if (cmd == "speed") {
        std::uint32_t transport = 0, baud = 0;
        if (w.size() != 3 || !ParseNumber(w[1], transport) || !ParseNumber(w[2], baud) ||
            transport >= Simulator_.TransportCount())
            return "error usage: speed TRANSPORT BAUD";
        Simulator_.SetLineSpeed(transport, baud);
        return "ok";
    }
    if (cmd == "anim") {
        if (w.size() == 2 && w[1] == "clear") {
            Simulator_.ClearAnimations();
            return "ok";
        }
        TSimAnimation a;
        std::uint32_t period = 0, step = 1, min = 0, max = 0;
        bool ok = w.size() >= 5 && parseLocation(2) && ParseNumber(w[4], period) && period > 0;
        if (ok && w[1] == "counter" && w.size() == 5) {
            a.Kind = TSimAnimationKind::Counter;
        } else if (ok && w[1] == "toggle" && w.size() == 5) {
            a.Kind = TSimAnimationKind::Toggle;
        } else if (ok && w[1] == "ramp" && w.size() == 8 && ParseNumber(w[5], step) &&
                   ParseNumber(w[6], min) && ParseNumber(w[7], max) && step <= 0xFFFF && min <= max &&
                   max <= 0xFFFF) {
            a.Kind = TSimAnimationKind::Ramp;
            a.Step = static_cast<std::uint16_t>(step);
            a.Min = static_cast<std::uint16_t>(min);
            a.Max = static_cast<std::uint16_t>(max);
        } else {
            return "error usage: anim counter|toggle STATION ADDRESS PERIOD_MS | anim ramp STATION ADDRESS "
                   "PERIOD_MS STEP MIN MAX";
        }
        a.Station = static_cast<int>(station);
        a.Code = code;
        a.Address = address;
        a.PeriodMs = period;
        Simulator_.AddAnimation(a);
        return "ok";
    }
    if (cmd == "stats") {
        if (w.size() == 2 && w[1] == "reset") {
            Simulator_.ResetStats();
            return "ok";
        }
        return "ok " + Simulator_.Stats().Text();
    }
    if (cmd == "ports") {
        std::string s = "ok";
        for (std::size_t i = 0; i < Simulator_.TransportCount(); ++i) {
            std::string path = Simulator_.SerialPath(i);
            // Appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict on the
            // chained temporaries.
            s += ' ';
            s += std::to_string(i);
            s += ':';
            s += path.empty() ? std::to_string(Simulator_.Port(i)) : path;
        }
        return s;
    }
    return "error unknown command '" + cmd + "' (try help)";
}

} // namespace dravon
