// The endpoint's backend over the real OPC DA object model, driven as the endpoint drives
// it: sessions are server objects from the class factory, browsing walks the DA browser,
// reads, writes and groups go through the items. The PLC is the test itself: it stores read
// values on the locations as the driver cycle would; the manual clock runs the server tick.
#include "ua/UaDaBackend.h"
#include "opc/DA2.h"
#include "opc/DA2ClassFactory.h"
#include "opc/OPCDAConnectionCollection.h"
#include "opc/OPCGroupCollection.h"
#include "plc/HitachiLocation.h"
#include "plc/HitachiPLC.h"
#include "plc/PLCCollection.h"
#include "support/FakeDriverPool.h"
#include "support/FakeHostResolver.h"
#include "support/TestContext.h"
#include "ua/UaNodeIds.h"
#include "ua/UaStatusCodes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <functional>
#include <optional>
#include <tuple>

namespace dravon {
namespace {

TUaVariant U16(std::uint16_t v) { return TUaVariant::Scalar(TUaType::UInt16, std::uint64_t{v}); }

class UaDaBackendTest : public ::testing::Test {
protected:
    UaDaBackendTest() {
        T.Context.Resolver = &Resolver;
        T.Context.PLCs = &PLCs;
        PLC1.SetHost("127.0.0.1"); // never the default host, even with a fake pool
        PLCs.SetDriverPool(&Pool);
        Connections.Start();
    }
    ~UaDaBackendTest() override {
        Session.reset();
        Connections.Stop();
    }

    test::TTestContext T;
    test::TFakeHostResolver Resolver;
    test::TFakeDriverPool Pool;
    TPLCCollection PLCs{T.Context};
    THitachiPLC& PLC1 = PLCs.AddPLC();
    TOPCDAConnectionCollection Connections{T.Context};
    TComPtr<TDA2ClassFactory> Factory = MakeCom<TDA2ClassFactory>(T.Context, Connections);
    TUaDaBackend Backend{T.Context, *Factory};
    std::unique_ptr<IUaBackendSession> Session = Backend.CreateSession("UaExpert@host");

    THitachiLocation* Word(std::uint32_t address) { return PLC1.FindLocation(10, address, false); }
    // What the driver cycle does after a read of the location.
    void PlcAnswers(std::uint32_t address, std::uint32_t value) {
        if (THitachiLocation* l = Word(address)) l->StoreReadValue(value, T.Platform.Clock.Date);
    }
    std::vector<TUaBackendNode> Children(const std::string& folder, bool expectKnown = true) {
        std::vector<TUaBackendNode> out;
        EXPECT_EQ(Backend.Children(folder, out, Session.get()), expectKnown) << folder;
        return out;
    }
    // A node as one line: its name, then "folder" or its data type, rank, length and access.
    static std::string Line(const TUaBackendNode& n) {
        if (n.IsFolder) return n.Name + " folder";
        return n.Name + " i=" + std::to_string(n.DataType) + " rank " + std::to_string(n.ValueRank) +
               " length " + std::to_string(n.ArrayLength) + (n.Writable ? " rw" : " ro");
    }
    static std::vector<std::string> Lines(const std::vector<TUaBackendNode>& nodes) {
        std::vector<std::string> lines;
        for (const auto& n : nodes) lines.push_back(n.Id + ": " + Line(n));
        return lines;
    }
    std::string Describe(const std::string& id) {
        TUaBackendNode n;
        return Backend.Describe(id, n, Session.get()) ? Line(n) : "unknown";
    }
    static const TUaBackendNode* FindNode(const std::vector<TUaBackendNode>& nodes, const std::string& id) {
        for (const auto& n : nodes)
            if (n.Id == id) return &n;
        return nullptr;
    }
    // No location is left that nobody references (or it is gone altogether).
    void ExpectUnreferenced(std::uint32_t address) {
        EXPECT_EQ(Word(address) ? Word(address)->RefCount : 0, 0) << address;
    }
    // A write's answer when it came before Write returned; Pending while the PLC decides.
    static constexpr std::optional<TUaStatusCode> Pending{};
    std::optional<TUaStatusCode> WriteNow(const std::string& id, const TUaVariant& value) {
        std::optional<TUaStatusCode> got;
        Session->Write(id, value, [&](TUaStatusCode s) { got = s; });
        return got;
    }
    // Client handle, value and status of the changes so far, by handle; clears them.
    using TChanges = std::vector<std::tuple<std::uint32_t, TUaVariant, TUaStatusCode>>;
    static TChanges Take(std::vector<TUaItemChange>& changes) {
        TChanges out;
        for (const auto& c : changes) out.emplace_back(c.ClientHandle, c.Value.Value, c.Value.Status);
        changes.clear();
        std::sort(out.begin(), out.end(), [](auto& x, auto& y) { return std::get<0>(x) < std::get<0>(y); });
        return out;
    }
    std::optional<TUaBackendValue> ReadNow(const std::string& id, bool device) {
        std::optional<TUaBackendValue> got;
        Session->Read(id, device ? 0.0 : UaCacheAge, [&](const TUaBackendValue& v) { got = v; });
        return got;
    }
};

// Named sessions' client lines: OPCServerTest and server.test.js.
TEST_F(UaDaBackendTest, ASessionWithoutANameIsAnUnknownClient) {
    Backend.CreateSession("").reset();
    EXPECT_EQ(T.Capture.CountStartingWith("Client Client name unknown disconnected at "), 1);
}

TEST_F(UaDaBackendTest, BrowsesTheDaTreeDownToWordVariablesAndRefusesUnknownFolders) {
    EXPECT_EQ(Lines(Children("/")), (std::vector<std::string>{"/Sys: Sys folder", "/PLC1: PLC1 folder"}));
    auto plc = Children("/PLC1");
    for (const char* id : {"/PLC1/Sys", "/PLC1/WR", "/PLC1/X"}) EXPECT_TRUE(FindNode(plc, id)) << id;
    auto wr = Children("/PLC1/WR");
    EXPECT_EQ(wr.size(), 16u);
    ASSERT_TRUE(FindNode(wr, "/PLC1/WR/WR0xxx"));
    auto last = Children("/PLC1/WR/WR0xxx/WR00xx/WR001x");
    ASSERT_EQ(last.size(), 16u);
    EXPECT_EQ(Lines(last)[0], "PLC1.WR0010: WR0010 i=5 rank -1 length 0 rw");
    // Going sideways and back up moves the one browser consistently.
    EXPECT_EQ(Children("/PLC1/WR/WR0xxx/WR01xx").size(), 16u);
    EXPECT_TRUE(FindNode(Children("/Sys"), "Sys.ServerUpTime"));
    EXPECT_TRUE(FindNode(Children("/PLC1/Sys"), "PLC1.ComStatus"));
    for (const char* unknown : {"/PLC9", "/PLC1/WR/WRGxxx", "/PLC1/WR/WR0xxx/WR00xx/WR001x/WR0010"})
        Children(unknown, false); // the last: no level below the leaves
    // After a failed walk the browser is still usable.
    EXPECT_EQ(Children("/PLC1/WR/WR0xxx/WR00xx/WR001x").size(), 16u);
    // Listing leaves resolves their IDs but holds nothing.
    T.Platform.Advance(100);
    ExpectUnreferenced(0x10);
}

TEST_F(UaDaBackendTest, BrowsingSurvivesThePlcBeingDeletedAndMadeAgain) {
    EXPECT_EQ(Children("/PLC1/WR/WR0xxx").size(), 16u);
    PLCs.DeletePLC(0);
    EXPECT_EQ(Describe("/PLC1/WR"), "unknown"); // above the kept position, but gone
    Children("/PLC1/WR/WR0xxx/WR00xx", false);
    THitachiPLC& again = PLCs.AddPLC();
    again.SetHost("127.0.0.1");
    ASSERT_EQ(again.Name, "PLC1");
    // The kept position says PLC1/WR/WR0xxx, the browser sits at the root: still found.
    EXPECT_EQ(Children("/PLC1/WR/WR0xxx/WR00xx").size(), 16u);
    EXPECT_EQ(Children("/").size(), 2u);
}

TEST_F(UaDaBackendTest, DescribesOnlyTheCanonicalSpellingOfAnItemIdWithoutHoldingIt) {
    const std::pair<std::string, const char*> rows[] = {
        {"/PLC1/WR/WR0xxx", "WR0xxx folder"},
        {"PLC1.WR0010", "WR0010 i=5 rank -1 length 0 rw"},
        {"PLC1.WR0010s", "WR0010s i=4 rank -1 length 0 rw"},
        {"PLC1.WR0020.arr.4", "WR0020.arr.4 i=5 rank 1 length 4 rw"},
        {"PLC1.WR0010.arr.2", "WR0010.arr.2 i=5 rank 1 length 2 rw"},
        {"PLC1.WR0030.asc.8", "WR0030.asc.8 i=12 rank -1 length 0 rw"},
        {"PLC1.M00020", "M00020 i=1 rank -1 length 0 rw"},
        {"PLC1.DR0006", "DR0006 i=7 rank -1 length 0 rw"},
        {"Sys.ServerUpTime", "ServerUpTime i=12 rank -1 length 0 ro"},
        {"Sys.ClientsConnected", "ClientsConnected i=6 rank -1 length 0 ro"},
    };
    for (const auto& [id, line] : rows) EXPECT_EQ(Describe(id), line) << id;
    // Other spellings are refused as node-opcua sees them (server.test.js).
    EXPECT_EQ(Describe(""), "unknown");
    // Without a session there is no browser to ask.
    TUaBackendNode node;
    EXPECT_FALSE(Backend.Describe("PLC1.WR0010", node, nullptr));
    T.Platform.Advance(100);
    for (std::uint32_t a : {0x10u, 0x20u, 0x23u, 0x30u}) ExpectUnreferenced(a);
}

TEST_F(UaDaBackendTest, ParentsAreTheFoldersThatListTheNodeAndRangeLeavesWhenMemoryBrowsingIsClosed) {
    // clang-format off
    const std::pair<const char*, const char*> parents[] = {
        {"/PLC1/WR/WR0xxx", "/PLC1/WR"}, {"/PLC1", "/"}, {"Sys.ServerUpTime", "/Sys"}, {"PLC1.ComStatus", "/PLC1/Sys"},
        {"PLC9.WR0010", "/"}, {"plc1.wr0010s", "/PLC1/WR/WR0xxx/WR00xx/WR001x"}};
    // clang-format on
    for (const auto& [id, parent] : parents) EXPECT_EQ(Backend.ParentOf(id), parent) << id;
    for (const std::string id : {"PLC1.WR0010", "PLC1.X00195", "PLC1.DR0020", "PLC1.M7FFFF"}) {
        const std::string parent = Backend.ParentOf(id);
        EXPECT_TRUE(FindNode(Children(parent), id)) << id << " in " << parent;
    }
    // Browsing of PLC memory closed: a range of each memory type is a leaf of its PLC.
    T.Context.Settings.AllowBrowsing = false;
    auto plc = Children("/PLC1");
    EXPECT_TRUE(FindNode(plc, "/PLC1/Sys") && !FindNode(plc, "/PLC1/WR"));
    ASSERT_TRUE(FindNode(plc, "PLC1.WR0"));
    EXPECT_EQ(FindNode(plc, "PLC1.WR0")->Name, "WR0 .. WRFFFF");
    Children("/PLC1/WR", false);
    EXPECT_EQ(Backend.ParentOf("PLC1.WR0010"), "/PLC1");
}

TEST_F(UaDaBackendTest, BrowsingAtAHumanPaceStaysOpenAndIntensiveBrowsingClosesPlcMemoryAsForADaClient) {
    for (int i = 0; i < 200; ++i) {
        Children(i % 2 ? "/PLC1/WR" : "/PLC1/X");
        T.Platform.Advance(100); // 400 moves in 20 s: never 601 within one 4 s window
    }
    EXPECT_FALSE(Connections.IntensiveBrowsingDetected);
    EXPECT_TRUE(FindNode(Children("/PLC1"), "/PLC1/WR"));
    // Each switch between memory types is one move up to the PLC and one down from it.
    int listed = 0;
    for (int i = 0; i < 320; ++i) {
        std::vector<TUaBackendNode> out;
        listed += Backend.Children(i % 2 ? "/PLC1/WR" : "/PLC1/X", out, Session.get());
    }
    EXPECT_GT(listed, 290); // open until the guard closed it
    EXPECT_LT(listed, 320);
    EXPECT_TRUE(Connections.IntensiveBrowsingDetected);
    auto plc = Children("/PLC1");
    EXPECT_TRUE(!FindNode(plc, "/PLC1/WR") && FindNode(plc, "PLC1.WR0"));
    // Other sessions see the same, as other DA clients do.
    auto other = Backend.CreateSession("second");
    std::vector<TUaBackendNode> out;
    EXPECT_FALSE(Backend.Children("/PLC1/WR", out, other.get()));
}

TEST_F(UaDaBackendTest, CacheReadAnswersAtOnceWithTheLocationsValueAndTime) {
    // A location another client polls.
    auto other = Backend.CreateSession("poller");
    double revised = 0;
    auto group = other->CreateGroup(1000, revised, [](std::vector<TUaItemChange>) {});
    TUaStatusCode status = 0;
    ASSERT_NE(group->AddItem("PLC1.WR0010", 1, true, status), 0u);
    PlcAnswers(0x10, 1234);
    const TDateTime stored = T.Platform.Clock.Date;
    auto got = ReadNow("PLC1.WR0010", false);
    ASSERT_TRUE(got);
    EXPECT_EQ(
        std::tuple(got->Value, got->Status, got->SourceTime),
        std::tuple(U16(1234), UaStatus::Good,
                   static_cast<TUaDateTime>(LocalDateTimeToFileTime(stored, T.Platform.Clock).ToUInt64())));
    EXPECT_EQ(ReadNow("PLC1.NOPE", false).value_or(TUaBackendValue{}).Status, UaStatus::BadNodeIdUnknown);
    // Half a second old: young enough for a maxAge of one second.
    T.Platform.Advance(500);
    got.reset();
    Session->Read("PLC1.WR0010", 1000, [&](const TUaBackendValue& v) { got = v; });
    EXPECT_EQ(got.value_or(TUaBackendValue{}).Value, U16(1234));
    // The read's own item is gone again; only the poller's reference remains.
    EXPECT_EQ(Word(0x10)->RefCount, 1);
    // A server variable never waits for a PLC.
    EXPECT_EQ(ReadNow("Sys.ServerUpTime", true).value_or(TUaBackendValue{}).Value.Type, TUaType::String);
}

TEST_F(UaDaBackendTest, DeviceReadOfALocationNeverPolledEndsAtTheBound) {
    std::optional<TUaBackendValue> got;
    const std::uint32_t start = T.Platform.Clock.Tick;
    Session->Read("PLC1.WR0011", 0, [&](const TUaBackendValue& v) { got = v; });
    const std::uint32_t bound = Backend.DeviceReadBoundMs();
    EXPECT_EQ(bound, 7000u); // two of the PLC's time-outs (1 s) and 5 s
    T.Platform.Advance(bound - 300);
    EXPECT_FALSE(got);
    T.Platform.Advance(600);
    ASSERT_TRUE(got);
    EXPECT_LE(T.Platform.Clock.Tick - start, bound + TUaDaBackend::DeviceReadCheckMs + 300);
    EXPECT_EQ(got->Status & 0xC0000000u, 0x80000000u); // never read: bad
    T.Platform.Advance(100);
    ExpectUnreferenced(0x11);
}

TEST_F(UaDaBackendTest, WritesGoThroughTheItemWritePath) {
    using enum TUaType;
    const struct {
        const char* Id;
        TUaVariant Value;
        int Code; // memory type of the location written
        bool DoubleWord;
        std::uint32_t Address, Stored;
    } accepted[] = {
        {"PLC1.WR0002", U16(40000), 10, false, 2, 40000},
        // Another type is converted: a double rounds to the word (not its float bit pattern,
        // which a 16-bit word cannot hold), numeric text is a number.
        {"PLC1.WR0003", TUaVariant::Scalar(Double, 1234.5), 10, false, 3, 1234},
        {"PLC1.WR0007", TUaVariant::Scalar(String, std::string("321")), 10, false, 7, 321},
        {"PLC1.WR0030.asc.2", TUaVariant::Scalar(String, std::string("AB")), 10, false, 0x30, 0x4142},
        {"PLC1.WR0004s", TUaVariant::Scalar(Int16, std::int64_t{-2}), 10, false, 4,
         65534}, // the 16-bit pattern
        // A float written to a double word keeps its bit pattern.
        {"PLC1.DR0006", TUaVariant::Scalar(Float, 1.5), 10, true, 6, std::bit_cast<std::uint32_t>(1.5f)},
        // A bit written true is 1 (00 01 on the wire), not TRUE's -1.
        {"PLC1.M00020", TUaVariant::Scalar(Boolean, true), 4, false, 0x20, 1},
    };
    for (const auto& row : accepted) {
        SCOPED_TRACE(row.Id);
        EXPECT_EQ(WriteNow(row.Id, row.Value), Pending);
        const THitachiLocation* l = PLC1.FindLocation(row.Code, row.Address, row.DoubleWord);
        ASSERT_TRUE(l);
        EXPECT_EQ(std::pair(l->GetValue(), l->WritePending), std::pair(row.Stored, true));
    }
    // clang-format off
    const std::tuple<const char*, TUaVariant, TUaStatusCode> refused[] = {
        {"PLC1.WR0005", TUaVariant::Scalar(Double, 70000.0), UaStatus::BadTypeMismatch},
        {"PLC1.WR0005", TUaVariant::Scalar(Int32, std::int64_t{-40000}), UaStatus::BadTypeMismatch},
        {"PLC1.WR0005", TUaVariant::Scalar(String, std::string("abc")), UaStatus::BadTypeMismatch},
        {"PLC1.WR0005", TUaVariant::Scalar(Guid, std::string(16, '\0')), UaStatus::BadTypeMismatch},
        {"Sys.ClientsConnected", TUaVariant::Scalar(UInt32, std::uint64_t{1}), UaStatus::BadNotWritable},
        {"PLC1.NOPE", U16(1), UaStatus::BadNodeIdUnknown}};
    // clang-format on
    for (const auto& [id, value, expected] : refused) EXPECT_EQ(WriteNow(id, value), expected) << id;
    EXPECT_FALSE(Word(5) && Word(5)->WritePending);
}

// A UA write is answered when the PLC has decided; a write the client is told failed is
// withdrawn, never sent later.
TEST_F(UaDaBackendTest, WriteIsAnsweredWhenThePlcDecides) {
    struct TRow {
        const char* Case;
        std::function<void(THitachiLocation&)> Plc; // what happens at the PLC after 200 ms
        TUaStatusCode Expected;
        std::uint32_t AnsweredBy; // ms
    };
    const std::uint32_t bound = Backend.DeviceReadBoundMs();
    const TRow rows[] = {
        // clang-format off
        {"confirmed", [&](THitachiLocation& l) { l.WritePending = l.WriteRequested = false; l.WriteDoneTime = T.Platform.Clock.Date; },
         UaStatus::Good, 300},
        {"PLC stopped answering", [](THitachiLocation& l) { l.TimedOut = true; }, UaStatus::BadNoCommunication, 300},
        {"no answer at all", [](THitachiLocation&) {}, UaStatus::BadTimeout, bound + TUaDaBackend::DeviceReadCheckMs},
        // clang-format on
    };
    std::uint32_t address = 0x40;
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Case);
        const std::uint32_t start = T.Platform.Clock.Tick;
        std::optional<TUaStatusCode> got;
        Session->Write("PLC1.WR004" + std::to_string(address - 0x40), U16(7),
                       [&](TUaStatusCode s) { got = s; });
        EXPECT_FALSE(got);
        T.Platform.Advance(200);
        EXPECT_FALSE(got);
        row.Plc(*Word(address));
        while (!got && T.Platform.Clock.Tick - start < bound + 1000) T.Platform.Advance(25);
        EXPECT_EQ(got, std::optional(row.Expected));
        EXPECT_LE(T.Platform.Clock.Tick - start, row.AnsweredBy);
        EXPECT_FALSE(Word(address) && Word(address)->WritePending); // withdrawn when not confirmed
        ExpectUnreferenced(address++);
    }
    // A write given up withdraws its own value only: one stored after it stays pending and
    // its write is answered when the PLC confirms it.
    std::optional<TUaStatusCode> first, second;
    const std::uint32_t start = T.Platform.Clock.Tick;
    Session->Write("PLC1.WR0060", U16(7), [&](TUaStatusCode s) { first = s; });
    T.Platform.Advance(bound / 2);
    Session->Write("PLC1.WR0060", U16(9), [&](TUaStatusCode s) { second = s; });
    while (!first && T.Platform.Clock.Tick - start < bound * 2) T.Platform.Advance(25);
    EXPECT_EQ(std::tuple(first, second, Word(0x60)->Value, Word(0x60)->WritePending),
              std::tuple(std::optional(UaStatus::BadTimeout), std::optional<TUaStatusCode>(), 9u, true));
    Word(0x60)->WritePending = Word(0x60)->WriteRequested = false;
    Word(0x60)->WriteDoneTime = T.Platform.Clock.Date;
    T.Platform.Advance(TUaDaBackend::DeviceReadCheckMs);
    EXPECT_EQ(second, std::optional(UaStatus::Good));
    ExpectUnreferenced(0x60);
    // A session that goes is never answered, neither a write nor a device read.
    int calls = 0;
    Session->Write("PLC1.WR0050", U16(1), [&](TUaStatusCode) { ++calls; });
    Session->Read("PLC1.WR0012", 0, [&](const TUaBackendValue&) { ++calls; });
    Session.reset();
    PlcAnswers(0x12, 3);
    T.Platform.Advance(bound + 1000);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(Connections.Count(), 0u);
}

TEST_F(UaDaBackendTest, GroupReportsChangesWithClientHandlesAtTheRevisedRate) {
    std::vector<TUaItemChange> changes;
    double revised = 0;
    auto group = Session->CreateGroup(130, revised, [&](std::vector<TUaItemChange> c) {
        changes.insert(changes.end(), c.begin(), c.end());
    });
    ASSERT_TRUE(group);
    // The hidden group and this one.
    EXPECT_EQ(std::pair(revised, Connections.Servers()[0]->Groups().Count()),
              std::pair(150.0, std::size_t{2}));
    TUaStatusCode status = 0;
    const std::uint32_t a = group->AddItem("PLC1.WR0010", 7, true, status);
    const std::uint32_t b = group->AddItem("PLC1.WR0011", 8, true, status);
    ASSERT_TRUE(a && b && a != b);
    status = 0;
    EXPECT_EQ(group->AddItem("PLC1.NOPE", 9, true, status), 0u);
    EXPECT_EQ(status, UaStatus::BadNodeIdUnknown);

    PlcAnswers(0x10, 100);
    PlcAnswers(0x11, 200);
    T.Platform.Advance(200);
    EXPECT_EQ(Take(changes), (TChanges{{7, U16(100), UaStatus::Good}, {8, U16(200), UaStatus::Good}}));
    PlcAnswers(0x10, 101);
    T.Platform.Advance(200);
    EXPECT_EQ(Take(changes), (TChanges{{7, U16(101), UaStatus::Good}}));
    // What the driver cycle records for reads that failed reaches the group as such.
    Word(0x11)->ErrorCount = BadErrorCount;
    T.Context.Settings.EnableBAD = true;
    T.Platform.Advance(200);
    ASSERT_FALSE(changes.empty());
    EXPECT_EQ(changes.back().Value.Status, UaStatus::BadNoCommunication);
    changes.clear();

    // An inactive item reports nothing; a removed one frees its location.
    group->SetItemActive(a, false);
    group->RemoveItem(b);
    PlcAnswers(0x10, 102);
    T.Platform.Advance(200);
    EXPECT_TRUE(changes.empty());
    EXPECT_EQ(group->SetUpdateRate(30), 50.0);
    group.reset();
    EXPECT_EQ(Connections.Servers()[0]->Groups().Count(), 1u);
    T.Platform.Advance(100);
    for (std::uint32_t a : {0x10u, 0x11u}) ExpectUnreferenced(a);
}

} // namespace
} // namespace dravon
