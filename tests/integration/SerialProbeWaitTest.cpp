// How long the driver cycle waits for a serial probe: the PLC's time-out and the wire
// time, clamped, plus 2000 ms once (counted twice, every probe after a reset waited
// 4.3 s instead of 2.3 s and an idle port took 13 s to give values again).
#include "support/FakeTransports.h"
#include "support/TestContext.h"

#include "comm/HProtocol.h"
#include "comm/SerialDriver.h"
#include "plc/DriverPool.h"
#include "plc/HitachiLocation.h"
#include "plc/HitachiPLC.h"
#include "plc/PLCCollection.h"

#include <gtest/gtest.h>

namespace dravon {
namespace {

TEST(SerialProbeWait, AProbeAddsTwoSecondsOnceToTheRequestsWait) {
    test::TTestContext test;
    test::TFakeTransportFactory transports;
    test.Context.Transports = &transports;
    TPLCCollection plcs{test.Context};
    THitachiPLC& plc = plcs.AddPLC();
    plc.SerialCom = 1;
    plc.TimeOut = 1000;
    TDriverLink link;
    link.Kind = DriverSerial;
    link.Protocol = 1;
    link.ComNumber = 1;
    TSerialDriver driver(test.Context, link);
    THitachiLocation* word = plcs.ResolveItemId(plc.Name + ".WR0000").Location;
    ASSERT_NE(word, nullptr);

    // A fresh driver's first transmission is a probe (the counter starts at 2) at 38400.
    ASSERT_TRUE(driver.AddRead(*word).MoreRoom);
    driver.SendRead(plc);
    test::TRecordingComPort& port = *transports.ComPorts[0];
    ASSERT_EQ(port.Writes.size(), 1u);
    EXPECT_EQ(port.Writes[0].Bytes, ProbeFrame());
    EXPECT_TRUE(driver.Probing);
    // 1000 + a few ms for some 20 characters at 38400 baud + 2000.
    EXPECT_GE(driver.Wait, 3000);
    EXPECT_LT(driver.Wait, 3050);

    // The next request is real: no probe time.
    ASSERT_TRUE(driver.AddRead(*word).MoreRoom);
    driver.SendRead(plc);
    ASSERT_EQ(port.Writes.size(), 2u);
    EXPECT_NE(port.Writes[1].Bytes, ProbeFrame());
    EXPECT_FALSE(driver.Probing);
    EXPECT_GE(driver.Wait, 1000);
    EXPECT_LT(driver.Wait, 1050);
}

} // namespace
} // namespace dravon
