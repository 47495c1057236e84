// Version-1 clients: IDataObject advise sinks and IOPCAsyncIO with its one request slot per
// kind, answered by a stream on the server tick.
#include "OPCClientFixture.h"

#include "opc/ComObject.h"
#include "opc/OPCDataStream.h"

#include <cstring>

namespace dravon {
namespace {

using test::TOPCClientFixture;

class TStreamSink : public TComObject, public IAdviseSink {
public:
    std::vector<std::pair<std::uint16_t, std::vector<std::uint8_t>>> Streams;
    HRESULT QueryInterface(const TGuid& iid, IUnknown** object) override {
        if (iid == IUnknown::Iid || iid == IAdviseSink::Iid) {
            *object = static_cast<IAdviseSink*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    std::uint32_t AddRef() override { return AddRefCount(); }
    std::uint32_t Release() override { return ReleaseCount(); }
    void OnDataChange(const TFormatEtc& format, const TStgMedium& medium) override {
        Streams.emplace_back(format.ClipFormat, medium.Global);
    }
};

std::uint32_t U32(const std::vector<std::uint8_t>& b, std::size_t at) {
    std::uint32_t v = 0;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}
std::uint16_t U16(const std::vector<std::uint8_t>& b, std::size_t at) {
    std::uint16_t v = 0;
    std::memcpy(&v, b.data() + at, 2);
    return v;
}

class OPCAsyncIO1Test : public TOPCClientFixture {
protected:
    TComPtr<TStreamSink> Sink = MakeCom<TStreamSink>();
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

TEST_F(OPCAsyncIO1Test, OneReadAtATimeAnsweredByAStreamWithTime) {
    const OPCHANDLE a = Add("PLC1.WR0001", VT_EMPTY, 0x51);
    std::uint32_t tid = 0;
    EXPECT_EQ(V1->Read(1, OPC_DS_CACHE, {a}, tid, Errors), CONNECT_E_NOCONNECTION);

    TFormatEtc format;
    format.ClipFormat = Format(StreamFormatDataTimeName);
    std::uint32_t connection = 0;
    ASSERT_EQ(Data->DAdvise(format, 0, Sink.Get(), connection), S_OK);
    EXPECT_EQ(connection, 1u);
    EXPECT_EQ(T.Capture.Lines.back(), "Client established AsyncIO callback for group G1 with timestamp");
    EXPECT_EQ(Data->DAdvise(format, 0, Sink.Get(), connection), CONNECT_E_ADVISELIMIT);

    // Keep the subscription stream out of the way: the item is inactive.
    ASSERT_EQ(Items->SetActiveState({a}, 0, Errors), S_OK);
    PLC1.FindLocation(10, 1, false)->StoreReadValue(0x1234, T.Platform.Clock.Date);
    ASSERT_EQ(V1->Read(1, OPC_DS_CACHE, {a}, tid, Errors), S_OK);
    EXPECT_NE(tid, 0u);
    std::uint32_t second = 0;
    EXPECT_EQ(V1->Read(1, OPC_DS_CACHE, {a}, second, Errors), CONNECT_E_ADVISELIMIT);
    EXPECT_EQ(second, 0u);

    T.Platform.Advance(30);
    ASSERT_EQ(Sink->Streams.size(), 1u);
    EXPECT_EQ(Sink->Streams[0].first, format.ClipFormat);
    // One item with time (the layout's bytes are pinned in OPCDataStreamTest).
    const auto& b = Sink->Streams[0].second;
    ASSERT_EQ(b.size(), 56u);
    EXPECT_EQ(U32(b, 12), tid);
    EXPECT_EQ(U32(b, 20), 0x51u);
    EXPECT_EQ(U16(b, 28), 28); // BAD, out of service: a cache answer for an inactive item
    EXPECT_EQ(U16(b, 48), 0x1234);

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
    EXPECT_EQ(Sink->Streams[1].first, format.ClipFormat);
    EXPECT_EQ(Sink->Streams[1].second.size(), 48u);
}

// A write needs the write-complete connection and has one slot; its stream comes once the
// PLC confirmed the first word (after the request), went faulty on the second (two failed
// reads) and rejected the third, as the driver records them.
TEST_F(OPCAsyncIO1Test, WriteCompletesOnTheFateOfEveryWordAndAFailureStaysPending) {
    const OPCHANDLE a = Add("PLC1.WR0001", VT_EMPTY, 0x61);
    const OPCHANDLE b = Add("PLC1.WR0002", VT_EMPTY, 0x62);
    const OPCHANDLE c = Add("PLC1.WR0003", VT_EMPTY, 0x63);
    const std::vector<TVariant> values{TVariant::I4(5), TVariant::I4(6), TVariant::I4(7)};
    std::uint32_t tid = 0;
    EXPECT_EQ(V1->Write(3, {a}, {TVariant::I4(5)}, tid, Errors), CONNECT_E_NOCONNECTION);
    TFormatEtc format;
    format.ClipFormat = Format(StreamFormatWriteCompleteName);
    std::uint32_t connection = 0;
    ASSERT_EQ(Data->DAdvise(format, 0, Sink.Get(), connection), S_OK);
    EXPECT_EQ(connection, 3u);
    ASSERT_EQ(V1->Write(3, {a, b, c}, values, tid, Errors), S_OK);
    std::uint32_t second = 99;
    EXPECT_EQ(V1->Write(3, {a}, {TVariant::I4(6)}, second, Errors), CONNECT_E_ADVISELIMIT);
    EXPECT_EQ(second, 0u);
    THitachiLocation* first = PLC1.FindLocation(10, 1, false);
    EXPECT_EQ(std::pair(first->Value, first->WritePending), std::pair(5u, true));
    T.Platform.Advance(100);
    EXPECT_TRUE(Sink->Streams.empty()); // not confirmed yet
    T.Platform.Clock.Step(1);
    first->WritePending = false;
    first->WriteDoneTime = T.Platform.Clock.Date;
    PLC1.FindLocation(10, 2, false)->ErrorCount = 2;
    THitachiLocation* third = PLC1.FindLocation(10, 3, false);
    third->WritePending = false;
    third->WriteRejected = true;
    third->WriteDoneTime = T.Platform.Clock.Date;
    T.Platform.Advance(30);
    ASSERT_EQ(Sink->Streams.size(), 1u);
    const auto& s = Sink->Streams[0].second;
    ASSERT_EQ(s.size(), 40u);
    // Transaction, the header's status, then client handle and error of each item.
    for (const auto& [at, value] : {std::pair{8, tid},
                                    {12, std::uint32_t(S_FALSE)},
                                    {16, 0x61u},
                                    {20, 0u},
                                    {24, 0x62u},
                                    {28, std::uint32_t(E_FAIL)},
                                    {36, std::uint32_t(E_FAIL)}})
        EXPECT_EQ(U32(s, at), value) << at;
    EXPECT_TRUE(PLC1.FindLocation(10, 2, false)->WritePending); // still sent when the PLC answers again
}

} // namespace
} // namespace dravon
