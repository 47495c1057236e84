// dravon-democlient: an OPC Data Access client of the Dravon server, written the way a
// client program uses the OPC interfaces. There is no COM on Linux, so the server runs in
// this process: the server core loads the stored settings and PLC list (DRAVON_HOME) and
// polls the PLCs; the client side only talks to the server object it gets from the class
// factory: it browses the PLC names, adds a group with items, connects its
// IOPCDataCallback and prints every OnDataChange.
//
//   dravon-democlient [--seconds N] [--rate MS] [--item ID]...
#include "app/CommandLine.h"
#include "app/FileStore.h"
#include "opc/ComPtr.h"
#include "opc/DA2ClassFactory.h"
#include "opc/DataCallbackSink.h"
#include "opc/HResult.h"
#include "opc/OPCDAConnectionCollection.h"
#include "opc/OPCErrorStrings.h"
#include "opc/OPCInterfaces.h"
#include "platform/AppLocations.h"
#include "platform/QtClock.h"
#include "platform/QtEventLoop.h"
#include "platform/QtHostResolver.h"
#include "platform/QtTimerFactory.h"
#include "platform/QtTransportFactory.h"
#include "platform/SignalNotifier.h"
#include "plc/PLCCollection.h"
#include "server/Communication.h"
#include "server/ConsoleLogView.h"
#include "server/ServerCore.h"

#include <QCoreApplication>
#include <QTimer>

#include <clocale>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace dravon;

const char* const Usage =
    "Usage: dravon-democlient [--seconds N] [--rate MS] [--item ID]...\n"
    "Runs the Dravon server core on the stored PLC list (DRAVON_HOME) and, as an OPC client,\n"
    "subscribes to items and prints every OnDataChange until Ctrl-C or N seconds.\n"
    "Without --item: WR0000, WR0001 and WR0010 and ComStatus of every PLC found by\n"
    "browsing, and Sys.ClientsConnected. --rate is the group's update rate (default 1000).\n";

struct TOptions {
    int Seconds = 0;
    std::uint32_t Rate = 1000;
    std::vector<std::string> Items;
    bool Help = false;
    std::string Error;
};

TOptions ParseOptions(const std::vector<std::string>& args) {
    TOptions o;
    auto number = [&](std::size_t& i, long long max) -> long long {
        if (i + 1 >= args.size()) {
            o.Error = args[i] + " needs a value";
            return -1;
        }
        const std::string& text = args[++i];
        char* end = nullptr;
        const long long v = std::strtoll(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || v < 0 || v > max) {
            o.Error = "bad value for " + args[i - 1] + ": " + text;
            return -1;
        }
        return v;
    };
    for (std::size_t i = 0; i < args.size() && o.Error.empty(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            o.Help = true;
        } else if (a == "--seconds") {
            o.Seconds = static_cast<int>(number(i, 86400));
        } else if (a == "--rate") {
            o.Rate = static_cast<std::uint32_t>(number(i, 3600000));
        } else if (a == "--item") {
            if (i + 1 >= args.size()) {
                o.Error = "--item needs an item ID";
            } else {
                o.Items.push_back(args[++i]);
            }
        } else {
            o.Error = "unknown argument: " + a;
        }
    }
    return o;
}

// "hh:mm:ss.mmm" local time of a UTC FILETIME.
std::string FileTimeText(const TFileTime& time) {
    const std::uint64_t ft = time.ToUInt64();
    if (ft == 0) return "--:--:--.---";
    constexpr std::uint64_t UnixEpoch = 116444736000000000ULL; // 1970-01-01 in 100 ns since 1601
    if (ft < UnixEpoch) return "--:--:--.---";
    const std::uint64_t ms = (ft - UnixEpoch) / 10000;
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03u", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<unsigned>(ms % 1000));
    return text;
}

std::string NowText() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    std::tm local{};
    localtime_r(&ts.tv_sec, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min, local.tm_sec,
                  ts.tv_nsec / 1000000);
    return text;
}

std::string ValueText(const TVariant& value) {
    if (value.Vt() == VT_BSTR) return "\"" + value.Text() + "\"";
    if (value.IsArray()) {
        std::string text = "[";
        for (std::size_t i = 0; i < value.Elements().size(); ++i)
            text += (i ? ", " : "") + ValueText(value.Elements()[i]);
        return text + "]";
    }
    if (value.IsEmpty()) return "(empty)";
    TVariant text;
    if (Failed(VariantChangeType(text, value, 0, VT_BSTR))) return "(?)";
    return text.Text();
}

std::string QualityText(std::uint16_t quality) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", quality);
    const char* name = (quality & 0xC0) == 0xC0 ? "GOOD" : (quality & 0xC0) == 0x40 ? "UNCERTAIN" : "BAD";
    return std::string(name) + " (" + hex + ")";
}

// The client's callback object: prints what the server sends.
class TPrintingCallback : public TDataCallbackSink {
public:
    std::map<OPCHANDLE, std::string> Names; // client handle -> item ID
    long long Changes = 0;

    HRESULT OnDataChange(std::uint32_t transactionID, OPCHANDLE, HRESULT masterQuality, HRESULT,
                         const std::vector<OPCHANDLE>& clients, const std::vector<TVariant>& values,
                         const std::vector<std::uint16_t>& qualities, const std::vector<TFileTime>& times,
                         const std::vector<HRESULT>& errors) override {
        ++Changes;
        std::ostringstream out;
        out << NowText() << " OnDataChange: " << clients.size() << (clients.size() == 1 ? " item" : " items")
            << (masterQuality == S_OK ? "" : ", not all GOOD")
            << (transactionID ? ", refresh " + std::to_string(transactionID) : "") << "\n";
        for (std::size_t i = 0; i < clients.size(); ++i) {
            const auto name = Names.find(clients[i]);
            char line[160];
            std::snprintf(line, sizeof line, "  %-26s ", name != Names.end() ? name->second.c_str() : "?");
            out << line;
            if (i < errors.size() && errors[i] != S_OK) {
                out << "error " << ResultName(errors[i]) << "\n";
                continue;
            }
            std::snprintf(line, sizeof line, "%-14s %-16s %s", ValueText(values[i]).c_str(),
                          QualityText(qualities[i]).c_str(), FileTimeText(times[i]).c_str());
            out << line << "\n";
        }
        std::cout << out.str() << std::flush;
        return S_OK;
    }
};

// The client side: everything below goes through the OPC interfaces only.
class TDemoClient {
public:
    explicit TDemoClient(IClassFactory& factory) : Factory_(&factory) {}

    bool Connect(const TOptions& options) {
        TComPtr<IUnknown> unknown;
        if (!Check(Factory_->CreateInstance(nullptr, IOPCServer::Iid, unknown), "CreateInstance"))
            return false;
        Server_ = InterfaceOf<IOPCServer>(unknown);
        if (!Server_) return false;
        if (auto common = InterfaceOf<IOPCCommon>(unknown)) common->SetClientName("dravon-democlient");

        std::vector<std::string> ids = options.Items.empty() ? DefaultItems(unknown) : options.Items;
        if (ids.empty()) {
            std::cerr << "democlient: no PLCs found by browsing and no --item given" << std::endl;
            return false;
        }
        std::uint32_t revised = 0;
        if (!Check(Server_->AddGroup("Demo", 1, options.Rate, 1, nullptr, nullptr, 1033, GroupHandle_,
                                     revised, IOPCItemMgt::Iid, Group_),
                   "AddGroup"))
            return false;
        std::cout << "democlient: group Demo, update rate " << revised << " ms" << std::endl;

        auto items = InterfaceOf<IOPCItemMgt>(Group_);
        std::vector<TOPCItemDef> defs;
        for (std::size_t i = 0; i < ids.size(); ++i) {
            TOPCItemDef def;
            def.ItemID = ids[i];
            def.ClientHandle = static_cast<OPCHANDLE>(i + 1);
            def.Active = 1;
            defs.push_back(def);
        }
        std::vector<TOPCItemResult> results;
        std::vector<HRESULT> errors;
        const HRESULT added = items ? items->AddItems(defs, results, errors) : E_NOINTERFACE;
        if (Failed(added)) return Check(added, "AddItems");
        for (std::size_t i = 0; i < ids.size(); ++i) {
            if (errors[i] == S_OK) {
                Callback_->Names[defs[i].ClientHandle] = ids[i];
                std::cout << "democlient: item " << ids[i] << std::endl;
            } else {
                std::cout << "democlient: item " << ids[i] << " refused: " << ResultName(errors[i])
                          << std::endl;
            }
        }
        if (Callback_->Names.empty()) return false;

        return Check(Callback_->Advise(Group_, Point_, Cookie_), "Advise");
    }

    void Disconnect() {
        if (Point_) Point_->Unadvise(Cookie_);
        Point_ = nullptr;
        Group_ = nullptr;
        if (Server_ && GroupHandle_) Server_->RemoveGroup(GroupHandle_, 0);
        Server_ = nullptr;
    }

    long long Changes() const { return Callback_->Changes; }

private:
    static bool Check(HRESULT result, const char* what) {
        if (Succeeded(result)) return true;
        std::cerr << "democlient: " << what << " failed: " << ResultName(result) << std::endl;
        return false;
    }

    // The PLCs are the branches at the root of the address space (beside "Sys").
    static std::vector<std::string> DefaultItems(const TComPtr<IUnknown>& server) {
        std::vector<std::string> ids;
        auto browse = InterfaceOf<IOPCBrowseServerAddressSpace>(server);
        TComPtr<IEnumString> names;
        if (browse && browse->BrowseOPCItemIDs(OPC_BRANCH, "", VT_EMPTY, 0, names) == S_OK && names) {
            std::vector<std::string> batch;
            std::uint32_t fetched = 0;
            while (names->Next(16, batch, &fetched) == S_OK || fetched > 0) {
                for (std::uint32_t i = 0; i < fetched && i < batch.size(); ++i) {
                    const std::string& plc = batch[i];
                    if (plc == "Sys") continue;
                    for (const char* suffix : {".WR0000", ".WR0001", ".WR0010", ".ComStatus"})
                        ids.push_back(plc + suffix);
                }
                if (fetched < 16) break;
            }
        }
        ids.push_back("Sys.ClientsConnected");
        return ids;
    }

    TComPtr<IClassFactory> Factory_;
    TComPtr<IOPCServer> Server_;
    TComPtr<IUnknown> Group_;
    OPCHANDLE GroupHandle_ = 0;
    TComPtr<IConnectionPoint> Point_;
    std::uint32_t Cookie_ = 0;
    TComPtr<TPrintingCallback> Callback_ = MakeCom<TPrintingCallback>();
};

} // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_TIME, "");
    const TOptions options = ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (options.Help) {
        std::cout << Usage;
        return 0;
    }
    if (!options.Error.empty()) {
        std::cerr << "democlient: " << options.Error << "\n" << Usage;
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    TSignalNotifier::BlockTerminationSignals();
    QCoreApplication application(argc, argv);

    // ---- the server, in this process ----
    const TAppLocations locations = TAppLocations::FromEnvironment();
    TFileStore store(locations.MachineStoreFile, locations.UserStoreFile);
    TQtClock clock;
    TQtEventLoop loop;
    TQtTimerFactory timers;
    TServerCore core({&clock, &loop, &timers, &store, locations.ApplicationDirectory}, TCommandLine{},
                     std::string(DRAVON_VERSION) + ".0");
    TQtTransportFactory transports(core.Context());
    TQtHostResolver resolver;
    TCommunication communication(core, transports, &resolver);
    TConsoleLogView console(std::cout);
    core.Log().AddView(&console);
    auto connections = std::make_unique<TOPCDAConnectionCollection>(core.Context());
    core.RefreshHooks.push_back([&core, &connections] {
        if (core.Context().PLCs && connections)
            core.Context().PLCs->RefreshVariables(static_cast<int>(connections->Count()));
    });
    core.ShutdownClientsHooks.push_back([&connections] {
        if (connections) connections->SendShutdownRequests(TServerCore::ShutdownReason);
    });
    core.Startup();
    connections->Start();
    auto factory = MakeCom<TDA2ClassFactory>(core.Context(), *connections);

    // ---- the client ----
    int status = 0;
    {
        TDemoClient client(*factory);
        if (client.Connect(options)) {
            TSignalNotifier termination;
            termination.OnSignal = [](int) { QCoreApplication::quit(); };
            if (options.Seconds > 0)
                QTimer::singleShot(options.Seconds * 1000, [] { QCoreApplication::quit(); });
            application.exec();
            std::cout << "democlient: " << client.Changes() << " data changes received" << std::endl;
        } else {
            status = 1;
        }
        client.Disconnect();
    }

    // Client objects first, then the server objects (their items hold PLC locations),
    // then the core with the PLC list.
    factory = nullptr;
    connections.reset();
    core.Shutdown();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return status;
}
