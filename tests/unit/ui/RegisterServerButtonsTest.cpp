// "Register Server" and "Unregister Server" as the operator presses them: the keys in the
// store and the box that reports the result.
#include "ui/RegisterServerButtons.h"
#include "app/KeyValueStore.h"
#include "app/MemoryStore.h"
#include "app/Registration.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace dravon {
namespace {

struct TBox {
    bool IsError;
    QString Text;
    QString Detail;
};

class RegisterServerButtons : public ::testing::Test {
protected:
    TMemoryStore Store;
    std::vector<TBox> Boxes;
    TRegistrationBox Show = [this](bool isError, const QString& text, const QString& detail) {
        Boxes.push_back({isError, text, detail});
    };
    static constexpr const char* Executable = "/opt/dravon/bin/dravon";
};

TEST_F(RegisterServerButtons, RegisteringTwiceShowsTheSuccessTwice) {
    EXPECT_TRUE(RegisterServerWithMessage(&Store, Executable, Show));
    EXPECT_TRUE(RegisterServerWithMessage(&Store, Executable, Show));
    ASSERT_EQ(Boxes.size(), 2u);
    for (const TBox& box : Boxes) {
        EXPECT_FALSE(box.IsError);
        EXPECT_EQ(box.Text, "Dravon OPC Data Access Server successfully registered.");
        EXPECT_TRUE(box.Detail.isEmpty());
    }
    auto key = Store.OpenKeyReadOnly(TRootKey::ClassesRoot,
                                     std::string("CLSID\\") + ServerClassID + "\\LocalServer32");
    ASSERT_TRUE(key);
    EXPECT_EQ(key->ReadString(""), Executable);
    EXPECT_TRUE(Store.KeyExists(TRootKey::ClassesRoot, "DravonOPC.DA2\\OPC"));
}

TEST_F(RegisterServerButtons, UnregisteringReportsInAnInformationBox) {
    ASSERT_TRUE(RegisterServerWithMessage(&Store, Executable, Show));
    Boxes.clear();
    EXPECT_TRUE(UnregisterServerWithMessage(&Store, Show));
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_FALSE(Boxes[0].IsError);
    EXPECT_EQ(Boxes[0].Text, "Dravon OPC Data Access Server succesfully unregistered.");
    // The keys stay; only the category membership goes.
    EXPECT_TRUE(Store.KeyExists(TRootKey::ClassesRoot, "DravonOPC.DA2"));
}

TEST_F(RegisterServerButtons, AStoreThatCannotBeWrittenShowsTheFailure) {
    Store.WritesFail = true;
    EXPECT_FALSE(RegisterServerWithMessage(&Store, Executable, Show));
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_TRUE(Boxes[0].IsError);
    EXPECT_EQ(Boxes[0].Text, "Dravon OPC Data Access Server registration failed.");
    EXPECT_FALSE(Boxes[0].Detail.isEmpty());

    Boxes.clear();
    EXPECT_FALSE(RegisterServerWithMessage(nullptr, Executable, Show));
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_TRUE(Boxes[0].IsError);
    EXPECT_FALSE(UnregisterServerWithMessage(nullptr, Show));
    ASSERT_EQ(Boxes.size(), 2u);
    EXPECT_FALSE(Boxes[1].IsError); // unregistration reports as information either way
    EXPECT_EQ(Boxes[1].Text, "Dravon OPC Data Access Server unregistration failed.");
}

} // namespace
} // namespace dravon
