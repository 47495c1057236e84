// The DA quality and VARIANT mapping of the endpoint.
#include "ua/UaDaValues.h"
#include "ua/UaNodeIds.h"
#include "ua/UaStatusCodes.h"

#include <gtest/gtest.h>

using namespace dravon;

TEST(UaDaValues, QualitiesMapToTheDocumentedStatusCodes) {
    const std::pair<std::uint16_t, TUaStatusCode> table[] = {
        {0xC0, 0x00000000},
        {0xD8, 0x00960000},
        {0x44, 0x40900000},
        {0x40, 0x40000000},
        {0x18, 0x80310000},
        {0x04, 0x80890000},
        {0x1C, 0x808D0000},
        {0x00, 0x80000000},
        // Qualities outside the table go by their major bits; limit bits are ignored.
        {0xC1, 0x00000000},
        {0x54, 0x40000000},
        {0x08, 0x80000000},
    };
    for (auto [quality, status] : table)
        EXPECT_EQ(UaStatusFromQuality(quality), status) << std::hex << quality;
}

TEST(UaDaValues, VariantsCrossInBothDirections) {
    auto word = UaVariantFromDa(TVariant::UI2(0xFFFF));
    EXPECT_EQ(word.Type, TUaType::UInt16);
    EXPECT_EQ(std::get<std::uint64_t>(word.Values.at(0)), 0xFFFFu);
    auto signedWord = UaVariantFromDa(TVariant::I2(-5));
    EXPECT_EQ(signedWord.Type, TUaType::Int16);
    EXPECT_EQ(std::get<std::int64_t>(signedWord.Values.at(0)), -5);
    auto flag = UaVariantFromDa(TVariant::Bool(true));
    EXPECT_TRUE(std::get<bool>(flag.Values.at(0)));
    auto text = UaVariantFromDa(TVariant::Bstr("ABC"));
    EXPECT_EQ(std::get<std::string>(text.Values.at(0)), "ABC");
    auto array = UaVariantFromDa(TVariant::Array(VT_UI2, {TVariant::UI2(1), TVariant::UI2(2)}));
    EXPECT_TRUE(array.IsArray);
    EXPECT_EQ(array.Type, TUaType::UInt16);
    EXPECT_EQ(array.Values.size(), 2u);

    TVariant back;
    ASSERT_TRUE(DaVariantFromUa(TUaVariant::Scalar(TUaType::Float, 1.5), back));
    EXPECT_EQ(back.Vt(), VT_R4);
    EXPECT_EQ(back.RealValue(), 1.5);
    ASSERT_TRUE(DaVariantFromUa(array, back));
    EXPECT_EQ(back.Vt(), VT_ARRAY | VT_UI2);
    EXPECT_EQ(back.Elements().size(), 2u);
    EXPECT_FALSE(DaVariantFromUa(TUaVariant::Scalar(TUaType::NodeId, TUaNodeId::Num(1)), back));
    EXPECT_FALSE(DaVariantFromUa(TUaVariant{}, back));
}

TEST(UaDaValues, CanonicalTypesMapToDataTypes) {
    EXPECT_EQ(UaDataTypeFromVt(VT_BOOL), UaId::Boolean);
    EXPECT_EQ(UaDataTypeFromVt(VT_UI2), UaId::UInt16);
    EXPECT_EQ(UaDataTypeFromVt(VT_I2), UaId::Int16);
    EXPECT_EQ(UaDataTypeFromVt(VT_UI4), UaId::UInt32);
    EXPECT_EQ(UaDataTypeFromVt(VT_I4), UaId::Int32);
    EXPECT_EQ(UaDataTypeFromVt(VT_BSTR), UaId::String);
    EXPECT_EQ(UaDataTypeFromVt(VT_ARRAY | VT_UI2), UaId::UInt16);
}
