// A client may remove an item right after writing it: the write must still reach the PLC,
// so purging keeps every location whose write is not yet answered.
#include "plc/PLCCollection.h"
#include "support/TestContext.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace dravon {
namespace {

class PurgeWithPendingWrite : public ::testing::Test {
protected:
    test::TTestContext T;
    TPLCCollection PLCs{T.Context};
    THitachiPLC& PLC1 = PLCs.AddPLC();

    std::vector<std::string> MonitoredNames() const {
        std::vector<std::string> names;
        for (int i = 0; i < PLC1.Monitored.Count(); ++i)
            names.push_back(PLC1.Monitored.Item(i).LocationName());
        return names;
    }
};

TEST_F(PurgeWithPendingWrite, UnreferencedWordWithPendingWriteSurvivesUntilAnswered) {
    THitachiLocation* written = PLCs.ResolveItemId("PLC1.WR0010").Location;
    THitachiLocation* idle = PLCs.ResolveItemId("PLC1.WR0020").Location;
    ASSERT_NE(written, nullptr);
    ASSERT_NE(idle, nullptr);
    written->AddRef();
    written->StoreWrittenValue(0x1234);
    ASSERT_TRUE(written->WritePending);
    written->Release();
    ASSERT_EQ(written->RefCount, 0);

    EXPECT_EQ(PLC1.Monitored.PurgeUnused(), 1); // only WR0020
    EXPECT_EQ(MonitoredNames(), (std::vector<std::string>{"WR0010"}));
    EXPECT_EQ(PLC1.Monitored.FindLocation(written->Code, written->Address, false), written);
    EXPECT_EQ(written->Value, 0x1234u);
    EXPECT_TRUE(written->WriteRequested);

    // The PLC acknowledged the write: now nothing holds it.
    written->WritePending = false;
    written->WriteRequested = false;
    EXPECT_EQ(PLC1.Monitored.PurgeUnused(), 1);
    EXPECT_EQ(PLC1.Monitored.Count(), 0);
}

TEST_F(PurgeWithPendingWrite, ReferencedLocationWithoutWriteStaysAndUnreferencedGoes) {
    THitachiLocation* held = PLCs.ResolveItemId("PLC1.WR0001").Location;
    PLCs.ResolveItemId("PLC1.M00123");
    held->AddRef();
    EXPECT_FALSE(held->WritePending);
    EXPECT_EQ(PLC1.Monitored.PurgeUnused(), 1);
    EXPECT_EQ(MonitoredNames(), (std::vector<std::string>{"WR0001"}));
}

TEST_F(PurgeWithPendingWrite, DoubleWordWithPendingWriteKeepsItselfAndBothHalves) {
    THitachiLocation* dw = PLCs.ResolveItemId("PLC1.DR0010").Location;
    ASSERT_NE(dw, nullptr);
    dw->AddRef();
    dw->StoreWrittenValue(0x00012345u);
    dw->Release();
    ASSERT_TRUE(dw->WritePending);
    ASSERT_NE(dw->HighLink, nullptr);
    ASSERT_NE(dw->LowLink, nullptr);
    EXPECT_TRUE(dw->HighLink->WritePending);
    EXPECT_TRUE(dw->LowLink->WritePending);

    EXPECT_EQ(PLC1.Monitored.PurgeUnused(), 0);
    EXPECT_EQ(PLC1.Monitored.Count(), 3);
    EXPECT_EQ(dw->HighLink->Value + (dw->LowLink->Value << 16) == 0x00012345u ||
                  dw->LowLink->Value + (dw->HighLink->Value << 16) == 0x00012345u,
              true);

    // The halves answered first; the double word itself is still pending.
    dw->HighLink->WritePending = false;
    dw->LowLink->WritePending = false;
    EXPECT_EQ(PLC1.Monitored.PurgeUnused(), 0); // halves still held by the double word
    dw->WritePending = false;
    int freed = PLC1.Monitored.PurgeUnused();
    freed += PLC1.Monitored.PurgeUnused();
    EXPECT_EQ(freed, 3);
    EXPECT_EQ(PLC1.Monitored.Count(), 0);
}

} // namespace
} // namespace dravon
