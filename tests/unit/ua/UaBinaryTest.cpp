// UA Binary against literal byte sequences, and the reader's refusals of bad input.
#include "ua/UaBinaryReader.h"
#include "ua/UaBinaryWriter.h"

#include <gtest/gtest.h>

#include <functional>
#include <tuple>

using namespace dravon;

namespace {

std::string Bytes(std::initializer_list<int> list) {
    std::string out;
    for (int b : list) out.push_back(static_cast<char>(b));
    return out;
}

TUaNodeId GuidId() {
    TUaNodeId id;
    id.Namespace = 2;
    id.Kind = TUaIdKind::Guid;
    id.Guid = {0x72962B91, 0xFA75, 0x4AE6, {0x8D, 0x28, 0xB4, 0x04, 0xDC, 0x7D, 0xAF, 0x63}};
    return id;
}

// Each row: what the writer gets, the bytes it must give, and how a reader takes them back:
// the values read are written again and must give the same bytes.
TEST(UaBinary, WritesLiteralBytesAndReadsThemBack) {
    using TWrite = std::function<void(TUaBinaryWriter&)>;
    using TAgain = std::function<void(TUaBinaryReader&, TUaBinaryWriter&)>;
    const TAgain nodeId = [](TUaBinaryReader& r, TUaBinaryWriter& w) { w.NodeId(r.NodeId()); };
    const TAgain variant = [](TUaBinaryReader& r, TUaBinaryWriter& w) { w.Variant(r.Variant()); };
    const TAgain dataValue = [](TUaBinaryReader& r, TUaBinaryWriter& w) { w.DataValue(r.DataValue()); };
    TUaDataValue full;
    full.Value = TUaVariant::Scalar(TUaType::Int32, std::int64_t{-1});
    full.Status = 0x80310000;
    full.SourceTimestamp = 1;
    full.ServerTimestamp = 2;
    TUaDataValue good;
    good.Status = 0;
    TUaDiagnosticInfo diagnostic;
    diagnostic.SymbolicId = 1;
    diagnostic.AdditionalInfo = "why";
    diagnostic.Inner = std::make_shared<TUaDiagnosticInfo>();
    diagnostic.Inner->InnerStatusCode = 0x80000000;
    const struct {
        const char* Name;
        TWrite Write;
        std::string Encoded;
        TAgain Again;
    } rows[] = {
        {"two-byte node id", [](auto& w) { w.NodeId(TUaNodeId::Num(85)); }, Bytes({0x00, 0x55}), nodeId},
        {"two-byte node id, largest", [](auto& w) { w.NodeId(TUaNodeId::Num(255)); }, Bytes({0x00, 0xFF}),
         nodeId},
        // clang-format off
        {"four-byte node id", [](auto& w) { w.NodeId(TUaNodeId::Num(1025, 1)); }, Bytes({0x01, 0x01, 0x01, 0x04}), nodeId},
        {"numeric node id", [](auto& w) { w.NodeId(TUaNodeId::Num(70000)); },
         Bytes({0x02, 0x00, 0x00, 0x70, 0x11, 0x01, 0x00}), nodeId},
        {"string node id", [](auto& w) { w.NodeId(TUaNodeId::Str("PLC1")); },
         Bytes({0x03, 0x01, 0x00, 0x04, 0, 0, 0, 'P', 'L', 'C', '1'}), nodeId},
        // Read back equal to the written one, unequal once one GUID byte differs, and not null.
        {"guid node id", [](auto& w) { w.NodeId(GuidId()); },
         Bytes({0x04, 0x02, 0x00, 0x91, 0x2B, 0x96, 0x72, 0x75, 0xFA, 0xE6, 0x4A, 0x8D, 0x28, 0xB4, 0x04, 0xDC, 0x7D, 0xAF, 0x63}),
         [](TUaBinaryReader& r, TUaBinaryWriter& w) {
             TUaNodeId id = r.NodeId(), other = GuidId();
             other.Guid.Data4[7] ^= 1;
             EXPECT_EQ(std::tuple(id == GuidId(), id == other, id.IsNull()), std::tuple(true, false, false));
             w.NodeId(id);
         }},
        // The null node id, then a zero GUID in namespace 0: that one is neither null nor equal to it.
        {"null node id and a zero guid", [](auto& w) { w.NodeId({}); TUaNodeId zero; zero.Kind = TUaIdKind::Guid; w.NodeId(zero); },
         Bytes({0x00, 0x00, 0x04, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
         [](TUaBinaryReader& r, TUaBinaryWriter& w) {
             TUaNodeId null = r.NodeId(), zero = r.NodeId();
             EXPECT_EQ(std::tuple(null.IsNull(), zero.IsNull(), zero == null), std::tuple(true, false, false));
             w.NodeId(null);
             w.NodeId(zero);
         }},
        {"expanded node ids, with URI and server index and without",
         [](auto& w) { w.ExpandedNodeId({TUaNodeId::Num(85), "u", 5}); w.ExpandedNodeId({TUaNodeId::Num(85), "", 0}); },
         Bytes({0xC0, 0x55, 1, 0, 0, 0, 'u', 5, 0, 0, 0, 0x00, 0x55}),
         [](TUaBinaryReader& r, TUaBinaryWriter& w) { w.ExpandedNodeId(r.ExpandedNodeId()); }},
        {"variant scalars, array, null",
         [](auto& w) {
             w.Variant(TUaVariant::Scalar(TUaType::UInt16, std::uint64_t{0x1234}));
             w.Variant(TUaVariant::Array(TUaType::UInt16, {std::uint64_t{1}, std::uint64_t{2}}));
             w.Variant(TUaVariant::Scalar(TUaType::Boolean, true));
             w.Variant(TUaVariant::Scalar(TUaType::String, std::string("A")));
             w.Variant({});
         },
         Bytes({0x05, 0x34, 0x12, 0x85, 2, 0, 0, 0, 1, 0, 2, 0, 0x01, 0x01, 0x0C, 1, 0, 0, 0, 'A', 0x00}), variant},
        {"float, signed, date-time",
         [](auto& w) {
             w.Variant(TUaVariant::Scalar(TUaType::Float, 1.0));
             w.Variant(TUaVariant::Scalar(TUaType::Int16, std::int64_t{-2}));
             w.Variant(TUaVariant::Scalar(TUaType::DateTime, std::int64_t{0x01D0000000000000}));
         },
         Bytes({0x0A, 0x00, 0x00, 0x80, 0x3F, 0x04, 0xFE, 0xFF, 0x0D, 0, 0, 0, 0, 0, 0, 0xD0, 0x01}), variant},
        {"data value, mask orders the fields", [&](auto& w) { w.DataValue(full); },
         Bytes({0x0F, 0x06, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x31, 0x80, 1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0}), dataValue},
        // A Good status is left out of the mask.
        {"data value, good", [&](auto& w) { w.DataValue(good); }, Bytes({0x00}), dataValue},
        {"texts, names, extension object, empty and null strings",
         [](auto& w) {
             w.LocalizedText({std::nullopt, std::string("A")});
             w.QualifiedName({1, "WR"});
             w.ExtensionObject({TUaNodeId::Num(321), 1, "xy"});
             w.String("");
             w.ByteString("");
         },
         Bytes({0x02, 1, 0, 0, 0, 'A', 0x01, 0x00, 2, 0, 0, 0, 'W', 'R', 0x01, 0x00, 0x41,
                0x01, 0x01, 2, 0, 0, 0, 'x', 'y', 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}),
         [](TUaBinaryReader& r, TUaBinaryWriter& w) {
             w.LocalizedText(r.LocalizedText());
             w.QualifiedName(r.QualifiedName());
             w.ExtensionObject(r.ExtensionObject());
             EXPECT_EQ(r.NullableString(), std::optional<std::string>(""));
             w.String("");
             EXPECT_EQ(r.NullableString(), std::nullopt);
             w.ByteString("");
         }},
        {"nested diagnostic info", [&](auto& w) { w.DiagnosticInfo(diagnostic); },
         Bytes({0x51, 1, 0, 0, 0, 3, 0, 0, 0, 'w', 'h', 'y', 0x20, 0, 0, 0, 0x80}),
         [](TUaBinaryReader& r, TUaBinaryWriter& w) { w.DiagnosticInfo(r.DiagnosticInfo()); }},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        TUaBinaryWriter w;
        row.Write(w);
        EXPECT_EQ(w.Bytes(), row.Encoded);
        TUaBinaryReader r(row.Encoded);
        TUaBinaryWriter again;
        while (r.Ok() && !r.AtEnd()) row.Again(r, again);
        EXPECT_TRUE(r.Ok());
        EXPECT_EQ(again.Bytes(), row.Encoded);
    }
}

TEST(UaBinaryReader, RefusesWhatTheBytesCannotHold) {
    struct TCase {
        const char* Name;
        std::string Bytes;
        int What; // 0 string, 1 array, 2 node id, 3 variant, 4 diagnostic info, 5 expanded in plain node id
    };
    const std::string deep = std::string(40, 0x40) + '\0';
    const TCase cases[] = {
        {"string longer than the rest", Bytes({10, 0, 0, 0, 'a', 'b', 'c'}), 0},
        {"negative string length", Bytes({0xFE, 0xFF, 0xFF, 0xFF}), 0},
        {"truncated length", Bytes({1, 0}), 0},
        {"array of a million", Bytes({0x40, 0x42, 0x0F, 0x00, 1, 2, 3}), 1},
        {"array length -2", Bytes({0xFE, 0xFF, 0xFF, 0xFF}), 1},
        {"node id form 6", Bytes({0x06, 0, 0}), 2},
        {"variant type 26", Bytes({26, 0}), 3},
        // clang-format off
        {"variant dimensions that do not match", Bytes({0xC5, 2, 0, 0, 0, 1, 0, 2, 0, 1, 0, 0, 0, 3, 0, 0, 0}), 3},
        {"scalar with dimensions", Bytes({0x45, 1, 0}), 3},
        // No elements, dimensions [-1, 2^31-1, 2^31-1, 2^31-1]: the product must not overflow.
        {"negative dimension before huge ones",
         Bytes({0xC5, 0, 0, 0, 0, 4, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0x7F}), 3},
        // clang-format on
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
