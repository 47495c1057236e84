// The DA quality and VARIANT mapping of the endpoint (the data types of items: the Describe
// rows of UaDaBackendTest).
#include "ua/UaDaValues.h"
#include "ua/UaNodeIds.h"
#include "ua/UaStatusCodes.h"

#include <gtest/gtest.h>

using namespace dravon;

TEST(UaDaValues, QualitiesMapToTheDocumentedStatusCodes) {
    // clang-format off
    const std::pair<std::uint16_t, TUaStatusCode> table[] = {
        {0xC0, 0x00000000}, {0xD8, 0x00960000}, {0x44, 0x40900000}, {0x40, 0x40000000},
        {0x18, 0x80310000}, {0x04, 0x80890000}, {0x1C, 0x808D0000}, {0x00, 0x80000000},
        // Qualities outside the table go by their major bits; limit bits are ignored.
        {0xC1, 0x00000000}, {0x54, 0x40000000}, {0x08, 0x80000000},
    };
    // clang-format on
    for (auto [quality, status] : table)
        EXPECT_EQ(UaStatusFromQuality(quality), status) << std::hex << quality;
}

TEST(UaDaValues, VariantsCrossInBothDirections) {
    const auto array = TUaVariant::Array(TUaType::UInt16, {std::uint64_t{1}, std::uint64_t{2}});
    const std::pair<TVariant, TUaVariant> rows[] = {
        {TVariant::UI2(0xFFFF), TUaVariant::Scalar(TUaType::UInt16, std::uint64_t{0xFFFF})},
        {TVariant::I2(-5), TUaVariant::Scalar(TUaType::Int16, std::int64_t{-5})},
        {TVariant::Bool(true), TUaVariant::Scalar(TUaType::Boolean, true)},
        {TVariant::Bstr("ABC"), TUaVariant::Scalar(TUaType::String, std::string("ABC"))},
        {TVariant::Array(VT_UI2, {TVariant::UI2(1), TVariant::UI2(2)}), array},
    };
    for (const auto& [da, ua] : rows) EXPECT_EQ(UaVariantFromDa(da), ua) << static_cast<int>(ua.Type);

    TVariant back;
    ASSERT_TRUE(DaVariantFromUa(TUaVariant::Scalar(TUaType::Float, 1.5), back));
    EXPECT_EQ(std::pair(back.Vt(), back.RealValue()), std::pair(VARTYPE{VT_R4}, 1.5));
    ASSERT_TRUE(DaVariantFromUa(array, back));
    EXPECT_EQ(std::pair(back.Vt(), back.Elements().size()),
              std::pair(VARTYPE{VT_ARRAY | VT_UI2}, std::size_t{2}));
    EXPECT_FALSE(DaVariantFromUa(TUaVariant::Scalar(TUaType::NodeId, TUaNodeId::Num(1)), back));
    EXPECT_FALSE(DaVariantFromUa(TUaVariant{}, back));
}
