#include "SimOptions.h"

#include <cstdlib>
#include <sstream>

namespace dravon {

namespace {

bool Number(const std::string& text, std::uint32_t& value) {
    if (text.empty() || text[0] == '-') return false;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (*end != '\0' || v > 0xFFFFFFFFull) return false;
    value = static_cast<std::uint32_t>(v);
    return true;
}

std::vector<std::string> Split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, sep)) parts.push_back(part);
    return parts;
}

bool Flag(const std::string& value, bool& flag) {
    if (value == "on" || value == "1" || value == "yes") return flag = true, true;
    if (value == "off" || value == "0" || value == "no") return flag = false, true;
    return false;
}

bool ParseTransport(TSimTransportKind kind, const std::string& text, TSimTransportConfig& t,
                    std::string& error) {
    t.Kind = kind;
    std::vector<std::string> parts = Split(text, ',');
    if (parts.empty()) parts.push_back("");
    const std::string& where = parts[0];
    if (kind == TSimTransportKind::Serial) {
        t.Link.Protocol = 1;
        t.Device = where == "pty" ? std::string() : where;
    } else {
        t.Link.Protocol = 3;
        std::string port = where;
        auto colon = where.rfind(':');
        if (colon != std::string::npos) {
            t.Address = where.substr(0, colon);
            port = where.substr(colon + 1);
        }
        std::uint32_t p = 0;
        if (!Number(port, p) || p > 65535) return error = "bad port in '" + text + "'", false;
        t.Port = static_cast<std::uint16_t>(p);
    }
    bool handshakeSet = false;
    for (std::size_t i = 1; i < parts.size(); ++i) {
        auto eq = parts[i].find('=');
        std::string key = parts[i].substr(0, eq);
        std::string value = eq == std::string::npos ? std::string() : parts[i].substr(eq + 1);
        std::uint32_t n = 0;
        bool ok = false;
        if (key == "protocol") {
            ok = Number(value, n) && n >= 1 && n <= 3;
            t.Link.Protocol = static_cast<int>(n);
        } else if (key == "stations") {
            t.Link.Stations.clear();
            ok = true;
            for (const auto& s : Split(value, ':')) {
                ok = ok && Number(s, n) && n <= 31;
                t.Link.Stations.push_back(static_cast<int>(n));
            }
            ok = ok && !t.Link.Stations.empty();
        } else if (key == "multidrop") {
            ok = value.empty() ? (t.Link.MultiDrop = true, true) : Flag(value, t.Link.MultiDrop);
        } else if (key == "proc") {
            ok = Number(value, n) && (n == 1 || n == 2);
            t.Link.Procedure2 = n == 2;
        } else if (key == "handshake") {
            ok = Flag(value, t.Link.Handshake);
            handshakeSet = true;
        } else if (key == "framing") {
            ok = true;
            if (value == "switch")
                t.Link.Framing = TSimFraming::Switch;
            else if (value == "ascii")
                t.Link.Framing = TSimFraming::Ascii;
            else if (value == "binary")
                t.Link.Framing = TSimFraming::Binary;
            else
                ok = false;
        } else if (key == "nak") {
            ok = Flag(value, t.Link.NakOnBadFrame);
        } else if (key == "lump") {
            ok = Number(value, t.Link.Lump);
        } else if (key == "pace") {
            ok = Number(value, t.PaceBaud);
        } else if (key == "speed") {
            ok = kind == TSimTransportKind::Serial && Number(value, t.LineSpeed);
        }
        if (!ok) return error = "bad option '" + parts[i] + "' in '" + text + "'", false;
    }
    if (!handshakeSet) t.Link.Handshake = t.Link.Procedure2 && t.Link.Protocol != 3;
    return true;
}

} // namespace

const char* SimUsageText() {
    return "usage: dravon-plcsim [options]\n"
           "Simulates Hitachi PLCs speaking the H-protocol, for tests, demos and benchmarks.\n"
           "\n"
           "transports (repeatable; without any: --tcp 3004):\n"
           "  --tcp [ADDR:]PORT[,OPT...]   TCP server, several connections at once (ADDR default 127.0.0.1;\n"
           "                               PORT 0 picks a free port; the program prints what it bound)\n"
           "  --udp [ADDR:]PORT[,OPT...]   UDP socket; answers go to the sender of each request\n"
           "  --serial pty|DEVICE[,OPT...] serial line: 'pty' creates a pseudo-terminal and prints its\n"
           "                               path for the server to open; DEVICE opens a real port\n"
           "\n"
           "transport options (after the address, separated by commas):\n"
           "  protocol=1|2|3     1 standard, 2 station number, 3 ethernet H-protocol (unframed).\n"
           "                     Default 3 on TCP/UDP, 1 on serial.\n"
           "  stations=N[:N...]  station numbers 0-31 on this link (default 0); without multidrop the\n"
           "                     first one answers. Memory belongs to the station number, shared by links.\n"
           "  multidrop[=on]     requests carry the station number (BCD); other stations stay silent\n"
           "  proc=1|2           transmission procedure; 2: requests carry no Lump\n"
           "  handshake=on|off   answer ACK [station] CR first and the data after the host's ENQ\n"
           "                     (default on for procedure 2 on protocols 1 and 2)\n"
           "  framing=switch|ascii|binary\n"
           "                     switch (default): ASCII until the binary-mode switch frame, then binary;\n"
           "                     ascii: the switch is refused (status 1); binary: binary from the start.\n"
           "                     Answers always use the framing of their request.\n"
           "  nak=on|off         answer NAK \"1\" CR to an ASCII frame with a wrong checksum (default on)\n"
           "  lump=0xFFFF0000    Lump answered when a request carries none (procedure 2 over TCP/UDP)\n"
           "  pace=BAUD          requests and answers take this line rate, 10 bits per byte (8N1 and 7E1\n"
           "                     both take 10 bit times); 0 = at once (default)\n"
           "  speed=BAUD         serial: the speed the PLC listens at. On a pseudo-terminal the speed the\n"
           "                     server set on its side is compared; frames at another speed are noise.\n"
           "\n"
           "memory, faults, animation (repeatable; same syntax as the commands below):\n"
           "  --set 'STATION ADDRESS VALUE'   e.g. --set '0 WR0010 0x1234'\n"
           "  --fault KEY=VALUE               latency=MS spike=MS/EVERY busy=EVERY error=STATUS/EVERY\n"
           "                                  drop=EVERY split=BYTES/MS garbage=BYTES[/EVERY] (at most 2500) "
           "close=EVERY\n"
           "                                  rejectextra=0|1 rejectwrites=0|1. EVERY=N hits requests N, 2N, "
           "3N ...\n"
           "  --anim 'counter|toggle STATION ADDRESS PERIOD_MS' or 'ramp STATION ADDRESS PERIOD_MS STEP MIN "
           "MAX'\n"
           "\n"
           "control:\n"
           "  --control PORT     line-based command socket on 127.0.0.1:PORT (the same commands as stdin)\n"
           "  --no-stdin         do not read commands from standard input; run until SIGINT/SIGTERM\n"
           "  --help             this text\n"
           "\n"
           "Addresses that the PLC does not have are answered with status 1, code 07. Memory never\n"
           "written reads as 0. Type 'help' on stdin for the commands.\n";
}

bool ParseSimOptions(const std::vector<std::string>& args, TSimOptions& options, std::string& error) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) return error = a + " needs a value", false;
            out = args[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            options.Help = true;
        } else if (a == "--no-stdin") {
            options.ReadStdin = false;
        } else if (a == "--tcp" || a == "--udp" || a == "--serial") {
            if (!value(v)) return false;
            TSimTransportConfig t;
            TSimTransportKind kind = a == "--tcp"   ? TSimTransportKind::Tcp
                                     : a == "--udp" ? TSimTransportKind::Udp
                                                    : TSimTransportKind::Serial;
            if (!ParseTransport(kind, v, t, error)) return false;
            options.Transports.push_back(t);
        } else if (a == "--set" || a == "--fault" || a == "--anim") {
            if (!value(v)) return false;
            options.Commands.push_back(a.substr(2) + " " + v);
        } else if (a == "--control") {
            std::uint32_t p = 0;
            if (!value(v)) return false;
            if (!Number(v, p) || p > 65535) return error = "bad control port '" + v + "'", false;
            options.ControlPort = static_cast<int>(p);
        } else {
            error = "unknown option '" + a + "' (see --help)";
            return false;
        }
    }
    if (options.Transports.empty()) {
        TSimTransportConfig t;
        ParseTransport(TSimTransportKind::Tcp, "3004", t, error);
        options.Transports.push_back(t);
    }
    return true;
}

} // namespace dravon
