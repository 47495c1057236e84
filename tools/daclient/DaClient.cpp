// An OPC Data Access client that walks through the calls existing clients make, against a
// Dravon server that polls dravon-plcsim, and checks every value against the simulator
// (asked through its control socket). Exits 0 when every check held, 1 with the first
// mismatch on standard error otherwise.
//
// dravon-daclient --control PORT [--plc PLC1] [--station 0] [--stop-event NAME]
//                 [--shutdown-wait SECONDS]
// With --stop-event the client ends by stopping the server through its named stop event
// (what Ctrl+C in its console does) and waits for the server's ShutdownRequest.

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <oleauto.h>

#include "opccomn.h"
#include "opcda.h"
// clang-format on

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

// The server class DravonOPC.DA2.
const CLSID ClsidDravon = {0xFA72F982, 0x0A03, 0x494D, {0xA5, 0x2D, 0x00, 0x64, 0xA9, 0xE3, 0xE4, 0x23}};

constexpr WORD QualityGood = 192;
constexpr HRESULT OpcEInvalidPid = static_cast<HRESULT>(0xC0040203);
constexpr auto Patience = std::chrono::seconds(20);

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error(what); }

std::string Hex(long value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
    return text;
}

void Check(HRESULT hr, const std::string& call) {
    if (FAILED(hr)) Fail(call + " failed with " + Hex(hr));
}

void Expect(bool condition, const std::string& what) {
    if (!condition) Fail(what);
    std::cout << "ok   " << what << std::endl;
}

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::string Narrow(const wchar_t* text) {
    std::string out;
    for (; text && *text; ++text) out.push_back(static_cast<char>(*text));
    return out;
}

template <class T> struct TRef {
    T* P = nullptr;
    TRef() = default;
    TRef(const TRef&) = delete;
    TRef& operator=(const TRef&) = delete;
    ~TRef() { Reset(); }
    void Reset() {
        if (P) P->Release();
        P = nullptr;
    }
    void** Put() {
        Reset();
        return reinterpret_cast<void**>(&P);
    }
    T* operator->() const { return P; }
};

// The simulator's control socket: one command line, one answer line.
class TPlcSim {
public:
    explicit TPlcSim(int port) {
        WSADATA data;
        if (WSAStartup(MAKEWORD(2, 2), &data) != 0) Fail("WSAStartup failed");
        Socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<u_short>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (Socket_ == INVALID_SOCKET ||
            connect(Socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            Fail("cannot reach the simulator's control port " + std::to_string(port));
    }
    ~TPlcSim() {
        closesocket(Socket_);
        WSACleanup();
    }
    TPlcSim(const TPlcSim&) = delete;
    TPlcSim& operator=(const TPlcSim&) = delete;

    std::string Command(const std::string& line) {
        const std::string text = line + "\n";
        if (send(Socket_, text.data(), static_cast<int>(text.size()), 0) != static_cast<int>(text.size()))
            Fail("simulator command '" + line + "' not sent");
        std::string answer;
        char c = 0;
        while (recv(Socket_, &c, 1, 0) == 1 && c != '\n') answer.push_back(c);
        if (answer.rfind("ok", 0) != 0) Fail("simulator answered '" + answer + "' to '" + line + "'");
        return answer;
    }
    void Set(int station, const std::string& address, unsigned value) {
        Command("set " + std::to_string(station) + " " + address + " " + std::to_string(value));
    }
    unsigned Get(int station, const std::string& address) {
        std::istringstream answer(Command("get " + std::to_string(station) + " " + address));
        std::string ok;
        unsigned value = 0;
        answer >> ok >> value;
        return value;
    }

private:
    SOCKET Socket_ = INVALID_SOCKET;
};

// What the server called back, collected from its RPC threads.
struct TEvents {
    std::mutex Lock;
    std::condition_variable Changed;

    struct TDataChange {
        DWORD Transaction = 0;
        OPCHANDLE Group = 0;
        std::vector<OPCHANDLE> Items;
        std::vector<VARIANT> Values; // VT_UI2 values only (copied)
        std::vector<WORD> Qualities;
    };
    std::vector<TDataChange> DataChanges;
    struct TWriteComplete {
        DWORD Transaction = 0;
        OPCHANDLE Group = 0;
        HRESULT MasterError = 0;
        std::vector<OPCHANDLE> Items;
        std::vector<HRESULT> Errors;
    };
    std::vector<TWriteComplete> WriteCompletes;
    std::vector<std::vector<BYTE>> Streams;
    std::vector<std::string> ShutdownReasons;

    // Waits until condition() holds (under the lock); false after the patience ran out.
    bool WaitFor(const std::function<bool()>& condition) {
        std::unique_lock<std::mutex> lock(Lock);
        return Changed.wait_for(lock, Patience, condition);
    }
};

// The client's sinks: IOPCDataCallback, IOPCShutdown and a version-1 IAdviseSink.
class TSink : public IOPCDataCallback, public IOPCShutdown, public IAdviseSink {
public:
    explicit TSink(TEvents& events) : Events_(events) {}
    virtual ~TSink() = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOPCDataCallback))
            *object = static_cast<IOPCDataCallback*>(this);
        else if (IsEqualIID(iid, IID_IOPCShutdown))
            *object = static_cast<IOPCShutdown*>(this);
        else if (IsEqualIID(iid, IID_IAdviseSink))
            *object = static_cast<IAdviseSink*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    // Lives on the stack of main, which outlasts every call.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD transaction, OPCHANDLE group, HRESULT, HRESULT, DWORD count,
                                           OPCHANDLE* items, VARIANT* values, WORD* qualities, FILETIME*,
                                           HRESULT*) override {
        TEvents::TDataChange change;
        change.Transaction = transaction;
        change.Group = group;
        for (DWORD i = 0; i < count; ++i) {
            change.Items.push_back(items[i]);
            VARIANT copy;
            VariantInit(&copy);
            if (values[i].vt == VT_UI2) copy = values[i];
            change.Values.push_back(copy);
            change.Qualities.push_back(qualities[i]);
        }
        std::lock_guard<std::mutex> lock(Events_.Lock);
        Events_.DataChanges.push_back(std::move(change));
        Events_.Changed.notify_all();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*,
                                             WORD*, FILETIME*, HRESULT*) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD transaction, OPCHANDLE group, HRESULT masterError,
                                              DWORD count, OPCHANDLE* items, HRESULT* errors) override {
        TEvents::TWriteComplete done{
            transaction, group, masterError, {items, items + count}, {errors, errors + count}};
        std::lock_guard<std::mutex> lock(Events_.Lock);
        Events_.WriteCompletes.push_back(std::move(done));
        Events_.Changed.notify_all();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

    HRESULT STDMETHODCALLTYPE ShutdownRequest(LPCWSTR reason) override {
        std::lock_guard<std::mutex> lock(Events_.Lock);
        Events_.ShutdownReasons.push_back(Narrow(reason));
        Events_.Changed.notify_all();
        return S_OK;
    }

    void STDMETHODCALLTYPE OnDataChange(FORMATETC*, STGMEDIUM* medium) override {
        if (!medium || medium->tymed != TYMED_HGLOBAL || !medium->hGlobal) return;
        const SIZE_T size = GlobalSize(medium->hGlobal);
        const BYTE* data = static_cast<const BYTE*>(GlobalLock(medium->hGlobal));
        if (!data) return;
        std::vector<BYTE> block(data, data + size);
        GlobalUnlock(medium->hGlobal);
        std::lock_guard<std::mutex> lock(Events_.Lock);
        Events_.Streams.push_back(std::move(block));
        Events_.Changed.notify_all();
    }
    void STDMETHODCALLTYPE OnViewChange(DWORD, LONG) override {}
    void STDMETHODCALLTYPE OnRename(IMoniker*) override {}
    void STDMETHODCALLTYPE OnSave() override {}
    void STDMETHODCALLTYPE OnClose() override {}

private:
    TEvents& Events_;
};

struct TOptions {
    int ControlPort = 0;
    std::string Plc = "PLC1";
    int Station = 0;
    std::string StopEvent;
    int ShutdownWaitSeconds = 60;
};

TOptions ParseOptions(int argc, char** argv) {
    TOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--control" && hasValue)
            options.ControlPort = std::atoi(argv[++i]);
        else if (a == "--plc" && hasValue)
            options.Plc = argv[++i];
        else if (a == "--station" && hasValue)
            options.Station = std::atoi(argv[++i]);
        else if (a == "--stop-event" && hasValue)
            options.StopEvent = argv[++i];
        else if (a == "--shutdown-wait" && hasValue)
            options.ShutdownWaitSeconds = std::atoi(argv[++i]);
        else
            Fail("unknown argument " + a);
    }
    if (options.ControlPort <= 0) Fail("--control PORT is required");
    return options;
}

// The items of the walk-through and the values the simulator is given for them.
struct TItem {
    const char* Address;
    unsigned Initial;
    OPCHANDLE Client;
    OPCHANDLE Server = 0;
};

int Run(const TOptions& options) {
    TPlcSim sim(options.ControlPort);
    TItem items[] = {{"WR0010", 0x1234, 1}, {"WR0011", 0x0042, 2}, {"WR0012", 0xBEEF, 3}};
    for (const auto& item : items) sim.Set(options.Station, item.Address, item.Initial);

    TEvents events;
    TSink sink(events);
    // The server may still hold the sink when we leave: its stubs go before it does.
    struct TDisconnect {
        IUnknown* Object;
        ~TDisconnect() { CoDisconnectObject(Object, 0); }
    } disconnect{static_cast<IOPCDataCallback*>(&sink)};

    TRef<IOPCServer> server;
    Check(CoCreateInstance(ClsidDravon, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, server.Put()),
          "CoCreateInstance(DravonOPC.DA2, CLSCTX_LOCAL_SERVER)");
    std::cout << "ok   server object created" << std::endl;

    TRef<IOPCCommon> common;
    Check(server->QueryInterface(IID_IOPCCommon, common.Put()), "QueryInterface(IOPCCommon)");
    Check(common->SetClientName(L"dravon-daclient"), "IOPCCommon::SetClientName");
    Expect(common->SetLocaleID(1033) == E_INVALIDARG, "SetLocaleID(1033) gives E_INVALIDARG");

    // Shutdown sink first, so a server that ends early still tells us.
    TRef<IConnectionPointContainer> serverPoints;
    Check(server->QueryInterface(IID_IConnectionPointContainer, serverPoints.Put()),
          "QueryInterface(IConnectionPointContainer) of the server");
    TRef<IConnectionPoint> shutdownPoint;
    Check(serverPoints->FindConnectionPoint(IID_IOPCShutdown, &shutdownPoint.P),
          "FindConnectionPoint(IOPCShutdown)");
    DWORD shutdownCookie = 0;
    Check(shutdownPoint->Advise(static_cast<IOPCShutdown*>(&sink), &shutdownCookie), "Advise(IOPCShutdown)");

    // Status.
    OPCSERVERSTATUS* status = nullptr;
    Check(server->GetStatus(&status), "IOPCServer::GetStatus");
    Expect(status->dwServerState == OPC_STATUS_RUNNING, "GetStatus: state running");
    Expect(status->dwGroupCount == 0, "GetStatus: no groups yet");
    Expect(status->wMajorVersion == 2 && status->wMinorVersion == 0, "GetStatus: version 2.0");
    Expect(Narrow(status->szVendorInfo) == "Dravon OPC Data Access Server", "GetStatus: vendor text");
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);

    // Browse: root branches, then into the PLC.
    TRef<IOPCBrowseServerAddressSpace> browse;
    Check(server->QueryInterface(IID_IOPCBrowseServerAddressSpace, browse.Put()),
          "QueryInterface(IOPCBrowseServerAddressSpace)");
    OPCNAMESPACETYPE organization = OPC_NS_FLAT;
    Check(browse->QueryOrganization(&organization), "QueryOrganization");
    Expect(organization == OPC_NS_HIERARCHIAL, "QueryOrganization: hierarchical");
    auto names = [&](OPCBROWSETYPE type) {
        TRef<IEnumString> enumerator;
        Check(browse->BrowseOPCItemIDs(type, L"", VT_EMPTY, 0, &enumerator.P), "BrowseOPCItemIDs");
        std::vector<std::string> out;
        LPOLESTR name = nullptr;
        ULONG fetched = 0;
        while (enumerator.P && enumerator->Next(1, &name, &fetched) == S_OK && fetched == 1) {
            out.push_back(Narrow(name));
            CoTaskMemFree(name);
        }
        return out;
    };
    std::vector<std::string> branches = names(OPC_BRANCH);
    Expect(branches.size() >= 2 && branches[0] == "Sys" && branches[1] == options.Plc,
           "root branches: Sys, then " + options.Plc);
    Expect(browse->ChangeBrowsePosition(OPC_BROWSE_UP, L"") == E_FAIL,
           "ChangeBrowsePosition up at the root fails");
    Check(browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, Wide(options.Plc).c_str()),
          "ChangeBrowsePosition down");
    std::vector<std::string> plcBranches = names(OPC_BRANCH);
    Expect(!plcBranches.empty() && plcBranches[0] == "Sys", "PLC branches start with Sys");
    // The PLC's status variables are leaves under its "Sys"; a leaf becomes a full item ID.
    Check(browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Sys"), "ChangeBrowsePosition down to Sys");
    std::vector<std::string> leaves = names(OPC_LEAF);
    Expect(!leaves.empty(), "the PLC's status variables are listed");
    LPWSTR itemID = nullptr;
    std::wstring leaf = Wide(leaves[0]);
    Check(browse->GetItemID(leaf.data(), &itemID), "GetItemID");
    Expect(itemID && Narrow(itemID) == options.Plc + "." + leaves[0],
           "GetItemID gives " + options.Plc + "." + leaves[0]);
    CoTaskMemFree(itemID);
    Check(browse->ChangeBrowsePosition(OPC_BROWSE_UP, L""), "ChangeBrowsePosition up");
    Check(browse->ChangeBrowsePosition(OPC_BROWSE_UP, L""), "ChangeBrowsePosition up");

    // Group and items.
    OPCHANDLE groupHandle = 0;
    DWORD revised = 0;
    const OPCHANDLE groupClient = 77;
    TRef<IOPCItemMgt> itemMgt;
    Check(server->AddGroup(L"daclient", TRUE, 100, groupClient, nullptr, nullptr, 0, &groupHandle, &revised,
                           IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(itemMgt.Put())),
          "IOPCServer::AddGroup");
    Expect(revised == 100, "AddGroup keeps the rate 100 ms");
    std::vector<std::wstring> ids;
    for (const auto& item : items) ids.push_back(Wide(options.Plc + "." + item.Address));
    std::vector<OPCITEMDEF> defs(std::size(items));
    for (std::size_t i = 0; i < defs.size(); ++i) {
        defs[i].szAccessPath = const_cast<LPWSTR>(L"");
        defs[i].szItemID = ids[i].data();
        defs[i].bActive = TRUE;
        defs[i].hClient = items[i].Client;
        defs[i].vtRequestedDataType = VT_EMPTY;
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    Check(itemMgt->AddItems(static_cast<DWORD>(defs.size()), defs.data(), &results, &errors), "AddItems");
    for (std::size_t i = 0; i < defs.size(); ++i) {
        Expect(errors[i] == S_OK && results[i].vtCanonicalDataType == VT_UI2,
               std::string("AddItems ") + items[i].Address + ": S_OK, canonical VT_UI2");
        items[i].Server = results[i].hServer;
        CoTaskMemFree(results[i].pBlob);
    }
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    std::vector<OPCHANDLE> handles;
    for (const auto& item : items) handles.push_back(item.Server);

    TRef<IOPCGroupStateMgt> state;
    Check(itemMgt->QueryInterface(IID_IOPCGroupStateMgt, state.Put()), "QueryInterface(IOPCGroupStateMgt)");
    DWORD rate = 0, lcid = 0;
    BOOL active = FALSE;
    LPWSTR groupName = nullptr;
    LONG bias = 0;
    FLOAT deadband = 0;
    OPCHANDLE client = 0, serverHandle = 0;
    Check(state->GetState(&rate, &active, &groupName, &bias, &deadband, &lcid, &client, &serverHandle),
          "GetState");
    Expect(groupName && Narrow(groupName) == "daclient" && rate == 100 && active && client == groupClient &&
               serverHandle == groupHandle,
           "GetState: daclient, 100 ms, active, the handles of AddGroup");
    CoTaskMemFree(groupName);

    // One group, one identity: by name, by enumeration and as added.
    TRef<IUnknown> added, byName, enumerated;
    Check(itemMgt->QueryInterface(IID_IUnknown, added.Put()), "QueryInterface(IUnknown) of the group");
    Check(server->GetGroupByName(L"daclient", IID_IUnknown, &byName.P), "GetGroupByName");
    TRef<IEnumUnknown> groups;
    Check(server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumUnknown,
                                        reinterpret_cast<LPUNKNOWN*>(groups.Put())),
          "CreateGroupEnumerator(IEnumUnknown)");
    ULONG fetched = 0;
    Check(groups->Next(1, &enumerated.P, &fetched), "IEnumUnknown::Next");
    Expect(byName.P == added.P && enumerated.P == added.P, "the group has one identity");

    LPWSTR text = nullptr;
    Check(server->GetErrorString(static_cast<HRESULT>(0xC004000C), 2048, &text), "GetErrorString");
    Expect(Narrow(text) == "Duplicate name not allowed.",
           "GetErrorString(OPC_E_DUPLICATENAME) is \"Duplicate name not allowed.\" (got \"" + Narrow(text) +
               "\")");
    CoTaskMemFree(text);

    // Item properties: the value of WR0010 and an unknown property.
    TRef<IOPCItemProperties> properties;
    Check(server->QueryInterface(IID_IOPCItemProperties, properties.Put()),
          "QueryInterface(IOPCItemProperties)");
    DWORD propertyIDs[] = {1, 2, 7};
    VARIANT* data = nullptr;
    std::wstring first = ids[0];
    Check(properties->GetItemProperties(first.data(), 3, propertyIDs, &data, &errors), "GetItemProperties");
    const long canonical = data[0].vt == VT_I2 ? data[0].iVal : data[0].vt == VT_I4 ? data[0].lVal : -1;
    Expect(errors[0] == S_OK && canonical == VT_UI2 && errors[2] == OpcEInvalidPid,
           "GetItemProperties: canonical type VT_UI2, OPC_E_INVALID_PID for property 7");
    for (int i = 0; i < 3; ++i) VariantClear(&data[i]);
    CoTaskMemFree(data);
    CoTaskMemFree(errors);

    // The item-attributes enumerator: three items asked for five.
    TRef<IEnumOPCItemAttributes> attributes;
    Check(
        itemMgt->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<LPUNKNOWN*>(attributes.Put())),
        "CreateEnumerator");
    OPCITEMATTRIBUTES* records = nullptr;
    const HRESULT next = attributes->Next(5, &records, &fetched);
    Expect(next == 1781 && fetched == 3 && Narrow(records[1].szItemID) == options.Plc + ".WR0011" &&
               records[1].hServer == items[1].Server && records[1].vtCanonicalDataType == VT_UI2,
           "IEnumOPCItemAttributes::Next(5) gives the three items and 1781");
    for (ULONG i = 0; i < fetched; ++i) {
        CoTaskMemFree(records[i].szAccessPath);
        CoTaskMemFree(records[i].szItemID);
        CoTaskMemFree(records[i].pBlob);
        VariantClear(&records[i].vEUInfo);
    }
    CoTaskMemFree(records);

    // Synchronous reads: from the device, then from the cache.
    TRef<IOPCSyncIO> syncIO;
    Check(itemMgt->QueryInterface(IID_IOPCSyncIO, syncIO.Put()), "QueryInterface(IOPCSyncIO)");
    for (OPCDATASOURCE source : {OPC_DS_DEVICE, OPC_DS_CACHE}) {
        const std::string from = source == OPC_DS_DEVICE ? "device" : "cache";
        OPCITEMSTATE* states = nullptr;
        Check(syncIO->Read(source, static_cast<DWORD>(handles.size()), handles.data(), &states, &errors),
              "IOPCSyncIO::Read from " + from);
        for (std::size_t i = 0; i < handles.size(); ++i) {
            const unsigned expected = sim.Get(options.Station, items[i].Address);
            Expect(errors[i] == S_OK && states[i].hClient == items[i].Client &&
                       states[i].wQuality == QualityGood && states[i].vDataValue.vt == VT_UI2 &&
                       states[i].vDataValue.uiVal == expected,
                   "sync read from " + from + " of " + items[i].Address + " = " + std::to_string(expected));
            VariantClear(&states[i].vDataValue);
        }
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
    }

    // Subscription: IOPCDataCallback through the group's connection point.
    TRef<IConnectionPointContainer> groupPoints;
    Check(itemMgt->QueryInterface(IID_IConnectionPointContainer, groupPoints.Put()),
          "QueryInterface(IConnectionPointContainer) of the group");
    TRef<IConnectionPoint> dataPoint;
    Check(groupPoints->FindConnectionPoint(IID_IOPCDataCallback, &dataPoint.P),
          "FindConnectionPoint(IOPCDataCallback)");
    DWORD dataCookie = 0;
    Check(dataPoint->Advise(static_cast<IOPCDataCallback*>(&sink), &dataCookie), "Advise(IOPCDataCallback)");
    // The value OnDataChange last reported for a client handle, or -1.
    auto reported = [&](OPCHANDLE client) {
        long value = -1;
        for (const auto& change : events.DataChanges)
            for (std::size_t i = 0; i < change.Items.size(); ++i)
                if (change.Items[i] == client && change.Group == groupClient && change.Transaction == 0 &&
                    change.Qualities[i] == QualityGood && change.Values[i].vt == VT_UI2)
                    value = change.Values[i].uiVal;
        return value;
    };
    Expect(events.WaitFor([&] { return reported(1) == static_cast<long>(items[0].Initial); }),
           "OnDataChange reports WR0010 = " + std::to_string(items[0].Initial));
    sim.Set(options.Station, "WR0010", 0x4321);
    Expect(events.WaitFor([&] { return reported(1) == 0x4321; }),
           "OnDataChange reports the simulator's change of WR0010 to " + std::to_string(0x4321));

    // Asynchronous write with its completion, then the PLC holds the value.
    TRef<IOPCAsyncIO2> asyncIO2;
    Check(itemMgt->QueryInterface(IID_IOPCAsyncIO2, asyncIO2.Put()), "QueryInterface(IOPCAsyncIO2)");
    VARIANT written;
    VariantInit(&written);
    written.vt = VT_I4;
    written.lVal = 4242;
    DWORD cancelID = 0;
    Check(asyncIO2->Write(1, &items[1].Server, &written, 515, &cancelID, &errors), "IOPCAsyncIO2::Write");
    Expect(errors[0] == S_OK, "IOPCAsyncIO2::Write accepts WR0011");
    CoTaskMemFree(errors);
    Expect(events.WaitFor([&] {
        for (const auto& done : events.WriteCompletes)
            if (done.Transaction == 515 && done.Group == groupClient && done.MasterError == S_OK &&
                done.Items.size() == 1 && done.Items[0] == items[1].Client && done.Errors[0] == S_OK)
                return true;
        return false;
    }),
           "OnWriteComplete for transaction 515 with S_OK");
    unsigned held = 0;
    for (auto end = std::chrono::steady_clock::now() + Patience;
         (held = sim.Get(options.Station, "WR0011")) != 4242 && std::chrono::steady_clock::now() < end;)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Expect(held == 4242, "the simulator holds the written 4242 in WR0011");

    // Version 1: IDataObject advise with the time-stamped stream, answered to an IOPCAsyncIO read.
    TRef<IDataObject> dataObject;
    Check(itemMgt->QueryInterface(IID_IDataObject, dataObject.Put()), "QueryInterface(IDataObject)");
    FORMATETC format{static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATDATATIME")), nullptr,
                     DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    DWORD streamConnection = 0;
    Check(dataObject->DAdvise(&format, 0, static_cast<IAdviseSink*>(&sink), &streamConnection), "DAdvise");
    Expect(streamConnection == 1, "DAdvise of the time-stamped stream gives connection 1");
    TRef<IOPCAsyncIO> asyncIO;
    Check(itemMgt->QueryInterface(IID_IOPCAsyncIO, asyncIO.Put()), "QueryInterface(IOPCAsyncIO)");
    DWORD transaction = 0;
    Check(asyncIO->Read(streamConnection, OPC_DS_DEVICE, 1, &items[2].Server, &transaction, &errors),
          "IOPCAsyncIO::Read");
    CoTaskMemFree(errors);
    const unsigned streamed = sim.Get(options.Station, "WR0012");
    Expect(events.WaitFor([&] {
        for (const auto& block : events.Streams) {
            if (block.size() < sizeof(OPCGROUPHEADER) + sizeof(OPCITEMHEADER1) + 16) continue;
            OPCGROUPHEADER header;
            std::memcpy(&header, block.data(), sizeof header);
            OPCITEMHEADER1 item;
            std::memcpy(&item, block.data() + sizeof header, sizeof item);
            if (header.dwSize != block.size() || header.dwItemCount != 1 ||
                header.hClientGroup != groupClient || header.dwTransactionID != transaction ||
                item.hClient != items[2].Client || item.wQuality != QualityGood ||
                item.dwValueOffset + 16 > block.size())
                continue;
            WORD vt = 0, value = 0;
            std::memcpy(&vt, block.data() + item.dwValueOffset, 2);
            std::memcpy(&value, block.data() + item.dwValueOffset + 8, 2);
            if (vt == VT_UI2 && value == streamed) return true;
        }
        return false;
    }),
           "the version-1 stream answers IOPCAsyncIO::Read with WR0012 = " + std::to_string(streamed));
    Check(dataObject->DUnadvise(streamConnection), "DUnadvise");

    Check(dataPoint->Unadvise(dataCookie), "Unadvise(IOPCDataCallback)");

    if (!options.StopEvent.empty()) {
        HANDLE stop = OpenEventW(EVENT_MODIFY_STATE, FALSE, Wide(options.StopEvent).c_str());
        if (!stop) Fail("the server's stop event " + options.StopEvent + " cannot be opened");
        SetEvent(stop);
        CloseHandle(stop);
        std::cout << "server asked to stop; waiting for its ShutdownRequest" << std::endl;
        std::unique_lock<std::mutex> lock(events.Lock);
        const bool asked = events.Changed.wait_for(lock, std::chrono::seconds(options.ShutdownWaitSeconds),
                                                   [&] { return !events.ShutdownReasons.empty(); });
        lock.unlock();
        Expect(asked && events.ShutdownReasons[0] == "Dravon server is shutting down",
               "ShutdownRequest: \"Dravon server is shutting down\"");
        // The server is going: our references need not be released remotely.
        dataPoint.P = nullptr;
        groupPoints.P = nullptr;
        dataObject.P = nullptr;
        asyncIO.P = nullptr;
        asyncIO2.P = nullptr;
        syncIO.P = nullptr;
        itemMgt.P = nullptr;
        browse.P = nullptr;
        shutdownPoint.P = nullptr;
        serverPoints.P = nullptr;
        common.P = nullptr;
        server.P = nullptr;
        return 0;
    }
    Check(shutdownPoint->Unadvise(shutdownCookie), "Unadvise(IOPCShutdown)");
    Check(server->RemoveGroup(groupHandle, FALSE), "RemoveGroup");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
        std::cerr << "FAIL: CoInitializeEx" << std::endl;
        return 1;
    }
    int rc = 1;
    try {
        rc = Run(ParseOptions(argc, argv));
        std::cout << "all checks passed" << std::endl;
    } catch (const std::exception& e) {
        std::cerr << "FAIL: " << e.what() << std::endl;
        std::cout << "FAIL: " << e.what() << std::endl;
    }
    CoUninitialize();
    return rc;
}
