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
using test::TGot;
using test::TOPCClientFixture;

class OPCGroupIOTest : public TOPCClientFixture {};

TEST_F(OPCGroupIOTest, SyncCacheReadGivesValueQualityClientHandleAndTheRequestedType) {
    // r8: a float from the bits, not the signed number.
    const auto [a, s, f, i2, b, never, arr, r8] =
        AddEach({Def("PLC1.WR0010", VT_EMPTY, 501), Def("PLC1.WR0011s", VT_EMPTY, 502),
                 Def("PLC1.DR0020", VT_R4, 503), Def("PLC1.WR0011", VT_I2, 504),
                 Def("PLC1.WR0011", VT_BOOL, 505), Def("PLC1.WR0001", VT_EMPTY, 506),
                 Def("PLC1.WR0011.arr.2", VT_EMPTY, 507), Def("PLC1.WR0011s", VT_R8, 508)});
    const std::uint32_t one = std::bit_cast<std::uint32_t>(1.0f);
    for (auto [address, value] :
         {std::pair{0x10u, 1234u}, {0x11u, 65535u}, {0x20u, one & 0xFFFF}, {0x21u, one >> 16}})
        PlcAnswers(address, value);
    T.Context.Settings.EnableBAD = true;
    ASSERT_EQ(Sync->Read(OPC_DS_CACHE, {a, 0xBAD, s, f, i2, b, never, arr, r8}, States, Errors), S_FALSE);
    EXPECT_EQ(Errors,
              (std::vector<HRESULT>{S_OK, OPC_E_INVALIDHANDLE, S_OK, S_OK, S_OK, S_OK, S_OK, S_OK, S_OK}));
    // A location never read is BAD, and so is an array with such an element.
    EXPECT_EQ(Got(), (std::vector<TGot>{
                         {501, TVariant::UI2(1234), QualityGood},
                         {0, {}, 0},
                         {502, TVariant::I2(-1), QualityGood},
                         {503, TVariant::R4(1.0f), QualityGood},
                         {504, TVariant::I2(-1), QualityGood},
                         {505, TVariant::Bool(true), QualityGood},
                         {506, TVariant::UI2(0), QualityBad},
                         {507, TVariant::Array(VT_UI2, {TVariant::UI2(65535), TVariant::UI2(0)}), QualityBad},
                         {508, TVariant::R8(std::bit_cast<float>(0xFFFFu)), QualityGood}}));
    // Type 0 goes back to the canonical type; a quality-independent read is GOOD.
    ASSERT_EQ(Items->SetDataTypes({i2}, {VT_EMPTY}, Errors), S_OK);
    T.Context.Settings.QualityIndependentSyncRead = true;
    ASSERT_EQ(Sync->Read(OPC_DS_CACHE, {i2, never}, States, Errors), S_OK);
    EXPECT_EQ(Got(), (std::vector<TGot>{{504, TVariant::UI2(65535), QualityGood},
                                        {506, TVariant::UI2(0), QualityGood}}));
}

// A device read waits for a read of every location after the request; an item removed
// meanwhile is an invalid handle; an answer stored in the request's own millisecond ends
// the wait only after a few time-outs, not for ever.
TEST_F(OPCGroupIOTest, DeviceReadWaitsForAFreshReadOfEveryLocation) {
    const OPCHANDLE a = Add("PLC1.WR0001", VT_EMPTY, 1);
    const OPCHANDLE b = Add("PLC1.WR0002", VT_EMPTY, 2);
    PlcAnswers(1, 5);
    T.Platform.Clock.Step(1); // that read is older than the request
    int pumps = 0;
    T.Platform.OnProcessPending = [&] {
        T.Platform.Clock.Step(15);
        if (++pumps == 4) PlcAnswers(1, 6);
    };
    ASSERT_EQ(Sync->Read(OPC_DS_DEVICE, {a}, States, Errors), S_OK);
    EXPECT_GE(pumps, 4);
    EXPECT_EQ(Got(), (std::vector<TGot>{{1, TVariant::UI2(6), QualityGood}}));

    pumps = 0;
    T.Platform.OnProcessPending = [&] {
        T.Platform.Clock.Step(20);
        if (++pumps == 1) {
            std::vector<HRESULT> dropped;
            Items->RemoveItems({a}, dropped);
        }
        PlcAnswers(2, 9);
    };
    ASSERT_EQ(Sync->Read(OPC_DS_DEVICE, {a, b}, States, Errors), S_FALSE);
    EXPECT_EQ(Errors, (std::vector<HRESULT>{OPC_E_INVALIDHANDLE, S_OK}));
    EXPECT_EQ(Got(), (std::vector<TGot>{{0, {}, 0}, {2, TVariant::UI2(9), QualityGood}}));

    const OPCHANDLE never = Add("PLC1.WR0003");
    PlcAnswers(3, 5);
    T.Platform.OnProcessPending = [&] { T.Platform.Clock.Step(50); };
    PLC1.TimeOut = 20000; // the slowest PLC's time-out sets the bound: twice it and 5 s
    const std::uint32_t start = T.Platform.Clock.Tick;
    ASSERT_EQ(Sync->Read(OPC_DS_DEVICE, {never}, States, Errors), S_OK);
    EXPECT_EQ(States[0].Value, TVariant::UI2(5));
    EXPECT_EQ((T.Platform.Clock.Tick - start) / 1000, 45u);
}

TEST_F(OPCGroupIOTest, SyncWriteStoresThePendingValueAndRefusesBadOnes) {
    const auto [w, ws, d, txt, ro, bit, bitToo, noText, f, df] =
        AddEach({Def("PLC1.WR0002"), Def("PLC1.WR0003s"), Def("PLC1.DR0004"), Def("PLC1.WR0010.asc.4"),
                 Def("Sys.ClientsConnected"), Def("PLC1.M00020"), Def("PLC1.R010"), Def("PLC1.WR0030.asc.0"),
                 Def("PLC1.WR0008"), Def("PLC1.DR000A", VT_R4)});
    ASSERT_EQ(
        Sync->Write({w, ws, d, txt, ro, 0xBAD, w, w, bit, bitToo, noText, noText, f, f, df, df},
                    {TVariant::I4(40000), TVariant::I4(-2), TVariant::R4(1.5f), TVariant::Bstr("AB"),
                     TVariant::I4(1), TVariant::I4(1), TVariant::Bstr("vv"), TVariant::I4(-40000),
                     TVariant::Bool(true), TVariant::I4(-1), TVariant::Bstr("AB"), TVariant::Bstr("12"),
                     TVariant::R8(5.0), TVariant::R8(70000.0), TVariant::R4(-1.5f), TVariant::R8(1e300)},
                    Errors),
        S_FALSE);
    // A value the word cannot hold is refused by the type check before anything is stored.
    // A text of no characters has no room for text: it takes a number as its word does.
    EXPECT_EQ(Errors, (std::vector<HRESULT>{S_OK, S_OK, S_OK, S_OK, OPC_E_BADRIGHTS, OPC_E_INVALIDHANDLE,
                                            OPC_E_BADTYPE, OPC_E_BADTYPE, S_OK, S_OK, OPC_E_BADTYPE, S_OK,
                                            S_OK, OPC_E_BADTYPE, S_OK, OPC_E_BADTYPE}));
    // A bit is 0 or 1, also for a client's TRUE (-1).
    EXPECT_EQ(PLC1.FindLocation(4, 0x20, false)->Value, 1u);
    EXPECT_EQ(PLC1.FindLocation(2, 0x10, false)->Value, 1u);
    // A negative value of a signed item is stored as its 16-bit pattern; a float goes to a
    // word as a number and to a double word as its bit pattern.
    EXPECT_EQ(Values({0x30, 2, 3, 0x10, 8}), (std::vector<std::uint32_t>{12, 40000, 65534, 0x4142, 5}));
    EXPECT_TRUE(Word(2)->WritePending && Word(0x10)->WritePending);
    EXPECT_EQ(
        std::pair(PLC1.FindLocation(10, 4, true)->GetValue(), PLC1.FindLocation(10, 0xA, true)->GetValue()),
        std::pair(std::bit_cast<std::uint32_t>(1.5f), std::bit_cast<std::uint32_t>(-1.5f)));
    // A missing value list is refused as a whole.
    EXPECT_EQ(Sync->Write({w, d}, {TVariant::I4(1)}, Errors), E_INVALIDARG);
    // A pending value is not overwritten by a stale read.
    PlcAnswers(2, 7);
    EXPECT_EQ(Word(2)->Value, 40000u);
}

TEST_F(OPCGroupIOTest, TextAndArrayItemsReadAndWriteTheirWords) {
    // dtxt: four characters a double word; double words at consecutive addresses share a word.
    const auto [txt, arr, dtxt] =
        AddEach({Def("PLC1.WR0010.asc.4"), Def("PLC1.WR0020.arr.3"), Def("PLC1.DR0040.asc.8")});
    ASSERT_EQ(Sync->Write({txt, arr, dtxt},
                          {TVariant::Bstr("ABCDEFG"),
                           TVariant::Array(VT_I4, {TVariant::I4(1), TVariant::I4(2), TVariant::I4(3)}),
                           TVariant::Bstr("ABCDEFGH")},
                          Errors),
              S_OK);
    // Storing stops at the item's last word: 0x12 does not exist.
    EXPECT_EQ(Values({0x10, 0x11, 0x12, 0x20, 0x22}),
              (std::vector<std::uint32_t>{0x4142, 0x4344, 0xDEAD, 1, 3}));
    const OPCHANDLE plain = Add("PLC1.WR0010.asc."); // no count: no text, the word
    ASSERT_EQ(Sync->Read(OPC_DS_CACHE, {txt, arr, plain, dtxt}, States, Errors), S_OK);
    EXPECT_EQ(States[2].Value, TVariant::UI2(0x4142));
    EXPECT_EQ(States[3].Value, TVariant::Bstr("ABEFEFGH"));
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

// Without a callback connection the asynchronous calls are refused; with one, a value is
// reported once, then on a change, a change of quality alone, never for an inactive item
// (which is not polled either) and not while callbacks are disabled.
TEST_F(OPCGroupIOTest, DataChangesNeedAConnectionAndComeOncePerValueOrQuality) {
    const auto [a, inactive] = AddEach({Def("PLC1.WR0001", VT_EMPTY, 41), Def("PLC1.WR0002", VT_EMPTY, 42)});
    Cancel = 99;
    EXPECT_EQ(Async->Read({a}, 1, Cancel, Errors), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(Cancel, 0u);
    EXPECT_EQ(Async->Write({a}, {TVariant::I4(1)}, 1, Cancel, Errors), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(Async->Refresh2(OPC_DS_CACHE, 1, Cancel), CONNECT_E_NOCONNECTION);
    std::int32_t enable = 5;
    EXPECT_EQ(Async->GetEnable(enable), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(Async->SetEnable(0), CONNECT_E_NOCONNECTION);

    ASSERT_EQ(Items->SetActiveState({inactive}, 0, Errors), S_OK);
    T.Context.Settings.EnableBAD = true;
    Subscribe();
    for (std::uint32_t w : {1u, 2u}) PlcAnswers(w, 10);
    Word(2)->ReadRequested = false;
    T.Platform.Advance(1100);
    ASSERT_EQ(Sink->Count("data"), 1);
    const TDataCall& c = Sink->Calls[0];
    EXPECT_EQ(std::tie(c.TransactionID, c.Group, c.MasterQuality, c.Clients, c.Values, c.Qualities),
              std::tuple(0u, 77u, S_OK, std::vector<OPCHANDLE>{41}, std::vector{TVariant::UI2(10)},
                         std::vector<std::uint16_t>{QualityGood}));
    EXPECT_EQ(std::pair(Word(1)->ReadRequested, Word(2)->ReadRequested), std::pair(true, false));
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
    // What the driver cycle records after three failed polls: the quality alone changes.
    Word(1)->ErrorCount = 3;
    T.Platform.Advance(1000);
    ASSERT_EQ(Sink->Count("data"), 3);
    const TDataCall& q = Sink->Calls.back();
    EXPECT_EQ(
        std::tie(q.Values, q.Qualities, q.MasterQuality),
        std::tuple(std::vector{TVariant::UI2(11)}, std::vector<std::uint16_t>{QualityLastUsable}, S_FALSE));
    T.Platform.Advance(2000);
    EXPECT_EQ(Sink->Count("data"), 3);
    // Callbacks disabled: no data change.
    ASSERT_EQ(Async->GetEnable(enable), S_OK);
    EXPECT_EQ(enable, -1);
    ASSERT_EQ(Async->SetEnable(0), S_OK);
    Word(1)->ErrorCount = 0;
    PlcAnswers(1, 12);
    T.Platform.Advance(2000);
    EXPECT_EQ(Sink->Count("data"), 3);
}

// Standing values go out again every period with ForcedOnChange, also while the tick count
// wraps (periods start 1400 and 400 ms before it, 600 ms after it); with
// OnChangeAlwaysTrueForStrings only texts and arrays do.
TEST_F(OPCGroupIOTest, ForcedOnChangeAcrossTheTickWrapAndOnChangeAlwaysTrueForStrings) {
    Connections.Stop();
    T.Platform.Clock.Tick = 0xFFFFFFFFu - 1500;
    Connections.Start();
    // 2 has no characters: compared as its word; 5 is a text location.
    AddEach({Def("PLC1.WR0001", VT_EMPTY, 1), Def("PLC1.WR0002.asc.0", VT_EMPTY, 2),
             Def("PLC1.WR0003.asc.2", VT_EMPTY, 3), Def("PLC1.WR0005.arr.2", VT_EMPTY, 4),
             Def("PLC1.Name", VT_EMPTY, 5), Def("PLC1.WR0007.asc.1", VT_EMPTY, 6)});
    Subscribe();
    for (std::uint32_t a : {1u, 2u, 3u, 5u, 6u, 7u}) PlcAnswers(a, 0x4142);
    T.Platform.Advance(100); // a new group's first period starts on the first tick
    ASSERT_EQ(Sink->Count("data"), 1);
    EXPECT_EQ(Sink->Calls.back().Clients, (std::vector<OPCHANDLE>{1, 2, 3, 4, 5, 6}));
    // The values stand still over the following periods.
    const struct {
        bool Forced, Always;
        std::vector<OPCHANDLE> Sent;
    } periods[] = {{true, false, {1, 2, 3, 4, 5, 6}}, {true, false, {1, 2, 3, 4, 5, 6}}, {false, false, {}},
                   {false, true, {3, 4, 5, 6}},       {false, true, {3, 4, 5, 6}},       {false, false, {}}};
    for (const auto& period : periods) {
        SCOPED_TRACE(testing::Message() << period.Forced << period.Always);
        T.Context.Settings.ForcedOnChange = period.Forced;
        T.Context.Settings.OnChangeAlwaysTrueForStrings = period.Always;
        const int before = Sink->Count("data");
        T.Platform.Advance(1000);
        ASSERT_EQ(Sink->Count("data") - before, period.Sent.empty() ? 0 : 1);
        if (!period.Sent.empty()) {
            EXPECT_EQ(Sink->Last("data").Clients, period.Sent);
        }
    }
    // A rate of one tick starts a period on every tick (its data goes out on the next).
    ASSERT_EQ(SetState(GroupUnknown, 25), S_OK);
    T.Context.Settings.ForcedOnChange = true;
    const int before = Sink->Count("data");
    T.Platform.Advance(250);
    EXPECT_EQ(Sink->Count("data") - before, 9);
}

// An asynchronous read completes on a read after the request: not on an answer stored in
// the request's own millisecond, which makes it ask again so it cannot wait for ever; a
// cancelled one never completes.
TEST_F(OPCGroupIOTest, AsyncReadCompletesOnceTheLocationsWereReadAgainOrIsCancelled) {
    const auto [a, gone] = AddEach({Def("PLC1.WR0001", VT_EMPTY, 9), Def("PLC1.WR0002", VT_EMPTY, 10)});
    Subscribe();
    ASSERT_EQ(Async->SetEnable(0), S_OK);
    T.Platform.Advance(10);
    PlcAnswers(1, 5);
    Word(1)->ReadRequested = false; // as the driver leaves it after the answer
    ASSERT_EQ(Async->Read({a, 0xBAD, gone}, 1234, Cancel, Errors), S_FALSE);
    EXPECT_EQ(Errors, (std::vector<HRESULT>{S_OK, OPC_E_UNKNOWNITEMID, S_OK}));
    ASSERT_EQ(Items->RemoveItems({gone}, Errors), S_OK); // removed before the answer
    Word(1)->ReadRequested = false;                      // even if that answer is processed after the request
    T.Platform.Advance(200);
    EXPECT_EQ(Sink->Count("read"), 0);
    EXPECT_TRUE(Word(1)->ReadRequested);
    PlcAnswers(1, 6);
    T.Platform.Advance(30);
    ASSERT_EQ(Sink->Count("read"), 1);
    const TDataCall& c = Sink->Calls.back();
    EXPECT_EQ(std::tie(c.TransactionID, c.Clients, c.Values, c.Errors, c.MasterError, c.MasterQuality),
              std::tuple(1234u, std::vector<OPCHANDLE>{9, 0}, std::vector{TVariant::UI2(6), TVariant::I4(0)},
                         std::vector<HRESULT>{S_OK, OPC_E_UNKNOWNITEMID}, S_FALSE, S_FALSE));

    // A cancelled read gives OnCancelComplete and no OnReadComplete. While it waits, cancelling
    // it again is answered S_OK with one more OnCancelComplete; cancelling a cancel record
    // replaces it (its ids follow the read's).
    ASSERT_EQ(Async->Read({a}, 321, Cancel, Errors), S_OK);
    EXPECT_EQ(Async->Cancel2(Cancel), S_OK);
    EXPECT_EQ(Async->Cancel2(Cancel), S_OK);
    EXPECT_EQ(Async->Cancel2(Cancel + 1), S_OK);
    EXPECT_EQ(Async->Cancel2(Cancel + 1000), E_FAIL);
    T.Platform.Advance(30);
    ASSERT_EQ(Sink->Count("cancel"), 2);
    EXPECT_EQ(std::tie(Sink->Calls.back().TransactionID, Sink->Calls.back().Group), std::tuple(321u, 77u));
    PlcAnswers(1, 1);
    T.Platform.Advance(100);
    EXPECT_EQ(Sink->Count("read"), 1);
}

// OnWriteComplete comes when the PLC confirmed this write (not an earlier one confirmed in
// the request's millisecond), rejected it, or went faulty; a value not sent stays pending.
TEST_F(OPCGroupIOTest, AsyncWriteCompletesOnlyOnTheFateOfThisWrite) {
    const auto [a, b, c] = AddEach({Def("PLC1.WR0001", VT_EMPTY, 9), Def("PLC1.WR0002", VT_EMPTY, 10),
                                    Def("PLC1.WR0003", VT_EMPTY, 11)});
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
    // A confirmation in the request's own millisecond is this write's.
    ASSERT_EQ(Async->Write({a}, {TVariant::I4(80)}, 58, Cancel, Errors), S_OK);
    PlcConfirmsWrite(1);
    T.Platform.Advance(30);
    EXPECT_EQ(Sink->Last("write").TransactionID, 58u);
    // Nothing writeable: the call fails as a whole.
    const OPCHANDLE ro = Add("Sys.ClientsConnected");
    EXPECT_EQ(Async->Write({ro}, {TVariant::I4(1)}, 56, Cancel, Errors), E_FAIL);
    EXPECT_TRUE(Errors.empty());
}

TEST_F(OPCGroupIOTest, Refresh2FromCacheOnlyOnAnActiveGroupAndFromDeviceOnAnInactiveOne) {
    Add("PLC1.WR0001", VT_EMPTY, 3);
    Subscribe();
    // From the cache while the group is active (cancelled again, so nothing is delivered).
    ASSERT_EQ(Async->Refresh2(OPC_DS_CACHE, 7, Cancel), S_OK);
    ASSERT_EQ(Async->Cancel2(Cancel), S_OK);
    ASSERT_EQ(SetState(GroupUnknown, {}, 0), S_OK);
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

// A client removing its items, then its group, inside a callback breaks neither the cycle
// nor the tick.
TEST_F(OPCGroupIOTest, ClientRemovingItsItemsOrItsGroupInsideACallbackDoesNotBreakTheCycle) {
    const OPCHANDLE a = Add("PLC1.WR0001", VT_EMPTY, 1);
    const OPCHANDLE b = Add("PLC1.WR0002", VT_EMPTY, 2);
    Subscribe();
    Sink->OnCall = [&](const TDataCall&) {
        std::vector<HRESULT> Errors;
        Items->RemoveItems({a, b}, Errors);
    };
    for (std::uint32_t w : {1u, 2u}) PlcAnswers(w, w);
    T.Platform.Advance(1100);
    EXPECT_EQ(Sink->Count("data"), 1);
    T.Platform.Advance(3000);
    EXPECT_EQ(std::pair(Sink->Count("data"), Word(1)->RefCount), std::pair(1, 0));

    Add("PLC1.WR0001", VT_EMPTY, 1);
    Sink->OnCall = [&](const TDataCall&) {
        Items = nullptr;
        Sync = nullptr;
        Async = nullptr;
        GroupUnknown = nullptr;
        EXPECT_EQ(Server->RemoveGroup(GroupHandle, 1), S_OK);
    };
    PlcAnswers(1, 3);
    T.Platform.Advance(1000);
    EXPECT_EQ(Sink->Count("data"), 2);
    T.Platform.Advance(2000);
    EXPECT_EQ(std::tuple(Sink->Count("data"), Word(1)->RefCount, GroupCount()), std::tuple(2, 0, 0u));
}

// A clone keeps rate, bias, deadband and locale but starts inactive, without a callback and
// then with callbacks disabled; its items carry item ID, client handle and requested type
// (not the signed flag) and start inactive; the source is reported again; made active, the
// clone starts its first period on its next tick: its last update was never, not the source's.
TEST_F(OPCGroupIOTest, CloneKeepsStateAndItemsStartsQuietAndResendsTheSource) {
    auto state = InterfaceOf<IOPCGroupStateMgt>(GroupUnknown);
    std::int32_t bias = 30;
    float deadband = 2.0f;
    std::uint32_t locale = 1031, revised = 0;
    ASSERT_EQ(state->SetState(nullptr, revised, nullptr, &bias, &deadband, &locale, nullptr), S_OK);
    AddEach({Def("PLC1.WR0001s", VT_I4, 31), Def("PLC1.WR0002", VT_EMPTY, 12)});
    Subscribe();
    for (auto [address, value] : {std::pair{1u, 65535u}, {2u, 7u}}) PlcAnswers(address, value);
    T.Platform.Advance(1100);
    ASSERT_EQ(Sink->Count("data"), 1);
    // A signed word asked for as VT_I4 keeps its sign.
    EXPECT_EQ(Sink->Calls.back().Values, (std::vector{TVariant::I4(-1), TVariant::UI2(7)}));

    TComPtr<IUnknown> clone;
    EXPECT_EQ(state->CloneGroup("G1", IOPCGroupStateMgt::Iid, clone), OPC_E_DUPLICATENAME);
    EXPECT_FALSE(clone);
    EXPECT_EQ(state->CloneGroup("C", TGuid{}, clone), E_NOINTERFACE);
    EXPECT_FALSE(clone);
    EXPECT_EQ(Server->GetGroupByName("C", IOPCGroupStateMgt::Iid, clone), E_FAIL);
    ASSERT_EQ(state->CloneGroup("C", IOPCSyncIO::Iid, clone), S_OK);
    const test::TGroupState copy = StateOf(clone);
    EXPECT_EQ(copy, (test::TGroupState{1000, 1031, 0, 30, "C", 2.0f, 0, copy.Server}));
    EXPECT_NE(copy.Server, GroupHandle);
    EXPECT_EQ(std::pair(Word(1)->RefCount, GroupCount()), std::pair(2, 2u));
    // The source item is reported again although its value stood still.
    PlcAnswers(1, 65535);
    T.Platform.Advance(1000);
    EXPECT_EQ(Sink->Count("data"), 2);

    auto cloneAsync = InterfaceOf<IOPCAsyncIO2>(clone);
    std::int32_t enabled = 1;
    EXPECT_EQ(cloneAsync->GetEnable(enabled), CONNECT_E_NOCONNECTION);
    Subscribe(clone);
    ASSERT_EQ(cloneAsync->GetEnable(enabled), S_OK);
    EXPECT_EQ(enabled, 0);
    auto cloneItems = InterfaceOf<IOPCItemMgt>(clone);
    const auto items = ItemsOf(cloneItems);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(std::tie(items[0].ItemID, items[1].ItemID, items[0].ClientHandle, items[0].Active),
              std::tuple("PLC1.WR0001s", "PLC1.WR0002", 31u, 0));
    ASSERT_EQ(InterfaceOf<IOPCSyncIO>(clone)->Read(OPC_DS_CACHE, {items[0].ServerHandle}, States, Errors),
              S_OK);
    EXPECT_EQ(Got(), (std::vector<TGot>{{31, TVariant::I4(65535), QualityGood}}));
    ASSERT_EQ(cloneAsync->SetEnable(1), S_OK);
    ASSERT_EQ(cloneItems->SetActiveState({items[0].ServerHandle}, 1, Errors), S_OK);
    ASSERT_EQ(SetState(clone, {}, 1), S_OK);
    T.Platform.Advance(100);
    EXPECT_EQ(std::pair(Sink->Count("data"), Sink->Calls.back().Group), std::pair(3, 0u));

    // An unnamed clone gets a generated name.
    TComPtr<IUnknown> unnamed;
    ASSERT_EQ(state->CloneGroup("", IOPCGroupStateMgt::Iid, unnamed), S_OK);
    const std::string name = StateOf(unnamed).Name;
    EXPECT_TRUE(!name.empty() && name != "G1" && name != "C") << name;
}

} // namespace
} // namespace dravon
