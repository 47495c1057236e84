// IOPCItemProperties as a client asks: the property table, the values and the errors.
#include "OPCClientFixture.h"

namespace dravon::test {
namespace {

class ItemPropertiesClient : public TOPCClientFixture {
protected:
    TComPtr<IOPCItemProperties> Properties;
    void SetUp() override {
        TOPCClientFixture::SetUp();
        Properties = Server.As<IOPCItemProperties>();
        ASSERT_TRUE(Properties);
    }
};

TEST_F(ItemPropertiesClient, QueryListsTheFivePropertiesWithTheLocationTypeAndHoldsNothing) {
    std::vector<std::uint32_t> ids;
    std::vector<std::string> descriptions;
    std::vector<VARTYPE> types;
    ASSERT_EQ(Properties->QueryAvailableProperties("PLC1.WR10", ids, descriptions, types), S_OK);
    EXPECT_EQ(ids, (std::vector<std::uint32_t>{1, 2, 5, 101, 5000}));
    EXPECT_EQ(descriptions,
              (std::vector<std::string>{"Item Canonical DataType", "Item Value", "Item Access Rights",
                                        "Tag comment/description", "Tag value"}));
    EXPECT_EQ(types, (std::vector<VARTYPE>{VT_I2, VT_UI2, VT_I4, VT_BSTR, VT_UI2}));

    ASSERT_EQ(Properties->QueryAvailableProperties("PLC1.X0", ids, descriptions, types), S_OK);
    EXPECT_EQ(types, (std::vector<VARTYPE>{VT_I2, VT_BOOL, VT_I4, VT_BSTR, VT_BOOL}));
    ASSERT_EQ(Properties->QueryAvailableProperties("Sys.ServerUpTime", ids, descriptions, types), S_OK);
    EXPECT_EQ(types[1], VT_BSTR);

    // Array and signed IDs resolve and hold nothing.
    std::vector<TVariant> data;
    ASSERT_EQ(Properties->GetItemProperties("PLC1.WR0010.arr.2", {1, 101}, data, Errors), S_OK);
    EXPECT_EQ(data[0].IntValue(), VT_UI2);
    ASSERT_TRUE(Word(0x10) && Word(0x11));
    EXPECT_EQ(std::pair(Word(0x10)->RefCount, Word(0x11)->RefCount), std::pair(0, 0));
    ASSERT_EQ(Properties->GetItemProperties("PLC1.WR0020s", {1}, data, Errors), S_OK);
    EXPECT_EQ(data[0].IntValue(), VT_I2);
    ASSERT_EQ(Properties->QueryAvailableProperties("PLC1.DR0020s", ids, descriptions, types), S_OK);
    EXPECT_EQ(types[1], VT_I4);
    // Unreferenced locations go with the purge.
    PLC1.Monitored.PurgeUnused();
    EXPECT_FALSE(Word(0x10));
}

TEST_F(ItemPropertiesClient, UnknownAndEmptyIDsAndEmptyPropertyListsAreRefused) {
    std::vector<std::uint32_t> ids{9};
    std::vector<std::string> descriptions{"stale"};
    std::vector<VARTYPE> types{VT_I2};
    std::vector<TVariant> data;
    std::vector<std::string> newIds;
    EXPECT_EQ(Properties->QueryAvailableProperties("", ids, descriptions, types), E_INVALIDARG);
    EXPECT_TRUE(ids.empty() && descriptions.empty() && types.empty());
    for (const std::string id : {"PLC9.WR0", "PLC1.WQ0", "PLC1WR0", "PLC1.WR10000"}) {
        EXPECT_EQ(Properties->QueryAvailableProperties(id, ids, descriptions, types), OPC_E_INVALIDITEMID)
            << id;
        EXPECT_EQ(Properties->GetItemProperties(id, {1}, data, Errors), OPC_E_INVALIDITEMID) << id;
        EXPECT_TRUE(data.empty());
        EXPECT_EQ(Properties->LookupItemIDs(id, {1}, newIds, Errors), OPC_E_INVALIDITEMID) << id;
    }
    EXPECT_EQ(Properties->GetItemProperties("", {1}, data, Errors), E_INVALIDARG);
    EXPECT_EQ(Properties->LookupItemIDs("", {1}, newIds, Errors), E_INVALIDARG);
    // Lookup gives empty IDs; asking for no properties is refused rather than answered with nothing.
    ASSERT_EQ(Properties->LookupItemIDs("PLC1.WR0", {1, 2, 99}, newIds, Errors), S_OK);
    EXPECT_EQ(newIds, std::vector<std::string>(3));
    EXPECT_EQ(Errors, std::vector<HRESULT>(3, S_OK));
    EXPECT_EQ(Properties->LookupItemIDs("PLC1.WR0", {}, newIds, Errors), E_INVALIDARG);
    EXPECT_EQ(Properties->GetItemProperties("PLC1.WR0", {}, data, Errors), E_INVALIDARG);
    EXPECT_TRUE(data.empty() && Errors.empty());
}

TEST_F(ItemPropertiesClient, ValuesAndTheUnknownPropertyError) {
    std::vector<TVariant> data;
    ASSERT_EQ(Properties->GetItemProperties("PLC1.WR10", {1, 2, 3, 7}, data, Errors), S_OK);
    EXPECT_EQ(Errors, (std::vector<HRESULT>{S_OK, S_OK, S_OK, OPC_E_INVALID_PID}));
    // Never read: BAD.
    EXPECT_EQ(data, (std::vector<TVariant>{TVariant::I4(VT_UI2), TVariant::UI2(0), TVariant::I4(QualityBad),
                                           TVariant::I4(0)}));

    ASSERT_TRUE(Word(0x10));            // the property call created it
    EXPECT_EQ(Word(0x10)->RefCount, 0); // and holds nothing on it
    Word(0x10)->StoreReadValue(1234, 45000.5);
    ASSERT_EQ(Properties->GetItemProperties("plc1.wr10", {2, 3, 4, 5, 6, 101, 5000, 5001}, data, Errors),
              S_OK);
    EXPECT_EQ(Errors, std::vector<HRESULT>(8, S_OK));
    EXPECT_EQ(data,
              (std::vector<TVariant>{TVariant::UI2(1234), TVariant::I4(QualityGood), TVariant::Date(45000.5),
                                     TVariant::I4(3), TVariant::I4(0), TVariant::Bstr("PLC1.WR10"),
                                     TVariant::UI2(1234), TVariant::I4(0)}));

    // A status text variable gives its text; read-only access.
    PLC1.StatusVar(stComInfo).StoreText("connected", 45000.0);
    ASSERT_EQ(Properties->GetItemProperties("PLC1.ComInfo", {2, 5}, data, Errors), S_OK);
    EXPECT_EQ(data, (std::vector<TVariant>{TVariant::Bstr("connected"), TVariant::I4(1)}));
}

} // namespace
} // namespace dravon::test
