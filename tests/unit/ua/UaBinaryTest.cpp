// UA Binary against literal byte sequences, and the reader's refusals of bad input.
#include "ua/UaBinaryReader.h"
#include "ua/UaBinaryWriter.h"

#include <gtest/gtest.h>

using namespace dravon;

namespace {

std::string Bytes(std::initializer_list<int> list) {
    std::string out;
    for (int b : list) out.push_back(static_cast<char>(b));
    return out;
}

struct TNodeIdCase {
    const char* Name;
    TUaNodeId Id;
    std::string Encoded;
};

class UaNodeIdEncoding : public ::testing::TestWithParam<TNodeIdCase> {};

TEST_P(UaNodeIdEncoding, WritesTheShortestFormAndReadsItBack) {
    const auto& c = GetParam();
    TUaBinaryWriter w;
    w.NodeId(c.Id);
    EXPECT_EQ(w.Bytes(), c.Encoded);
    TUaBinaryReader r(c.Encoded);
    TUaNodeId back = r.NodeId();
    EXPECT_TRUE(r.AtEnd());
    EXPECT_EQ(back, c.Id);
}

TUaNodeId GuidId() {
    TUaNodeId id;
    id.Namespace = 2;
    id.Kind = TUaIdKind::Guid;
    id.Guid = {0x72962B91, 0xFA75, 0x4AE6, {0x8D, 0x28, 0xB4, 0x04, 0xDC, 0x7D, 0xAF, 0x63}};
    return id;
}

INSTANTIATE_TEST_SUITE_P(
    Forms, UaNodeIdEncoding,
    ::testing::Values(TNodeIdCase{"TwoByte", TUaNodeId::Num(85), Bytes({0x00, 0x55})},
                      TNodeIdCase{"FourByte", TUaNodeId::Num(1025, 1), Bytes({0x01, 0x01, 0x01, 0x04})},
                      TNodeIdCase{"Numeric", TUaNodeId::Num(70000),
                                  Bytes({0x02, 0x00, 0x00, 0x70, 0x11, 0x01, 0x00})},
                      TNodeIdCase{"String", TUaNodeId::Str("PLC1"),
                                  Bytes({0x03, 0x01, 0x00, 0x04, 0, 0, 0, 'P', 'L', 'C', '1'})},
                      TNodeIdCase{"Guid", GuidId(),
                                  Bytes({0x04, 0x02, 0x00, 0x91, 0x2B, 0x96, 0x72, 0x75, 0xFA, 0xE6, 0x4A,
                                         0x8D, 0x28, 0xB4, 0x04, 0xDC, 0x7D, 0xAF, 0x63})}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(UaBinary, VariantScalarsAndArrays) {
    TUaBinaryWriter w;
    w.Variant(TUaVariant::Scalar(TUaType::UInt16, std::uint64_t{0x1234}));
    w.Variant(TUaVariant::Array(TUaType::UInt16, {std::uint64_t{1}, std::uint64_t{2}}));
    w.Variant(TUaVariant::Scalar(TUaType::Boolean, true));
    w.Variant(TUaVariant::Scalar(TUaType::String, std::string("A")));
    w.Variant({});
    EXPECT_EQ(w.Bytes(), Bytes({0x05, 0x34, 0x12, 0x85, 2, 0, 0, 0, 1,   0,   2,
                                0,    0x01, 0x01, 0x0C, 1, 0, 0, 0, 'A', 0x00}));

    TUaBinaryReader r(w.Bytes());
    auto a = r.Variant();
    auto b = r.Variant();
    auto c = r.Variant();
    auto d = r.Variant();
    auto e = r.Variant();
    ASSERT_TRUE(r.AtEnd());
    EXPECT_EQ(std::get<std::uint64_t>(a.Values.at(0)), 0x1234u);
    EXPECT_TRUE(b.IsArray);
    EXPECT_EQ(b.Values.size(), 2u);
    EXPECT_TRUE(std::get<bool>(c.Values.at(0)));
    EXPECT_EQ(std::get<std::string>(d.Values.at(0)), "A");
    EXPECT_TRUE(e.IsNull());
}

TEST(UaBinary, FloatDoubleDateTimeAndSignedValues) {
    TUaBinaryWriter w;
    w.Variant(TUaVariant::Scalar(TUaType::Float, 1.0));
    w.Variant(TUaVariant::Scalar(TUaType::Int16, std::int64_t{-2}));
    w.Variant(TUaVariant::Scalar(TUaType::DateTime, std::int64_t{0x01D0000000000000}));
    EXPECT_EQ(w.Bytes(),
              Bytes({0x0A, 0x00, 0x00, 0x80, 0x3F, 0x04, 0xFE, 0xFF, 0x0D, 0, 0, 0, 0, 0, 0, 0xD0, 0x01}));
    TUaBinaryReader r(w.Bytes());
    EXPECT_EQ(std::get<double>(r.Variant().Values.at(0)), 1.0);
    EXPECT_EQ(std::get<std::int64_t>(r.Variant().Values.at(0)), -2);
    EXPECT_EQ(std::get<std::int64_t>(r.Variant().Values.at(0)), 0x01D0000000000000);
}

TEST(UaBinary, DataValueMaskOrdersItsFields) {
    TUaDataValue dv;
    dv.Value = TUaVariant::Scalar(TUaType::Int32, std::int64_t{-1});
    dv.Status = 0x80310000;
    dv.SourceTimestamp = 1;
    dv.ServerTimestamp = 2;
    TUaBinaryWriter w;
    w.DataValue(dv);
    EXPECT_EQ(w.Bytes(), Bytes({0x0F, 0x06, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x31, 0x80, 1, 0, 0,
                                0,    0,    0,    0,    0,    2,    0,    0,    0,    0,    0, 0, 0}));
    TUaBinaryReader r(w.Bytes());
    auto back = r.DataValue();
    EXPECT_TRUE(r.AtEnd());
    EXPECT_EQ(*back.Status, 0x80310000u);
    EXPECT_EQ(*back.SourceTimestamp, 1);
    EXPECT_EQ(*back.ServerTimestamp, 2);
    // A Good status is left out of the mask.
    TUaDataValue good;
    good.Status = 0;
    TUaBinaryWriter w2;
    w2.DataValue(good);
    EXPECT_EQ(w2.Bytes(), Bytes({0x00}));
}

TEST(UaBinary, TextNamesAndExtensionObjects) {
    TUaBinaryWriter w;
    w.LocalizedText({std::nullopt, std::string("A")});
    w.QualifiedName({1, "WR"});
    w.ExtensionObject({TUaNodeId::Num(321), 1, "xy"});
    w.String("");
    w.ByteString("");
    EXPECT_EQ(w.Bytes(),
              Bytes({0x02, 1,    0, 0, 0, 'A', 0x01, 0x00, 2, 0, 0, 0, 'W',  'R',  0x01, 0x00, 0x41,
                     0x01, 0x01, 2, 0, 0, 0,   'x',  'y',  0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
    TUaBinaryReader r(w.Bytes());
    EXPECT_EQ(*r.LocalizedText().Text, "A");
    EXPECT_EQ(r.QualifiedName().Name, "WR");
    auto e = r.ExtensionObject();
    EXPECT_EQ(e.Body, "xy");
    EXPECT_EQ(r.NullableString(), std::optional<std::string>(""));
    EXPECT_EQ(r.NullableString(), std::nullopt);
    EXPECT_TRUE(r.AtEnd());
}

TEST(UaBinary, DiagnosticInfoNestsAndComesBack) {
    TUaDiagnosticInfo d;
    d.SymbolicId = 1;
    d.AdditionalInfo = "why";
    d.Inner = std::make_shared<TUaDiagnosticInfo>();
    d.Inner->InnerStatusCode = 0x80000000;
    TUaBinaryWriter w;
    w.DiagnosticInfo(d);
    EXPECT_EQ(w.Bytes(), Bytes({0x51, 1, 0, 0, 0, 3, 0, 0, 0, 'w', 'h', 'y', 0x20, 0, 0, 0, 0x80}));
    TUaBinaryReader r(w.Bytes());
    auto back = r.DiagnosticInfo();
    EXPECT_TRUE(r.AtEnd());
    ASSERT_TRUE(back.Inner);
    EXPECT_EQ(*back.Inner->InnerStatusCode, 0x80000000u);
}

TEST(UaBinaryReader, RefusesWhatTheBytesCannotHold) {
    struct TCase {
        const char* Name;
        std::string Bytes;
        int What; // 0 string, 1 array, 2 node id, 3 variant, 4 diagnostic info, 5 expanded in plain node id
    };
    std::string deep;
    for (int i = 0; i < 40; ++i) deep.push_back(0x40);
    deep.push_back(0x00);
    const TCase cases[] = {
        {"string longer than the rest", Bytes({10, 0, 0, 0, 'a', 'b', 'c'}), 0},
        {"negative string length", Bytes({0xFE, 0xFF, 0xFF, 0xFF}), 0},
        {"truncated length", Bytes({1, 0}), 0},
        {"array of a million", Bytes({0x40, 0x42, 0x0F, 0x00, 1, 2, 3}), 1},
        {"array length -2", Bytes({0xFE, 0xFF, 0xFF, 0xFF}), 1},
        {"node id form 6", Bytes({0x06, 0, 0}), 2},
        {"variant type 26", Bytes({26, 0}), 3},
        {"variant dimensions that do not match",
         Bytes({0xC5, 2, 0, 0, 0, 1, 0, 2, 0, 1, 0, 0, 0, 3, 0, 0, 0}), 3},
        {"scalar with dimensions", Bytes({0x45, 1, 0}), 3},
        // No elements, dimensions [-1, 2^31-1, 2^31-1, 2^31-1]: the product must not overflow.
        {"negative dimension before huge ones",
         Bytes({0xC5, 0,    0,    0,    0,    4,    0,    0,    0,    0xFF, 0xFF, 0xFF, 0xFF,
                0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0x7F}),
         3},
        {"diagnostic info nested too deep", deep, 4},
        {"expanded flags in a node id", Bytes({0x80, 0x05, 0, 0, 0, 0, 0}), 5},
    };
    for (const auto& c : cases) {
        TUaBinaryReader r(c.Bytes);
        switch (c.What) {
        case 0: r.String(); break;
        case 1: r.Array([&] { return r.UInt16(); }, 2); break;
        case 2:
        case 5: r.NodeId(); break;
        case 3: r.Variant(); break;
        case 4: r.DiagnosticInfo(); break;
        }
        EXPECT_FALSE(r.Ok()) << c.Name;
        // Once failed, every later read is empty and harmless.
        EXPECT_EQ(r.UInt32(), 0u) << c.Name;
        EXPECT_EQ(r.Remaining(), 0u) << c.Name;
    }
}

} // namespace
