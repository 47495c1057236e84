// Synchronous and asynchronous I/O as a client drives it: cache and device reads, writes
// that stay pending until the PLC confirms them, and the IOPCDataCallback deliveries that
// the server tick (driven by the manual clock) makes. A "PLC" here is the test itself: it
// stores read values and confirms writes on the locations, as the driver cycle would.
#include "OPCClientFixture.h"

#include "opc/FileTime.h"

#include <bit>

namespace dravon {
namespace {

using test::TDataCall;
using test::TOPCClientFixture;

class OPCGroupIOTest : public TOPCClientFixture {};

TEST_F(OPCGroupIOTest, SyncCacheReadGivesValueQualityAndClientHandle) {
    const OPCHANDLE a = Add("PLC1.WR0010", VT_EMPTY, 501);
    const OPCHANDLE s = Add("PLC1.WR0011s", VT_EMPTY, 502);
    const OPCHANDLE f = Add("PLC1.DR0020", VT_R4, 503);
    const std::uint32_t one = std::bit_cast<std::uint32_t>(1.0f);
    for (auto [address, value] :
         {std::pair{0x10u, 1234u}, {0x11u, 65535u}, {0x20u, one & 0xFFFF}, {0x21u, one >> 16}})
        PlcAnswers(address, value);

    ASSERT_EQ(Sync->Read(OPC_DS_CACHE, {a, 0xBAD, s, f}, States, Errors), S_FALSE);
    EXPECT_EQ(Errors, (std::vector<HRESULT>{S_OK, OPC_E_INVALIDHANDLE, S_OK, S_OK}));
    EXPECT_EQ(States[0].ClientHandle, 501u);
    EXPECT_EQ(States[0].Value, TVariant::UI2(1234));
    EXPECT_EQ(States[0].Quality, QualityGood);
    EXPECT_EQ(States[2].Value, TVariant::I2(-1));
    EXPECT_EQ(States[3].Value, TVariant::R4(1.0f));
    EXPECT_EQ(States[3].ClientHandle, 503u);
}

TEST_F(OPCGroupIOTest, NeverReadLocationIsBadUnlessSyncReadIsQualityIndependent) {
    const OPCHANDLE a = Add("PLC1.WR0001");
    T.Context.Settings.EnableBAD = true;
    ASSERT_EQ(Sync->Read(OPC_DS_CACHE, {a}, States, Errors), S_OK);
    EXPECT_EQ(States[0].Quality, QualityBad);
    T.Context.Settings.QualityIndependentSyncRead = true;
    ASSERT_EQ(Sync->Read(OPC_DS_CACHE, {a}, States, Errors), S_OK);
    EXPECT_EQ(States[0].Quality, QualityGood);
}

TEST_F(OPCGroupIOTest, DeviceReadWaitsForAFreshReadOfEveryLocation) {
    const OPCHANDLE a = Add("PLC1.WR0001");
    PlcAnswers(1, 5);
    T.Platform.Clock.Step(1); // that read is older than the request
    int pumps = 0;
    T.Platform.OnProcessPending = [&] {
        T.Platform.Clock.Step(15);
        if (++pumps == 4) PlcAnswers(1, 6);
    };
    ASSERT_EQ(Sync->Read(OPC_DS_DEVICE, {a}, States, Errors), S_OK);
    EXPECT_GE(pumps, 4);
    EXPECT_EQ(States[0].Value, TVariant::UI2(6));
}

TEST_F(OPCGroupIOTest, DeviceReadOfALocationNeverPolledEndsWithTheValueThenHeld) {
    const OPCHANDLE a = Add("PLC1.WR0001");
    PlcAnswers(1, 5);
    T.Platform.OnProcessPending = [&] { T.Platform.Clock.Step(50); };
    const std::uint32_t start = T.Platform.Clock.Tick;
    ASSERT_EQ(Sync->Read(OPC_DS_DEVICE, {a}, States, Errors), S_OK);
    EXPECT_EQ(States[0].Value, TVariant::UI2(5));
    // Bounded: a few time-outs, not for ever.
    EXPECT_LT(T.Platform.Clock.Tick - start, 60000u);
}

TEST_F(OPCGroupIOTest, SyncWriteStoresThePendingValueAndRefusesBadOnes) {
    const OPCHANDLE w = Add("PLC1.WR0002");
    const OPCHANDLE ws = Add("PLC1.WR0003s");
    const OPCHANDLE d = Add("PLC1.DR0004");
    const OPCHANDLE txt = Add("PLC1.WR0010.asc.4");
    const OPCHANDLE ro = Add("Sys.ClientsConnected");
    const OPCHANDLE bit = Add("PLC1.M00020");
    const OPCHANDLE bitToo = Add("PLC1.R010");
    const OPCHANDLE noText = Add("PLC1.WR0030.asc.0");
    ASSERT_EQ(
        Sync->Write({w, ws, d, txt, ro, 0xBAD, w, w, bit, bitToo, noText, noText},
                    {TVariant::I4(40000), TVariant::I4(-2), TVariant::R4(1.5f), TVariant::Bstr("AB"),
                     TVariant::I4(1), TVariant::I4(1), TVariant::Bstr("vv"), TVariant::I4(-40000),
                     TVariant::Bool(true), TVariant::I4(-1), TVariant::Bstr("AB"), TVariant::Bstr("12")},
                    Errors),
        S_FALSE);
    // A value the word cannot hold is refused by the type check before anything is stored.
    // A text of no characters has no room for text: it takes a number as its word does.
    EXPECT_EQ(Errors, (std::vector<HRESULT>{S_OK, S_OK, S_OK, S_OK, OPC_E_BADRIGHTS, OPC_E_INVALIDHANDLE,
                                            OPC_E_BADTYPE, OPC_E_BADTYPE, S_OK, S_OK, OPC_E_BADTYPE, S_OK}));
    // A bit is 0 or 1, also for a client's TRUE (-1).
    EXPECT_EQ(PLC1.FindLocation(4, 0x20, false)->Value, 1u);
    EXPECT_EQ(PLC1.FindLocation(2, 0x10, false)->Value, 1u);
    // A negative value of a signed item is stored as its 16-bit pattern.
    EXPECT_EQ(Values({0x30, 2, 3, 0x10}), (std::vector<std::uint32_t>{12, 40000, 65534, 0x4142}));
    EXPECT_TRUE(Word(2)->WritePending && Word(0x10)->WritePending);
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(1.5f);
    EXPECT_EQ(PLC1.FindLocation(10, 4, true)->GetValue(), bits);
    // A missing value list is refused as a whole.
    EXPECT_EQ(Sync->Write({w, d}, {TVariant::I4(1)}, Errors), E_INVALIDARG);
    // A pending value is not overwritten by a stale read.
    PlcAnswers(2, 7);
    EXPECT_EQ(Word(2)->Value, 40000u);
}

TEST_F(OPCGroupIOTest, TextAndArrayItemsReadAndWriteTheirWords) {
    const OPCHANDLE txt = Add("PLC1.WR0010.asc.4");
    const OPCHANDLE arr = Add("PLC1.WR0020.arr.3");
    ASSERT_EQ(Sync->Write({txt, arr},
                          {TVariant::Bstr("ABCDEFG"),
                           TVariant::Array(VT_I4, {TVariant::I4(1), TVariant::I4(2), TVariant::I4(3)})},
                          Errors),
              S_OK);
    // Storing stops at the item's last word: 0x12 does not exist.
    EXPECT_EQ(Values({0x10, 0x11, 0x12, 0x20, 0x22}),
              (std::vector<std::uint32_t>{0x4142, 0x4344, 0xDEAD, 1, 3}));
    const OPCHANDLE plain = Add("PLC1.WR0010.asc."); // no count: no text, the word
    ASSERT_EQ(Sync->Read(OPC_DS_CACHE, {txt, arr, plain}, States, Errors), S_OK);
    EXPECT_EQ(States[2].Value, TVariant::UI2(0x4142));
    EXPECT_EQ(States[0].Value, TVariant::Bstr("ABCD"));
    EXPECT_EQ(States[1].Value,
              TVariant::Array(VT_UI2, {TVariant::UI2(1), TVariant::UI2(2), TVariant::UI2(3)}));
    // An array element the word cannot hold refuses the whole value.
    ASSERT_EQ(Sync->Write({arr}, {TVariant::Array(VT_I4, {TVariant::I4(7), TVariant::I4(70000)})}, Errors),
              S_FALSE);
    EXPECT_EQ(Errors, std::vector<HRESULT>{OPC_E_BADTYPE});
    EXPECT_EQ(Word(0x20)->Value, 1u);
    // An item writes only its own words, also when its neighbours exist: no array into a
    // single word, no more elements than the item has. A shorter array is fine.
    const OPCHANDLE next = Add("PLC1.WR0023");
    Add("PLC1.WR0024");
    auto ints = [](std::initializer_list<int> v) {
        std::vector<TVariant> elements;
        for (int i : v) elements.push_back(TVariant::I4(i));
        return TVariant::Array(VT_I4, std::move(elements));
    };
    ASSERT_EQ(Sync->Write({arr, next, arr}, {ints({4, 5, 6, 9}), ints({5, 6}), ints({8})}, Errors), S_FALSE);
    EXPECT_EQ(Errors, (std::vector<HRESULT>{OPC_E_BADTYPE, OPC_E_BADTYPE, S_OK}));
    EXPECT_FALSE(Word(0x23)->WritePending || Word(0x24)->WritePending);
    EXPECT_EQ(Values({0x20, 0x21}), (std::vector<std::uint32_t>{8, 2}));
}

TEST_F(OPCGroupIOTest, RequestedTypesConvertTheRawValue) {
    const OPCHANDLE a = Add("PLC1.WR0001", VT_I2);
    const OPCHANDLE b = Add("PLC1.WR0001", VT_BOOL);
    PlcAnswers(1, 65535);
    ASSERT_EQ(Sync->Read(OPC_DS_CACHE, {a, b}, States, Errors), S_OK);
    EXPECT_EQ(States[0].Value, TVariant::I2(-1));
    EXPECT_EQ(States[1].Value, TVariant::Bool(true));
    // Type 0 goes back to the canonical type.
    ASSERT_EQ(Items->SetDataTypes({a}, {VT_EMPTY}, Errors), S_OK);
    ASSERT_EQ(Sync->Read(OPC_DS_CACHE, {a}, States, Errors), S_OK);
    EXPECT_EQ(States[0].Value, TVariant::UI2(65535));
}

TEST_F(OPCGroupIOTest, AsyncCallsNeedACallbackConnection) {
    const OPCHANDLE a = Add("PLC1.WR0001");
    Cancel = 99;
    EXPECT_EQ(Async->Read({a}, 1, Cancel, Errors), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(Cancel, 0u);
    EXPECT_EQ(Async->Write({a}, {TVariant::I4(1)}, 1, Cancel, Errors), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(Async->Refresh2(OPC_DS_CACHE, 1, Cancel), CONNECT_E_NOCONNECTION);
    std::int32_t enable = 5;
    EXPECT_EQ(Async->GetEnable(enable), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(Async->SetEnable(0), CONNECT_E_NOCONNECTION);
}

TEST_F(OPCGroupIOTest, OneDataChangePerValueThenOnlyOnChange) {
    Add("PLC1.WR0001", VT_EMPTY, 41);
    Subscribe();
    PlcAnswers(1, 10);
    T.Platform.Advance(1100);
    ASSERT_EQ(Sink->Count("data"), 1);
    const TDataCall& c = Sink->Calls[0];
    EXPECT_EQ(std::tie(c.TransactionID, c.Group, c.Clients, c.Values, c.Qualities),
              std::tuple(0u, 77u, std::vector<OPCHANDLE>{41}, std::vector{TVariant::UI2(10)},
                         std::vector<std::uint16_t>{QualityGood}));
    // The value stands still: nothing more over several periods.
    for (int i = 0; i < 3; ++i) {
        PlcAnswers(1, 10);
        T.Platform.Advance(1000);
    }
    EXPECT_EQ(Sink->Count("data"), 1);
    // A change is reported once.
    PlcAnswers(1, 11);
    T.Platform.Advance(1000);
    ASSERT_EQ(Sink->Count("data"), 2);
    EXPECT_EQ(Sink->Calls.back().Values, std::vector<TVariant>{TVariant::UI2(11)});
    // Callbacks disabled: no data change.
    std::int32_t enable = 0;
    ASSERT_EQ(Async->GetEnable(enable), S_OK);
    EXPECT_NE(enable, 0);
    ASSERT_EQ(Async->SetEnable(0), S_OK);
    PlcAnswers(1, 12);
    T.Platform.Advance(2000);
    EXPECT_EQ(Sink->Count("data"), 2);
}

TEST_F(OPCGroupIOTest, OnChangeAlwaysTrueForStringsResendsTextsAndArraysNotScalars) {
    Add("PLC1.WR0001", VT_EMPTY, 1);
    Add("PLC1.WR0002.asc.0", VT_EMPTY, 2); // no characters: compared as its word
    Add("PLC1.WR0003.asc.2", VT_EMPTY, 3);
    Add("PLC1.WR0005.arr.2", VT_EMPTY, 4);
    Add("PLC1.Name", VT_EMPTY, 5); // a text location
    Subscribe();
    for (std::uint32_t a : {1u, 2u, 3u, 5u, 6u}) PlcAnswers(a, 0x4142);
    T.Platform.Advance(100); // the first period starts on the first tick
    ASSERT_EQ(Sink->Count("data"), 1);
    EXPECT_EQ(Sink->Calls.back().Clients, (std::vector<OPCHANDLE>{1, 2, 3, 4, 5}));
    // The values stand still over the following periods.
    const struct {
        bool Always;
        std::vector<OPCHANDLE> Sent;
    } periods[] = {{false, {}}, {true, {3, 4, 5}}, {true, {3, 4, 5}}, {false, {}}};
    for (const auto& period : periods) {
        SCOPED_TRACE(period.Always);
        T.Context.Settings.OnChangeAlwaysTrueForStrings = period.Always;
        const int before = Sink->Count("data");
        T.Platform.Advance(1000);
        ASSERT_EQ(Sink->Count("data") - before, period.Sent.empty() ? 0 : 1);
        if (!period.Sent.empty()) {
            EXPECT_EQ(Sink->Last("data").Clients, period.Sent);
        }
    }
}

// With ForcedOnChange the standing value goes out every period, also while the tick
// count wraps (periods start 1400 and 400 ms before it, 600 and 1600 ms after it).
TEST_F(OPCGroupIOTest, ForcedOnChangeSendsEveryPeriodAcrossTheTickCountWrap) {
    Connections.Stop();
    T.Platform.Clock.Tick = 0xFFFFFFFFu - 1500;
    Connections.Start();
    T.Context.Settings.ForcedOnChange = true;
    Add("PLC1.WR0001");
    Subscribe();
    PlcAnswers(1, 10);
    T.Platform.Advance(100); // a new group's first period starts on the first tick
    EXPECT_EQ(Sink->Count("data"), 1);
    for (int i = 2; i <= 4; ++i) {
        T.Platform.Advance(1000);
        EXPECT_EQ(Sink->Count("data"), i);
    }
    EXPECT_EQ(Sink->Calls.back().Values, std::vector<TVariant>{TVariant::UI2(10)});
}

TEST_F(OPCGroupIOTest, InactiveItemsAreNeitherReportedNorPolled) {
    const OPCHANDLE a = Add("PLC1.WR0001", VT_EMPTY, 1);
    Add("PLC1.WR0002", VT_EMPTY, 2);
    ASSERT_EQ(Items->SetActiveState({a}, 0, Errors), S_OK);
    Subscribe();
    for (std::uint32_t a : {1u, 2u}) PlcAnswers(a, a * 10);
    Word(1)->ReadRequested = false;
    T.Platform.Advance(1100);
    ASSERT_EQ(Sink->Count("data"), 1);
    EXPECT_EQ(Sink->Calls[0].Clients, std::vector<OPCHANDLE>{2});
    EXPECT_FALSE(Word(1)->ReadRequested);
    EXPECT_TRUE(Word(2)->ReadRequested);
}

TEST_F(OPCGroupIOTest, AsyncReadCompletesOnceTheLocationsWereReadAgain) {
    const OPCHANDLE a = Add("PLC1.WR0001", VT_EMPTY, 9);
    Subscribe();
    ASSERT_EQ(Async->SetEnable(0), S_OK);
    PlcAnswers(1, 3);
    T.Platform.Advance(10);
    ASSERT_EQ(Async->Read({a, 0xBAD}, 1234, Cancel, Errors), S_FALSE);
    EXPECT_EQ(Errors, (std::vector<HRESULT>{S_OK, OPC_E_UNKNOWNITEMID}));
    T.Platform.Advance(200);
    EXPECT_EQ(Sink->Count("read"), 0); // not read since the request
    PlcAnswers(1, 4);
    T.Platform.Advance(30);
    ASSERT_EQ(Sink->Count("read"), 1);
    const TDataCall& c = Sink->Calls.back();
    EXPECT_EQ(std::tie(c.TransactionID, c.Clients, c.Values, c.Errors),
              std::tuple(1234u, std::vector<OPCHANDLE>{9}, std::vector{TVariant::UI2(4)},
                         std::vector<HRESULT>{S_OK}));
}

// OnWriteComplete comes when the PLC confirmed this write (not an earlier one confirmed in
// the request's millisecond), rejected it, or went faulty; a value not sent stays pending.
TEST_F(OPCGroupIOTest, AsyncWriteCompletesOnlyOnTheFateOfThisWrite) {
    const OPCHANDLE a = Add("PLC1.WR0001", VT_EMPTY, 9);
    const OPCHANDLE b = Add("PLC1.WR0002", VT_EMPTY, 10);
    const OPCHANDLE c = Add("PLC1.WR0003", VT_EMPTY, 11);
    Subscribe();
    ASSERT_EQ(Async->SetEnable(0), S_OK);
    T.Platform.Advance(10);
    Word(1)->StoreWrittenValue(5);
    PlcConfirmsWrite(1); // an earlier write, confirmed in the millisecond of the request below
    ASSERT_EQ(
        Async->Write({a, b, c}, {TVariant::I4(77), TVariant::I4(78), TVariant::I4(79)}, 57, Cancel, Errors),
        S_OK);
    EXPECT_TRUE(Word(1)->WritePending);
    EXPECT_EQ(Word(1)->Value, 77u);
    T.Platform.Advance(500);
    EXPECT_EQ(Sink->Count("write"), 0);
    // The PLC rejects the third word and stops answering: two failed reads make the second
    // faulty. The first still has only the earlier confirmation, then its own.
    PlcConfirmsWrite(3, true);
    Word(2)->ErrorCount = 2;
    T.Platform.Advance(100);
    EXPECT_EQ(Sink->Count("write"), 0);
    T.Platform.Clock.Step(1);
    PlcConfirmsWrite(1);
    T.Platform.Advance(30);
    ASSERT_EQ(Sink->Count("write"), 1);
    const TDataCall& w = Sink->Calls.back();
    EXPECT_EQ(std::tie(w.TransactionID, w.Clients, w.Errors, w.MasterError),
              std::tuple(57u, std::vector<OPCHANDLE>{9, 10, 11}, std::vector<HRESULT>{S_OK, E_FAIL, E_FAIL},
                         S_FALSE));
    // Not lost: the value is still sent when the PLC answers again.
    EXPECT_TRUE(Word(2)->WritePending);
    EXPECT_EQ(Word(2)->Value, 78u);
    // Nothing writeable: the call fails as a whole.
    const OPCHANDLE ro = Add("Sys.ClientsConnected");
    EXPECT_EQ(Async->Write({ro}, {TVariant::I4(1)}, 56, Cancel, Errors), E_FAIL);
    EXPECT_TRUE(Errors.empty());
}

TEST_F(OPCGroupIOTest, Cancel2GivesOnCancelCompleteAndNoReadComplete) {
    const OPCHANDLE a = Add("PLC1.WR0001");
    Subscribe();
    ASSERT_EQ(Async->SetEnable(0), S_OK);
    T.Platform.Advance(10);
    ASSERT_EQ(Async->Read({a}, 321, Cancel, Errors), S_OK);
    EXPECT_EQ(Async->Cancel2(Cancel), S_OK);
    // While the cancelled read waits, cancelling it again is answered S_OK with one more
    // OnCancelComplete; cancelling a cancel record replaces it (its ids follow the read's).
    EXPECT_EQ(Async->Cancel2(Cancel), S_OK);
    EXPECT_EQ(Async->Cancel2(Cancel + 1), S_OK);
    EXPECT_EQ(Async->Cancel2(Cancel + 1000), E_FAIL);
    T.Platform.Advance(30);
    ASSERT_EQ(Sink->Count("cancel"), 2);
    EXPECT_EQ(std::tie(Sink->Calls.back().TransactionID, Sink->Calls.back().Group), std::tuple(321u, 77u));
    PlcAnswers(1, 1);
    T.Platform.Advance(100);
    EXPECT_EQ(Sink->Count("read"), 0);
}

TEST_F(OPCGroupIOTest, Refresh2FromDeviceOnAnInactiveGroupAndFromCacheRefused) {
    Add("PLC1.WR0001", VT_EMPTY, 3);
    Subscribe();
    auto state = InterfaceOf<IOPCGroupStateMgt>(GroupUnknown);
    const std::int32_t inactive = 0;
    std::uint32_t revised = 0;
    ASSERT_EQ(state->SetState(nullptr, revised, &inactive, nullptr, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(Async->Refresh2(OPC_DS_CACHE, 8, Cancel), E_FAIL);
    ASSERT_EQ(Async->Refresh2(OPC_DS_DEVICE, 9, Cancel), S_OK);
    T.Platform.Advance(100);
    EXPECT_EQ(Sink->Count("data"), 0);
    PlcAnswers(1, 66);
    T.Platform.Advance(30);
    ASSERT_EQ(Sink->Count("data"), 1);
    EXPECT_EQ(std::tie(Sink->Calls.back().TransactionID, Sink->Calls.back().Values),
              std::tuple(9u, std::vector{TVariant::UI2(66)}));
}

TEST_F(OPCGroupIOTest, ClientRemovingItsItemsInsideACallbackDoesNotBreakTheCycle) {
    const OPCHANDLE a = Add("PLC1.WR0001", VT_EMPTY, 1);
    const OPCHANDLE b = Add("PLC1.WR0002", VT_EMPTY, 2);
    Subscribe();
    Sink->OnCall = [&](const TDataCall&) {
        std::vector<HRESULT> Errors;
        Items->RemoveItems({a, b}, Errors);
    };
    for (std::uint32_t a : {1u, 2u}) PlcAnswers(a, a);
    T.Platform.Advance(1100);
    EXPECT_EQ(Sink->Count("data"), 1);
    T.Platform.Advance(3000);
    EXPECT_EQ(Sink->Count("data"), 1);
    EXPECT_EQ(Word(1)->RefCount, 0);
}

TEST_F(OPCGroupIOTest, ClientRemovingTheGroupInsideACallbackDoesNotBreakTheTick) {
    Add("PLC1.WR0001", VT_EMPTY, 1);
    Subscribe();
    Sink->OnCall = [&](const TDataCall&) {
        Items = nullptr;
        Sync = nullptr;
        Async = nullptr;
        GroupUnknown = nullptr;
        EXPECT_EQ(Server->RemoveGroup(GroupHandle, 1), S_OK);
    };
    PlcAnswers(1, 1);
    T.Platform.Advance(1100);
    EXPECT_EQ(Sink->Count("data"), 1);
    T.Platform.Advance(2000);
    EXPECT_EQ(Sink->Count("data"), 1);
    EXPECT_EQ(Word(1)->RefCount, 0);
    EXPECT_EQ(GroupCount(), 0u);
}

TEST_F(OPCGroupIOTest, QualityOnlyChangeIsReportedWhenThePlcStopsAnswering) {
    T.Context.Settings.EnableBAD = true;
    Add("PLC1.WR0001", VT_EMPTY, 5);
    Subscribe();
    PlcAnswers(1, 8);
    T.Platform.Advance(1100);
    ASSERT_EQ(Sink->Count("data"), 1);
    EXPECT_EQ(Sink->Calls.back().MasterQuality, S_OK);
    // What the driver cycle records after five failed polls.
    Word(1)->ErrorCount = 5;
    T.Platform.Advance(1000);
    ASSERT_EQ(Sink->Count("data"), 2);
    const TDataCall& c = Sink->Calls.back();
    EXPECT_EQ(
        std::tie(c.Values, c.Qualities, c.MasterQuality),
        std::tuple(std::vector{TVariant::UI2(8)}, std::vector<std::uint16_t>{QualityCommFailure}, S_FALSE));
    T.Platform.Advance(2000);
    EXPECT_EQ(Sink->Count("data"), 2);
}

TEST_F(OPCGroupIOTest, CloneCarriesItemIdClientHandleAndTypeAndResendsTheSource) {
    Add("PLC1.WR0001s", VT_I4, 31, true);
    Subscribe();
    PlcAnswers(1, 65535);
    T.Platform.Advance(1100);
    ASSERT_EQ(Sink->Count("data"), 1);
    // A signed word asked for as VT_I4 keeps its sign.
    EXPECT_EQ(Sink->Calls.back().Values, std::vector<TVariant>{TVariant::I4(-1)});
    auto state = InterfaceOf<IOPCGroupStateMgt>(GroupUnknown);
    TComPtr<IUnknown> clone;
    ASSERT_EQ(state->CloneGroup("Copy", IOPCSyncIO::Iid, clone), S_OK);
    EXPECT_EQ(Word(1)->RefCount, 2);
    // The source item is reported again although its value stood still.
    PlcAnswers(1, 65535);
    T.Platform.Advance(1000);
    EXPECT_EQ(Sink->Count("data"), 2);
    // The copy keeps client handle and requested type; the signed flag is not carried.
    auto cloneItems = InterfaceOf<IOPCItemMgt>(clone);
    auto cloneSync = InterfaceOf<IOPCSyncIO>(clone);
    ASSERT_TRUE(cloneItems && cloneSync);
    EXPECT_EQ(GroupCount(), 2u);
}

TEST_F(OPCGroupIOTest, DeviceReadIgnoresAnAnswerStoredInTheRequestsOwnMillisecondAndAsksAgain) {
    const OPCHANDLE a = Add("PLC1.WR0001", VT_EMPTY, 9);
    Subscribe();
    ASSERT_EQ(Async->SetEnable(0), S_OK);
    T.Platform.Advance(10);
    PlcAnswers(1, 5);
    Word(1)->ReadRequested = false; // as the driver leaves it after the answer
    ASSERT_EQ(Async->Read({a}, 70, Cancel, Errors), S_OK);
    Word(1)->ReadRequested = false; // even if that answer is processed after the request
    T.Platform.Advance(100);
    EXPECT_EQ(Sink->Count("read"), 0);
    EXPECT_TRUE(Word(1)->ReadRequested); // asked for again, so it cannot wait for ever
    PlcAnswers(1, 6);
    T.Platform.Advance(30);
    ASSERT_EQ(Sink->Count("read"), 1);
    EXPECT_EQ(Sink->Calls.back().Values, std::vector<TVariant>{TVariant::UI2(6)});
}

TEST_F(OPCGroupIOTest, FloatsGoToWordsAsNumbersAndToDoubleWordsAsTheirBitPattern) {
    const OPCHANDLE w = Add("PLC1.WR0002");
    const OPCHANDLE d = Add("PLC1.DR0004", VT_R4);
    ASSERT_EQ(Sync->Write({w, d}, {TVariant::R8(5.0), TVariant::R4(-1.5f)}, Errors), S_OK);
    EXPECT_EQ(Word(2)->Value, 5u);
    EXPECT_EQ(PLC1.FindLocation(10, 4, true)->GetValue(), std::bit_cast<std::uint32_t>(-1.5f));
    // A float a word cannot hold is still refused.
    ASSERT_EQ(Sync->Write({w}, {TVariant::R8(70000.0)}, Errors), S_FALSE);
    EXPECT_EQ(Errors, std::vector<HRESULT>{OPC_E_BADTYPE});
}

} // namespace
} // namespace dravon
