// The OPC UA page: what it stores under the endpoint's key (the switches whose default
// follows ListenOnAllInterfaces stay unset until the operator changes them), and a refused
// client certificate listed and trusted from it, then accepted by the endpoint's check.
#include "ui/OpcUaPage.h"
#include "WidgetSuite.h"
#include "app/MemoryStore.h"
#include "ua/UaStatusCodes.h"
#include "unit/app/TempDir.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTreeWidget>

namespace dravon {
namespace {

namespace fs = std::filesystem;

class OpcUaPageTest : public test::TWidgetSuite {};

TEST_F(OpcUaPageTest, StoresTheSecuritySettingsKeepingUnsetSwitchesUnset) {
    struct TRow {
        bool ListenOnAll;
        std::optional<bool> Stored; // AllowSecurityNone and AllowAnonymous before
        bool Shown;
        bool Click;
        std::optional<bool> Expected;
    };
    const TRow rows[] = {
        {false, std::nullopt, true, false, std::nullopt},
        {true, std::nullopt, false, false, std::nullopt},
        {true, std::nullopt, false, true, true},
        {false, std::nullopt, true, true, false},
        {true, false, false, false, false},
        {false, true, true, true, false},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(testing::Message()
                     << row.ListenOnAll << " " << row.Stored.value_or(2) << " " << row.Click);
        TMemoryStore store;
        TUaConfig config;
        config.ListenOnAllInterfaces = row.ListenOnAll;
        config.AllowSecurityNone = config.AllowAnonymous = row.Stored;
        ASSERT_TRUE(SaveUaConfig(store, config));
        TfOpcUaPage page({});
        page.Load(store);
        for (const char* name : {"cbUaNone", "cbUaAllowAnonymous"}) {
            auto* box = page.findChild<QCheckBox*>(name);
            ASSERT_TRUE(box) << name;
            EXPECT_EQ(box->isChecked(), row.Shown) << name;
            if (row.Click) box->click();
        }
        page.findChild<QCheckBox*>("cbUaAes128_Sha256_RsaOaep")->click();
        page.findChild<QCheckBox*>("cbUaSign")->click();
        page.findChild<QCheckBox*>("cbUaAutoTrustClients")->click();
        page.findChild<QSpinBox*>("edUaCertificateLifetime")->setValue(400);
        ASSERT_TRUE(page.Save(store));
        TUaConfig stored;
        ASSERT_TRUE(LoadUaConfig(store, stored));
        EXPECT_EQ(stored.AllowSecurityNone, row.Expected);
        EXPECT_EQ(stored.AllowAnonymous, row.Expected);
        EXPECT_EQ(stored.SecurityPolicies, "Basic256Sha256,Aes256_Sha256_RsaPss");
        EXPECT_EQ(stored.SecurityModes, "SignAndEncrypt");
        EXPECT_TRUE(stored.AutoTrustClients);
        EXPECT_EQ(stored.CertificateLifetimeDays, 400u);
        EXPECT_EQ(stored.ListenOnAllInterfaces, row.ListenOnAll);
    }
}

TEST_F(OpcUaPageTest, ListsARejectedClientAndTrustsIt) {
    test::TTempDir dir;
    TUaPki pki(dir.Path / "pki");
    TUaKey key = TUaKey::Generate(2048);
    std::time_t from = 1798761600; // 2027-01-01
    auto server =
        TUaCertificate::CreateSelfSigned(key, {"urn:host:Norvane:Dravon", "host", "Dravon", "", from, 30});
    auto client =
        TUaCertificate::CreateSelfSigned(key, {"urn:scada:client", "scada", "SCADA", "", from, 365});
    ASSERT_TRUE(server && client);
    pki.CreateFolders();
    test::WriteFile(pki.OwnCertificateFile().string(), server->Der());
    const std::time_t during = from + 86400;
    EXPECT_EQ(pki.Check(client->Der(), "urn:scada:client", during, 2048, 4096, false).Status,
              UaStatus::BadCertificateUntrusted);

    TMemoryStore store;
    TfOpcUaPage page(dir.Path / "pki");
    page.Load(store);
    EXPECT_EQ(page.findChild<QLabel*>("lbUaThumbprint")->text().toStdString(),
              "Server certificate thumbprint: " + UaHex(server->Thumbprint()));
    QTreeWidget* list = page.RejectedList();
    ASSERT_EQ(list->topLevelItemCount(), 1);
    QTreeWidgetItem* row = list->topLevelItem(0);
    EXPECT_EQ(row->text(0), "SCADA");
    EXPECT_EQ(row->text(1), "urn:scada:client");
    EXPECT_EQ(row->text(2).toStdString(), UaHex(client->Thumbprint()));
    EXPECT_EQ(row->text(3), "2027-01-01 to 2028-01-01");
    EXPECT_FALSE(page.TrustSelected()); // nothing selected
    row->setSelected(true);
    page.findChild<QPushButton*>("btUaTrust")->click();
    EXPECT_EQ(list->topLevelItemCount(), 0);
    EXPECT_TRUE(fs::is_empty(dir.Path / "pki/rejected/certs"));
    EXPECT_EQ(pki.Check(client->Der(), "urn:scada:client", during, 2048, 4096, false).Status, UaStatus::Good);
}

} // namespace
} // namespace dravon
