// A client's view of the server: creates a server object through the class factory, adds
// a group and reaches its interfaces the way a COM client would. The PLC list has two PLCs
// without a driver, so nothing ever leaves the process; the test plays the driver cycle
// (PlcAnswers, PlcConfirmsWrite) and drives the server tick on the manual clock.
#pragma once

#include "opc/ComPtr.h"
#include "opc/DA2.h"
#include "opc/DA2ClassFactory.h"
#include "opc/HResult.h"
#include "opc/OPCDAConnectionCollection.h"
#include "opc/OPCInterfaces.h"
#include "plc/HitachiLocation.h"
#include "plc/HitachiPLC.h"
#include "plc/PLCCollection.h"
#include "support/RecordingSink.h"
#include "support/TestContext.h"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

namespace dravon::test {

// What GetState returns, in one record.
struct TGroupState {
    std::uint32_t Rate = 0, Locale = 0;
    std::int32_t Active = 0, TimeBias = 0;
    std::string Name;
    float Deadband = 0;
    OPCHANDLE Client = 0, Server = 0;
    bool operator==(const TGroupState&) const = default;
};
inline void PrintTo(const TGroupState& s, std::ostream* os) {
    *os << "{" << s.Rate << ", " << s.Locale << ", " << s.Active << ", " << s.TimeBias << ", " << s.Name
        << ", " << s.Deadband << ", " << s.Client << ", " << s.Server << "}";
}

// An element of a read: client handle, value and quality.
using TGot = std::tuple<OPCHANDLE, TVariant, std::uint16_t>;

class TOPCClientFixture : public ::testing::Test {
protected:
    TTestContext T;
    TPLCCollection PLCs{T.Context};
    THitachiPLC& PLC1 = PLCs.AddPLC();
    THitachiPLC& PLC2 = PLCs.AddPLC();
    TOPCDAConnectionCollection Connections{(T.Context.PLCs = &PLCs, T.Context)};
    TComPtr<TDA2ClassFactory> Factory = MakeCom<TDA2ClassFactory>(T.Context, Connections);
    TComPtr<IOPCServer> Server;
    TComPtr<IUnknown> GroupUnknown;
    TComPtr<IOPCItemMgt> Items;
    TComPtr<IOPCSyncIO> Sync;
    TComPtr<IOPCAsyncIO2> Async;
    TComPtr<TRecordingSink> Sink = MakeCom<TRecordingSink>();
    OPCHANDLE GroupHandle = 0;
    std::uint32_t RevisedRate = 0, Cancel = 0;
    // Out-parameters the tests' calls share.
    std::vector<HRESULT> Errors;
    std::vector<TOPCItemState> States;

    void SetUp() override {
        Server = Connect();
        ASSERT_TRUE(Server);
        ASSERT_EQ(Server->AddGroup("G1", 1, 1000, 77, nullptr, nullptr, 1033, GroupHandle, RevisedRate,
                                   IOPCItemMgt::Iid, GroupUnknown),
                  S_OK);
        Items = InterfaceOf<IOPCItemMgt>(GroupUnknown);
        Sync = InterfaceOf<IOPCSyncIO>(GroupUnknown);
        Async = InterfaceOf<IOPCAsyncIO2>(GroupUnknown);
        ASSERT_TRUE(Items && Sync && Async);
        Connections.Start();
    }
    void TearDown() override { Connections.Stop(); }

    // A further client: a new server object.
    TComPtr<IOPCServer> Connect() {
        TComPtr<IUnknown> unknown;
        EXPECT_EQ(Factory->CreateInstance(nullptr, IOPCServer::Iid, unknown), S_OK);
        return InterfaceOf<IOPCServer>(unknown);
    }

    static TOPCItemDef Def(const std::string& id, VARTYPE type = VT_EMPTY, OPCHANDLE client = 0,
                           bool active = true) {
        return {"", id, active ? 1 : 0, client, {}, type};
    }

    // Adds one item that must succeed; returns its server handle.
    OPCHANDLE Add(const std::string& id, VARTYPE type = VT_EMPTY, OPCHANDLE client = 0, bool active = true) {
        std::vector<TOPCItemResult> results;
        std::vector<HRESULT> errors;
        EXPECT_EQ(Items->AddItems({Def(id, type, client, active)}, results, errors), S_OK) << id;
        return results.empty() ? 0xFFFFFFFFu : results[0].ServerHandle;
    }

    // Adds items that must succeed; their server handles in order, for a structured binding.
    template <std::size_t N> std::array<OPCHANDLE, N> AddEach(const TOPCItemDef (&defs)[N]) {
        std::array<OPCHANDLE, N> handles{};
        for (std::size_t i = 0; i < N; ++i)
            handles[i] = Add(defs[i].ItemID, defs[i].RequestedDataType, defs[i].ClientHandle, defs[i].Active);
        return handles;
    }
    // A further group, active and English, on this client's server object or another's.
    HRESULT AddGroup(const std::string& name, std::uint32_t rate, OPCHANDLE& handle, std::uint32_t& revised,
                     TComPtr<IUnknown>& group, const TComPtr<IOPCServer>& server = {}) {
        return (server ? server : Server)
            ->AddGroup(name, 1, rate, 5, nullptr, nullptr, 1033, handle, revised, IOPCItemMgt::Iid, group);
    }

    // Advises the sink on the group (the fixture's own by default).
    void Subscribe(TComPtr<IUnknown> group = {}) {
        TComPtr<IConnectionPoint> point;
        std::uint32_t cookie = 0;
        ASSERT_EQ(Sink->Advise(group ? group : GroupUnknown, point, cookie), S_OK);
    }
    // SetState giving only the rate or the active flag.
    static HRESULT SetState(const TComPtr<IUnknown>& group, std::optional<std::uint32_t> rate,
                            std::optional<std::int32_t> active = {}) {
        std::uint32_t revised = 0;
        return InterfaceOf<IOPCGroupStateMgt>(group)->SetState(rate ? &*rate : nullptr, revised,
                                                               active ? &*active : nullptr, nullptr, nullptr,
                                                               nullptr, nullptr);
    }

    // Every text an enumerator gives, read in batches.
    static std::vector<std::string> AllOf(const TComPtr<IEnumString>& names) {
        std::vector<std::string> all, batch;
        std::uint32_t fetched = 0;
        for (HRESULT hr = S_OK; names && hr == S_OK;) {
            hr = names->Next(100, batch, &fetched);
            all.insert(all.end(), batch.begin(), batch.end());
        }
        return all;
    }
    // The elements of the last read.
    std::vector<TGot> Got() const {
        std::vector<TGot> got;
        for (const auto& s : States) got.emplace_back(s.ClientHandle, s.Value, s.Quality);
        return got;
    }
    // The attributes of a group's items, as its enumerator gives them.
    static std::vector<TOPCItemAttributes> ItemsOf(const TComPtr<IOPCItemMgt>& items) {
        TComPtr<IUnknown> unknown;
        std::vector<TOPCItemAttributes> all;
        std::uint32_t fetched = 0;
        EXPECT_EQ(items->CreateEnumerator(IEnumOPCItemAttributes::Iid, unknown), S_OK);
        if (auto e = InterfaceOf<IEnumOPCItemAttributes>(unknown)) e->Next(1000, all, fetched);
        return all;
    }

    static TGroupState StateOf(const TComPtr<IUnknown>& group) {
        TGroupState s;
        auto state = InterfaceOf<IOPCGroupStateMgt>(group);
        EXPECT_TRUE(state);
        if (state) {
            EXPECT_EQ(state->GetState(s.Rate, s.Active, s.Name, s.TimeBias, s.Deadband, s.Locale, s.Client,
                                      s.Server),
                      S_OK);
        }
        return s;
    }

    THitachiLocation* Word(std::uint32_t address) { return PLC1.FindLocation(10, address, false); }
    // What the driver cycle does after a successful read of the word.
    void PlcAnswers(std::uint32_t address, std::uint32_t value) {
        Word(address)->StoreReadValue(value, T.Platform.Clock.Date);
    }
    // The stored values of words (0xDEAD for a word that does not exist).
    std::vector<std::uint32_t> Values(std::initializer_list<std::uint32_t> addresses) {
        std::vector<std::uint32_t> v;
        for (auto a : addresses) v.push_back(Word(a) ? Word(a)->Value : 0xDEADu);
        return v;
    }
    std::uint32_t GroupCount() {
        std::unique_ptr<TOPCServerStatus> status;
        EXPECT_EQ(Server->GetStatus(status), S_OK);
        return status ? status->GroupCount : 0xFFFFFFFFu;
    }
    // What the driver cycle does when the PLC confirms (or rejects) a write.
    void PlcConfirmsWrite(std::uint32_t address, bool rejected = false) {
        THitachiLocation* l = Word(address);
        l->WritePending = false;
        l->WriteRequested = false;
        l->WriteRejected = rejected;
        l->WriteDoneTime = T.Platform.Clock.Date;
    }
};

} // namespace dravon::test
