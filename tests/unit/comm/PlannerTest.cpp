// Which monitored locations go into one read request, and whether it is a block or a
// random read: checked on the request the driver actually sends.
#include "comm/CommDriver.h"

#include "plc/MemoryTypes.h"
#include "plc/PLCCollection.h"
#include "support/TestContext.h"

#include <gtest/gtest.h>

#include <memory>
#include <utility>
#include <vector>

namespace dravon {
namespace {

using Bytes = std::vector<std::uint8_t>;

class TSentDriver : public TCommDriver {
public:
    using TCommDriver::TCommDriver;
    std::vector<Bytes> Sent;
    void Transmit(std::span<const std::uint8_t> frame, THitachiPLC*) override {
        Sent.emplace_back(frame.begin(), frame.end());
    }
};

TDriverLink EthernetLink() {
    TDriverLink link;
    link.Kind = 2;
    link.Address = "127.0.0.1";
    link.Port = 3004;
    link.Protocol = FrameProtocolEthernet;
    return link;
}

class PlannerTest : public ::testing::Test {
protected:
    test::TTestContext T;
    TPLCCollection PLCs{T.Context};
    THitachiPLC& PLC = PLCs.AddPLC();
    TSentDriver Driver{T.Context, EthernetLink()};
    std::vector<std::unique_ptr<THitachiLocation>> Locations;

    THitachiLocation& Make(int code, std::uint32_t address, std::uint16_t varType) {
        auto location = std::make_unique<THitachiLocation>();
        location->Code = code;
        location->Address = address;
        location->VarType = varType;
        location->ReadRequested = true;
        Locations.push_back(std::move(location));
        return *Locations.back();
    }
    void Words(std::uint32_t first, int count, std::uint32_t step = 1, int code = 0x0A) {
        for (int i = 0; i < count; ++i) Make(code, first + static_cast<std::uint32_t>(i) * step, VarTypeUI2);
    }
    // Offers the locations from `from` on as the cycle does; returns how many were taken.
    std::size_t Offer(std::size_t from = 0) {
        std::size_t i = from;
        for (; i < Locations.size(); ++i) {
            auto result = Driver.AddRead(*Locations[i]);
            if (result.Refused) return i - from;
            if (!result.MoreRoom) return i + 1 - from;
        }
        return i - from;
    }
    // The request as sent: payload 00 seq FF FF 00 00 command ...
    Bytes Send() {
        Driver.SendRead(PLC);
        EXPECT_FALSE(Driver.Sent.empty());
        return Driver.Sent.empty() ? Bytes{} : Driver.Sent.back();
    }
};

TEST_F(PlannerTest, NineWordsRandomTenWordsBlock) {
    Words(0, 9);
    EXPECT_EQ(Offer(), 9u);
    Bytes nine = Send();
    EXPECT_EQ(nine[6], CmdRandomRead);
    EXPECT_EQ(nine[7], 9);
    EXPECT_EQ(nine.size(), 8u + 9u * 4u);

    Driver.ReadList.clear();
    Locations.clear();
    Words(0, 10);
    EXPECT_EQ(Offer(), 10u);
    EXPECT_EQ(Send(), (Bytes{0x00, 0x02, 0xFF, 0xFF, 0x00, 0x00, 0xA0, 0x0A, 0x00, 0x00, 0x00, 10}));
}

TEST_F(PlannerTest, HundredThirtyWordsSplitAt120) {
    Words(0, 130);
    EXPECT_EQ(Offer(), 120u);
    EXPECT_FALSE(Driver.CanAddRead());
    Bytes first = Send();
    EXPECT_EQ(first[6], CmdBlockRead);
    EXPECT_EQ(first[11], 120);
    Driver.ReadList.clear();
    EXPECT_EQ(Offer(120), 10u);
    Bytes rest = Send();
    EXPECT_EQ(rest[6], CmdBlockRead);
    EXPECT_EQ(rest[10], 120); // WR0078
    EXPECT_EQ(rest[11], 10);
}

TEST_F(PlannerTest, TwoHundredFortyBitsInOneBlock) {
    for (std::uint32_t a = 0; a < 250; ++a) Make(0x04, a, VarTypeBool);
    EXPECT_EQ(Offer(), 240u);
    EXPECT_EQ(Driver.FreeReadSlots(), 0);
    Bytes block = Send();
    EXPECT_EQ(block[6], CmdBlockRead);
    EXPECT_EQ(block[7], 0x04);
    EXPECT_EQ(block[11], 0xF0);
}

TEST_F(PlannerTest, MinBlockSizeZeroReadsSingleLocationAsBlock) {
    T.Context.Settings.MinBlockSize = 0;
    Words(0x10, 1);
    Offer();
    EXPECT_EQ(Send(), (Bytes{0x00, 0x01, 0xFF, 0xFF, 0x00, 0x00, 0xA0, 0x0A, 0x00, 0x00, 0x10, 1}));
}

TEST_F(PlannerTest, DifferentCodesNeverBlock) {
    Words(0, 5);
    Words(0, 5, 1, 0x0C); // WM after WR
    Offer();
    EXPECT_FALSE(Driver.BlockReadQualifies(false));
    EXPECT_EQ(Send()[6], CmdRandomRead);
}

TEST_F(PlannerTest, SkipsUnrequestedAndDoubleWords) {
    THitachiLocation& a = Make(0x0A, 0, VarTypeUI2);
    THitachiLocation& b = Make(0x0A, 1, VarTypeUI2);
    b.ReadRequested = false;
    THitachiLocation& dw = Make(0x0A, 2, VarTypeUI2);
    dw.IsDoubleWord = true;
    a.TimedOut = true;
    Offer();
    EXPECT_EQ(Driver.ReadList, (std::vector<THitachiLocation*>{&a}));
    EXPECT_FALSE(a.TimedOut);
}

TEST_F(PlannerTest, WriteListLimit) {
    for (int i = 0; i < 40; ++i) {
        THitachiLocation& l = Make(0x0A, static_cast<std::uint32_t>(i), VarTypeUI2);
        l.WritePending = i != 3;
    }
    int taken = 0;
    for (auto& l : Locations) {
        ++taken;
        if (!Driver.AddWrite(*l)) break;
    }
    EXPECT_EQ(Driver.WriteCount(), 35);
    EXPECT_EQ(taken, 36);
    EXPECT_EQ(Driver.FreeWriteSlots(), 0);
    EXPECT_FALSE(Driver.AddWrite(*Locations.back()));
    EXPECT_EQ(Driver.WriteCount(), 35);
}

TEST_F(PlannerTest, ErrorCountGrowsPerRequestUnlessRetry) {
    Words(0, 2);
    Offer();
    Send();
    EXPECT_EQ(Locations[0]->ErrorCount, 1);
    PLC.RetryPending = true;
    Send();
    EXPECT_EQ(Locations[0]->ErrorCount, 1);
}

// The planner against a plain restatement of its rule (the unused share of the block, in
// whole percent, at most 100 - MinBlockUsage; at most 55 locations otherwise; at most 120
// words; settings out of range allow no block): same locations taken, same room left and
// refusals, same kind of request sent, over usages, minimum sizes and address gaps around
// every boundary.
TEST_F(PlannerTest, AgreesWithTheRuleOverUsagesSizesAndGaps) {
    // What each offer answered, up to the first that left no room or was refused.
    using TTrace = std::vector<std::pair<bool, bool>>; // (room left, refused)
    for (int usage : {-1, 0, 1, 33, 49, 50, 51, 67, 99, 100, 101}) {
        for (int minSize : {0, 10, 54, 55}) {
            for (std::uint32_t gap : {1u, 2u, 3u, 5u}) {
                T.Context.Settings.MinBlockUsage = usage;
                T.Context.Settings.MinBlockSize = minSize;
                Driver.ReadList.clear();
                Locations.clear();
                Words(0, 130, gap);

                std::vector<std::uint32_t> list;
                auto qualifies = [&](bool strict) {
                    if (list.empty()) return false;
                    const long span = static_cast<long>(list.back()) - static_cast<long>(list.front()) + 1;
                    if (strict ? span >= 120 : span > 120) return false;
                    const long count = static_cast<long>(list.size());
                    const long unused = 100 - count * 100 / span;
                    return usage >= 0 && usage <= 100 && minSize >= 0 && minSize <= 54 &&
                           unused <= 100 - usage && count >= minSize;
                };
                auto room = [&] { return list.size() < 301 && (qualifies(true) || list.size() < 55); };
                TTrace expected;
                for (const auto& location : Locations) {
                    if (!room()) {
                        expected.emplace_back(false, false);
                        break;
                    }
                    list.push_back(location->Address);
                    if (list.size() > 55 && !qualifies(false)) {
                        list.pop_back();
                        expected.emplace_back(false, true);
                        break;
                    }
                    expected.emplace_back(room(), false);
                    if (!expected.back().first) break;
                }

                TTrace actual;
                for (const auto& location : Locations) {
                    const auto result = Driver.AddRead(*location);
                    actual.emplace_back(result.MoreRoom, result.Refused);
                    if (result.Refused || !result.MoreRoom) break;
                }
                EXPECT_EQ(Driver.ReadList.size(), list.size())
                    << "usage " << usage << ", min size " << minSize << ", gap " << gap;
                EXPECT_EQ(actual, expected)
                    << "usage " << usage << ", min size " << minSize << ", gap " << gap;
                // The request sent: a block of the whole span, or a random read of each.
                const Bytes sent = Send();
                ASSERT_GE(sent.size(), 12u);
                if (qualifies(false)) {
                    EXPECT_EQ(sent[6], CmdBlockRead)
                        << "usage " << usage << ", min size " << minSize << ", gap " << gap;
                    EXPECT_EQ(sent[11], list.back() - list.front() + 1);
                } else {
                    EXPECT_EQ(sent[6], CmdRandomRead)
                        << "usage " << usage << ", min size " << minSize << ", gap " << gap;
                    EXPECT_EQ(sent[7], list.size());
                }
            }
        }
    }
}

} // namespace
} // namespace dravon
