// Version-1 clients: IDataObject advise sinks and IOPCAsyncIO with its one request slot per
// kind, answered by a stream on the server tick (the layouts' bytes are pinned in
// OPCDataStreamTest).
#include "OPCClientFixture.h"

#include "opc/FileTime.h"
#include "opc/OPCDataStream.h"

#include <algorithm>

namespace dravon {
namespace {

using test::TOPCClientFixture;

class OPCAsyncIO1Test : public TOPCClientFixture {
protected:
    TComPtr<IDataObject> Data;
    TComPtr<IOPCAsyncIO> V1;

    void SetUp() override {
        TOPCClientFixture::SetUp();
        Data = InterfaceOf<IDataObject>(GroupUnknown);
        V1 = InterfaceOf<IOPCAsyncIO>(GroupUnknown);
        ASSERT_TRUE(Data && V1);
    }
    std::uint16_t Format(const char* name) { return Connections.RegisterClipboardFormat(name); }
};

TEST_F(OPCAsyncIO1Test, OneReadAtATimeAnsweredByAStreamWithTimeAndOneRefresh) {
    const OPCHANDLE a = Add("PLC1.WR0001", VT_EMPTY, 0x51);
    std::uint32_t tid = 0;
    EXPECT_EQ(V1->Read(1, OPC_DS_CACHE, {a}, tid, Errors), CONNECT_E_NOCONNECTION);

    TFormatEtc format{Format(StreamFormatDataTimeName)};
    std::uint32_t connection = 0;
    ASSERT_EQ(Data->DAdvise(format, 0, Sink.Get(), connection), S_OK);
    EXPECT_EQ(connection, 1u);
    EXPECT_EQ(T.Capture.Lines.back(), "Client established AsyncIO callback for group G1 with timestamp");
    EXPECT_EQ(Data->DAdvise(format, 0, Sink.Get(), connection), CONNECT_E_ADVISELIMIT);

    // Keep the subscription stream out of the way: the item is inactive.
    ASSERT_EQ(Items->SetActiveState({a}, 0, Errors), S_OK);
    PlcAnswers(1, 0x1234);
    // The item's entry: BAD, out of service (28), for a cache answer of an inactive item.
    TStreamItem entry{0x51, 28, LocalDateTimeToFileTime(T.Platform.Clock.Date, 0).ToUInt64(),
                      VariantRecord(TVariant::UI2(0x1234))};
    ASSERT_EQ(V1->Read(1, OPC_DS_CACHE, {a}, tid, Errors), S_OK);
    EXPECT_NE(tid, 0u);
    std::uint32_t second = 0;
    EXPECT_EQ(V1->Read(1, OPC_DS_CACHE, {a}, second, Errors), CONNECT_E_ADVISELIMIT);
    EXPECT_EQ(second, 0u);
    T.Platform.Advance(30);
    ASSERT_EQ(Sink->Streams.size(), 1u);
    EXPECT_EQ(Sink->Streams[0], std::pair(format.ClipFormat, TOPCDataStream::Data(true, 77, tid, {entry})));

    // The slot is free again.
    EXPECT_EQ(V1->Read(1, OPC_DS_CACHE, {a}, second, Errors), S_OK);
    EXPECT_EQ(V1->Cancel(second), E_FAIL);
    EXPECT_EQ(Data->DUnadvise(1), S_OK);
    EXPECT_EQ(Data->DUnadvise(1), E_FAIL);
    T.Platform.Advance(30);
    EXPECT_EQ(Sink->Streams.size(), 1u);

    // The stream without time has a connection of its own.
    format.ClipFormat = Format(StreamFormatDataName);
    ASSERT_EQ(Data->DAdvise(format, 0, Sink.Get(), connection), S_OK);
    EXPECT_EQ(connection, 2u);
    EXPECT_EQ(T.Capture.Lines.back(), "Client established AsyncIO callback for group G1 without timestamp");
    EXPECT_EQ(V1->Read(1, OPC_DS_CACHE, {a}, tid, Errors), CONNECT_E_NOCONNECTION);
    ASSERT_EQ(V1->Read(2, OPC_DS_CACHE, {a}, tid, Errors), S_OK);
    T.Platform.Advance(30);
    ASSERT_EQ(Sink->Streams.size(), 2u);
    EXPECT_EQ(Sink->Streams[1], std::pair(format.ClipFormat, TOPCDataStream::Data(false, 77, tid, {entry})));

    // A refresh of the active items, one at a time; from the cache only while the group is active.
    ASSERT_EQ(Items->SetActiveState({a}, 1, Errors), S_OK);
    ASSERT_EQ(V1->Refresh(2, OPC_DS_CACHE, tid), S_OK);
    EXPECT_EQ(V1->Refresh(2, OPC_DS_CACHE, second), CONNECT_E_ADVISELIMIT);
    T.Platform.Advance(30);
    entry.Quality = QualityGood;
    const auto refresh = std::pair(format.ClipFormat, TOPCDataStream::Data(false, 77, tid, {entry}));
    EXPECT_NE(std::find(Sink->Streams.begin(), Sink->Streams.end(), refresh), Sink->Streams.end());
    ASSERT_EQ(SetState(GroupUnknown, {}, 0), S_OK);
    // A cache answer of an active item in an inactive group is out of service too.
    ASSERT_EQ(V1->Read(2, OPC_DS_CACHE, {a}, tid, Errors), S_OK);
    T.Platform.Advance(30);
    entry.Quality = 28;
    EXPECT_EQ(Sink->Streams.back(),
              std::pair(format.ClipFormat, TOPCDataStream::Data(false, 77, tid, {entry})));
    EXPECT_EQ(V1->Refresh(2, OPC_DS_CACHE, tid), E_FAIL);
    EXPECT_EQ(V1->Refresh(2, OPC_DS_DEVICE, tid), S_OK);
}

// A write needs the write-complete connection and has one slot; its stream comes once the
// PLC confirmed the first word (after the request), went faulty on the second (two failed
// reads) and rejected the third, as the driver records them.
TEST_F(OPCAsyncIO1Test, WriteCompletesOnTheFateOfEveryWordAndAFailureStaysPending) {
    const auto [a, b, c] = AddEach({Def("PLC1.WR0001", VT_EMPTY, 0x61), Def("PLC1.WR0002", VT_EMPTY, 0x62),
                                    Def("PLC1.WR0003", VT_EMPTY, 0x63)});
    std::uint32_t tid = 0;
    EXPECT_EQ(V1->Write(3, {a}, {TVariant::I4(5)}, tid, Errors), CONNECT_E_NOCONNECTION);
    TFormatEtc format{Format(StreamFormatWriteCompleteName)};
    std::uint32_t connection = 0;
    ASSERT_EQ(Data->DAdvise(format, 0, Sink.Get(), connection), S_OK);
    EXPECT_EQ(connection, 3u);
    ASSERT_EQ(V1->Write(3, {a, b, c}, {TVariant::I4(5), TVariant::I4(6), TVariant::I4(7)}, tid, Errors),
              S_OK);
    std::uint32_t second = 99;
    EXPECT_EQ(V1->Write(3, {a}, {TVariant::I4(6)}, second, Errors), CONNECT_E_ADVISELIMIT);
    EXPECT_EQ(second, 0u);
    EXPECT_EQ(std::pair(Word(1)->Value, Word(1)->WritePending), std::pair(5u, true));
    T.Platform.Advance(100);
    EXPECT_TRUE(Sink->Streams.empty()); // not confirmed yet
    T.Platform.Clock.Step(1);
    PlcConfirmsWrite(1);
    Word(2)->ErrorCount = 2;
    PlcConfirmsWrite(3, true);
    T.Platform.Advance(30);
    // Transaction, S_FALSE in the header, then client handle and error of each item.
    EXPECT_EQ(Sink->Streams,
              (decltype(Sink->Streams){
                  {format.ClipFormat,
                   TOPCDataStream::WriteComplete(77, tid, {0x61, 0x62, 0x63}, {S_OK, E_FAIL, E_FAIL})}}));
    EXPECT_TRUE(Word(2)->WritePending); // still sent when the PLC answers again
}

} // namespace
} // namespace dravon
