// Which monitored locations go into one read request, and whether it is a block or a
// random read: checked on the requests the driver actually sends.
#include "comm/CommDriver.h"

#include "plc/MemoryTypes.h"
#include "plc/PLCCollection.h"
#include "support/TestContext.h"

#include <gtest/gtest.h>

#include <memory>
#include <tuple>
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

class PlannerTest : public ::testing::Test {
protected:
    test::TTestContext T;
    TPLCCollection PLCs{T.Context};
    THitachiPLC& PLC = PLCs.AddPLC();
    TSentDriver Driver{T.Context,
                       {.Kind = 2, .Address = "127.0.0.1", .Port = 3004, .Protocol = FrameProtocolEthernet}};
    std::vector<std::unique_ptr<THitachiLocation>> Locations;

    THitachiLocation& Make(int code, std::uint32_t address, std::uint16_t varType) {
        THitachiLocation& l = *Locations.emplace_back(std::make_unique<THitachiLocation>());
        std::tie(l.Code, l.Address, l.VarType, l.ReadRequested) = std::tuple(code, address, varType, true);
        return l;
    }
};

// The planner against a plain restatement of its rule: the unused share of a block, in
// whole percent, at most 100 - MinBlockUsage, at least MinBlockSize locations, both
// settings in range (0-100, 0-54), one memory type, at most 120 words or 240 bits; at most
// 55 locations otherwise. Every location is offered as the cycle does, request after
// request: the same answers to each offer, the same free slots, the same requests sent.
TEST_F(PlannerTest, AgreesWithTheRuleOverUsagesSizesGapsAndKinds) {
    struct TKind {
        const char* Name;
        int Code, SecondCode;
        std::uint16_t VarType;
        long Limit;
    };
    // clang-format off
    const TKind kinds[] = {{"words", 0x0A, 0x0A, VarTypeUI2, 120}, {"bits", 0x04, 0x04, VarTypeBool, 240},
                           {"WR then WM", 0x0A, 0x0C, VarTypeUI2, 120}};
    // clang-format on
    using TTrace = std::vector<std::pair<bool, bool>>; // (room left, refused) per offer
    for (const TKind& kind : kinds)
        for (int count : {1, 9, 10, 130, 250})
            for (int usage : {-1, 0, 1, 33, 49, 50, 51, 67, 99, 100, 101})
                for (int minSize : {0, 10, 54, 55})
                    for (std::uint32_t gap : {1u, 2u, 3u, 5u}) {
                        SCOPED_TRACE(::testing::Message()
                                     << kind.Name << " count " << count << " usage " << usage << " min size "
                                     << minSize << " gap " << gap);
                        T.Context.Settings.MinBlockUsage = usage;
                        T.Context.Settings.MinBlockSize = minSize;
                        Locations.clear();
                        for (int i = 0; i < count; ++i)
                            Make(i < count / 2 ? kind.Code : kind.SecondCode,
                                 static_cast<std::uint32_t>(i) * gap, kind.VarType);
                        std::size_t next = 0;
                        for (int request = 0; next < Locations.size(); ++request) {
                            ASSERT_LT(request, 300);
                            std::vector<const THitachiLocation*> list;
                            auto qualifies = [&](bool strict) {
                                if (list.empty() || list.front()->Code != list.back()->Code) return false;
                                const long span =
                                    static_cast<long>(list.back()->Address - list.front()->Address) + 1;
                                if (strict ? span >= kind.Limit : span > kind.Limit) return false;
                                const long n = static_cast<long>(list.size());
                                return usage >= 0 && usage <= 100 && minSize >= 0 && minSize <= 54 &&
                                       100 - n * 100 / span <= 100 - usage && n >= minSize;
                            };
                            auto room = [&] {
                                return list.size() < 301 && (qualifies(true) || list.size() < 55);
                            };
                            TTrace expected;
                            std::size_t i = next;
                            for (; i < Locations.size(); ++i) {
                                if (!room()) {
                                    expected.emplace_back(false, false);
                                    break;
                                }
                                list.push_back(Locations[i].get());
                                if (list.size() > 55 && !qualifies(false)) {
                                    list.pop_back();
                                    expected.emplace_back(false, true);
                                    break;
                                }
                                expected.emplace_back(room(), false);
                                if (!expected.back().first) {
                                    ++i;
                                    break;
                                }
                            }
                            TTrace actual;
                            for (std::size_t j = next; j < Locations.size(); ++j) {
                                const auto result = Driver.AddRead(*Locations[j]);
                                actual.emplace_back(result.MoreRoom, result.Refused);
                                if (result.Refused || !result.MoreRoom) break;
                            }
                            ASSERT_EQ(actual, expected) << "request " << request;
                            const int free = list.size() <= 55 ? 55 - static_cast<int>(list.size())
                                                               : static_cast<int>(kind.Limit) -
                                                                     static_cast<int>(list.size());
                            EXPECT_EQ(Driver.FreeReadSlots(), free);
                            // The request sent: a block of the whole span, or a random read of each.
                            const bool block = qualifies(false);
                            Driver.SendRead(PLC);
                            ASSERT_FALSE(Driver.Sent.empty());
                            const Bytes& sent = Driver.Sent.back();
                            // The sequence number counts the requests, 255 then 0.
                            EXPECT_EQ(sent[1], Driver.Sent.size() % 256);
                            EXPECT_EQ(sent[6], block ? CmdBlockRead : CmdRandomRead);
                            const std::uint32_t first = list.front()->Address;
                            if (block) {
                                EXPECT_EQ(sent, (Bytes{0x00, sent[1], 0xFF, 0xFF, 0x00, 0x00, 0xA0,
                                                       static_cast<std::uint8_t>(list.front()->Code), 0x00,
                                                       static_cast<std::uint8_t>(first >> 8),
                                                       static_cast<std::uint8_t>(first),
                                                       static_cast<std::uint8_t>(list.back()->Address -
                                                                                 first + 1)}));
                            } else {
                                EXPECT_EQ(sent[7], list.size());
                                EXPECT_EQ(sent.size(), 8 + 4 * list.size());
                            }
                            EXPECT_EQ(Locations[next]->ErrorCount, 1);
                            Driver.ReadList.clear();
                            next = i;
                        }
                    }
}

TEST_F(PlannerTest, SkipsUnrequestedAndDoubleWordsAndRetriesCountNoError) {
    THitachiLocation& a = Make(0x0A, 0, VarTypeUI2);
    Make(0x0A, 1, VarTypeUI2).ReadRequested = false;
    Make(0x0A, 2, VarTypeUI2).IsDoubleWord = true;
    a.TimedOut = true;
    for (auto& location : Locations) Driver.AddRead(*location);
    EXPECT_TRUE(Driver.ReadList == std::vector<THitachiLocation*>{&a} && !a.TimedOut);
    PLC.RetryPending = true;
    Driver.SendRead(PLC);
    EXPECT_EQ(a.ErrorCount, 0);
}

TEST_F(PlannerTest, WriteListLimit) {
    for (int i = 0; i < 40; ++i) Make(0x0A, static_cast<std::uint32_t>(i), VarTypeUI2).WritePending = i != 3;
    int taken = 0;
    for (auto& l : Locations) {
        ++taken;
        if (!Driver.AddWrite(*l)) break;
    }
    EXPECT_EQ(std::tuple(Driver.WriteCount(), taken, Driver.FreeWriteSlots()), std::tuple(35, 36, 0));
    EXPECT_FALSE(Driver.AddWrite(*Locations.back()));
    EXPECT_EQ(Driver.WriteCount(), 35);
}

} // namespace
} // namespace dravon
