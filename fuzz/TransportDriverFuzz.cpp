// What a link delivers to the real serial, TCP and UDP drivers: their own receive paths
// (the serial port's speed probe and binary switch, the stream reassembly in ASCII and
// binary framing and the answer check, the TCP reassembly, the UDP routing by sender text)
// with requests in flight, socket errors and time passing in between. Nothing may crash,
// read out of bounds or let the receive accumulator grow without limit.
//
// Input: byte 0 selects the driver (its value modulo 3: 0 serial, 1 TCP, 2 UDP; bit 2
// binary framing, bit 3 multidrop, bit 4 procedure 2, bit 5 block read, bit 6 serial
// protocol 2); then operations: 0 receive (length byte, bytes; UDP: sender text first, its
// length byte before it), 1 ask again, 2 link error, 3 time passes (byte * 50 ms).
#include "support/FakeTransports.h"
#include "support/FuzzInput.h"
#include "support/TestContext.h"

#include "comm/CommDriver.h"
#include "comm/TransportDriverFactory.h"
#include "plc/DriverPool.h"
#include "plc/HitachiPLC.h"

#include <memory>

using namespace dravon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    fuzz::TInput in(data, size);
    const std::uint8_t mode = in.Byte();
    const int kind = mode % 3;

    test::TTestContext t;
    t.Context.Settings.MinBlockSize = (mode & 0x20) ? 0 : 10;
    test::TFakeTransportFactory transports;
    t.Context.Transports = &transports;
    TPLCCollection plcs{t.Context};
    THitachiPLC& plc = plcs.AddPLC();
    plc.ResolvedIP = "127.0.0.1";
    plc.TcpPort = 3004;
    plc.SerialCom = 1;
    plc.SerialStatNo = 5;
    if (TSerialPortInfo* port = plcs.SerialPorts.Port(plc.SerialCom)) {
        port->MultiDrop = (mode & 0x08) != 0;
        port->TrnsProc = (mode & 0x10) != 0;
    }

    const int kinds[] = {DriverSerial, DriverTcp, DriverUdp};
    const TDriverLink link{.Kind = kinds[kind],
                           .Address = "127.0.0.1",
                           .Port = 3004,
                           .ComNumber = 1,
                           .Protocol = kind            ? 3
                                       : (mode & 0x40) ? 2
                                                       : 1};
    std::unique_ptr<TCommDriver> driver = TTransportDriverFactory().CreateDriver(t.Context, link);
    driver->BinaryMode = kind == 0 && (mode & 0x04) != 0;

    fuzz::THeldLocations held(plcs, {"PLC1.WR0010", "PLC1.WR0011", "PLC1.M00120"});
    auto askAgain = [&] {
        for (THitachiLocation* location : held.Locations) {
            location->ReadRequested = true;
            driver->AddRead(*location);
        }
        driver->CurrentPLC = &plc;
        driver->SendRead(plc);
    };
    askAgain();
    if (kind == 1 && transports.LiveSocket()) transports.LiveSocket()->Connect();

    for (int steps = 0; !in.Done() && steps < 256; ++steps) {
        switch (in.Byte() % 4) {
        case 0: {
            if (kind == 2) {
                const std::string from = in.Text(in.Byte() % 24);
                if (!transports.Udps.empty()) transports.Udps[0]->Receive(in.Bytes(in.Byte()), from);
            } else if (kind == 1) {
                if (test::TRecordingClientSocket* socket = transports.LiveSocket())
                    socket->Receive(in.Bytes(in.Byte()));
            } else if (!transports.ComPorts.empty()) {
                transports.ComPorts[0]->Receive(in.Bytes(in.Byte()));
            }
            break;
        }
        case 1: askAgain(); break;
        case 2:
            if (kind == 1 && transports.LiveSocket()) {
                const bool drop = (in.Byte() & 1) != 0;
                if (drop)
                    transports.LiveSocket()->Drop();
                else
                    transports.LiveSocket()->Fail(TSocketErrorKind::Disconnect);
                // The handler may have freed the socket.
                if (test::TRecordingClientSocket* socket = transports.LiveSocket()) socket->Connect();
            } else if (kind == 2 && !transports.Udps.empty()) {
                transports.Udps[0]->RaiseInvalidHost();
            }
            break;
        default: t.Platform.Advance(in.Byte() * 50u); break;
        }
        fuzz::Check(driver->Rx.Pending() <= TStreamParser::AccumulatorLimit &&
                    driver->ReplyBuffer.size() <= 6);
    }
    driver->ReadList.clear();
    driver.reset();
    return 0;
}
