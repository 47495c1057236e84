// Bytes from a PLC link: the stream reassembly (ASCII and binary) and the answer check of
// the driver, with a read request in flight so that answers reach the locations. Nothing
// may crash, read out of bounds or let the receive accumulator grow without limit.
//
// Input: byte 0 selects the link (bit 0 binary framing, bit 1 multidrop, bit 2 procedure
// 2, bits 3-4 protocol 1..3, bit 5 block read), byte 1 the chunk size; the rest is the
// received stream, cut into chunks as a port would deliver it.
#include "support/FuzzInput.h"
#include "support/TestContext.h"

#include "comm/CommDriver.h"
#include "plc/HitachiPLC.h"

#include <span>

namespace {

using namespace dravon;
using fuzz::Check;

class TFuzzDriver : public TCommDriver {
public:
    using TCommDriver::TCommDriver;
    void Transmit(std::span<const std::uint8_t>, THitachiPLC*) override {}
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::uint8_t mode = data[0];
    const std::size_t chunk = data[1] == 0 ? 1 : data[1];
    std::span<const std::uint8_t> stream(data + 2, size - 2);

    test::TTestContext t;
    t.Context.Settings.MinBlockSize = (mode & 0x20) ? 0 : 10;
    TPLCCollection plcs{t.Context};
    THitachiPLC& plc = plcs.AddPLC();
    int protocol = 1 + ((mode >> 3) & 3) % 3;
    if (TSerialPortInfo* port = plcs.SerialPorts.Port(plc.SerialCom)) {
        port->MultiDrop = (mode & 0x02) != 0;
        port->TrnsProc = (mode & 0x04) != 0;
    }
    plc.SerialStatNo = 5;

    TDriverLink link;
    link.Kind = protocol == 3 ? 2 : 3;
    link.Protocol = protocol;
    TFuzzDriver driver(t.Context, link);
    driver.BinaryMode = (mode & 0x01) != 0;

    fuzz::THeldLocations held(plcs, {"PLC1.WR0010", "PLC1.WR0011", "PLC1.WR0013", "PLC1.M00120"});
    for (THitachiLocation* location : held.Locations) driver.AddRead(*location);
    driver.CurrentPLC = &plc;
    driver.SendRead(plc);

    std::vector<std::uint8_t> partial;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
        auto piece = stream.subspan(at, std::min(chunk, stream.size() - at));
        if (protocol == 3) {
            // As the TCP driver does: pieces are kept until the answer that the request in
            // flight makes us expect is whole.
            partial.insert(partial.end(), piece.begin(), piece.end());
            const std::size_t whole = driver.EthernetAnswerLength(partial);
            // Seven bytes only for a BUSY or error answer that ends with its status.
            Check(whole > 7 || (whole == 7 && partial.size() == 7));
            if (partial.size() >= whole || partial.size() >= 2500) {
                driver.ProcessResponse(partial);
                partial.clear();
            }
        } else {
            driver.ParseStream(piece);
        }
        Check(driver.Rx.Pending() <= TStreamParser::AccumulatorLimit && driver.ReplyBuffer.size() <= 6);
        // Ask again so that later answers meet a request in flight.
        if (driver.Answered) {
            for (THitachiLocation* location : held.Locations) location->ReadRequested = true;
            for (THitachiLocation* location : held.Locations) driver.AddRead(*location);
            driver.SendRead(plc);
        }
    }
    driver.ReadList.clear();
    return 0;
}
