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

#include <optional>
#include <tuple>

namespace dravon {
namespace {

namespace fs = std::filesystem;

class OpcUaPageTest : public test::TWidgetSuite {};

TEST_F(OpcUaPageTest, StoresTheSecuritySettingsKeepingUnsetSwitchesUnset) {
    // ListenOnAllInterfaces, AllowSecurityNone and AllowAnonymous stored before; whether their
    // boxes show checked, whether the operator clicks them; both switches as stored after.
    const std::tuple<bool, std::optional<bool>, bool, bool, std::optional<bool>> rows[] = {
        {false, std::nullopt, true, false, std::nullopt},
        {true, std::nullopt, false, false, std::nullopt},
        {true, std::nullopt, false, true, true},
        {false, std::nullopt, true, true, false},
        {true, false, false, false, false},
        {false, true, true, true, false},
    };
    for (const auto& [listenOnAll, before, shown, click, after] : rows) {
        SCOPED_TRACE(testing::Message() << listenOnAll << " " << before.value_or(2) << " " << click);
        TMemoryStore store;
        TUaConfig config;
        config.ListenOnAllInterfaces = listenOnAll;
        config.AllowSecurityNone = config.AllowAnonymous = before;
        ASSERT_TRUE(SaveUaConfig(store, config));
        TfOpcUaPage page({});
        page.Load(store);
        EXPECT_EQ(
            page.findChild<QLabel*>("lbUaListen")->text() + "|" +
                page.findChild<QLabel*>("lbUaThumbprint")->text(),
            QString(
                listenOnAll
                    ? "Listening on all interfaces: None and anonymous users stay off unless turned on here"
                    : "Listening on 127.0.0.1 only") +
                "|Server certificate: created at the next start");
        for (const char* name : {"cbUaNone", "cbUaAllowAnonymous"}) {
            auto* box = page.findChild<QCheckBox*>(name);
            EXPECT_EQ(box->isChecked(), shown) << name;
            if (click) box->click();
        }
        for (const char* name : {"cbUaAes128_Sha256_RsaOaep", "cbUaSign", "cbUaAutoTrustClients"})
            page.findChild<QCheckBox*>(name)->click();
        page.findChild<QSpinBox*>("edUaCertificateLifetime")->setValue(400);
        ASSERT_TRUE(page.Save(store));
        TUaConfig stored;
        ASSERT_TRUE(LoadUaConfig(store, stored));
        EXPECT_EQ(std::tuple(stored.AllowSecurityNone, stored.AllowAnonymous, stored.ListenOnAllInterfaces,
                             stored.SecurityPolicies + " " + stored.SecurityModes, stored.AutoTrustClients,
                             stored.CertificateLifetimeDays),
                  std::tuple(after, after, listenOnAll, "Basic256Sha256,Aes256_Sha256_RsaPss SignAndEncrypt",
                             true, 400u));
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
        TUaCertificate::CreateSelfSigned(key, {"urn:scada:client", "scada", "SCADA client", "", from, 365});
    ASSERT_TRUE(server && client);
    pki.CreateFolders();
    test::WriteFile(pki.OwnCertificateFile().string(), server->Der());
    const std::time_t during = from + 86400;
    EXPECT_EQ(pki.Check(client->Der(), "urn:scada:client", during, 2048, 4096, false).Status,
              UaStatus::BadCertificateUntrusted);
    // Its common name made file-name-safe and its thumbprint; only a plain name can be trusted.
    const std::string rejected = "SCADA_client [" + UaHex(client->Thumbprint()) + "].der";
    EXPECT_EQ(pki.RejectedCertificates(), std::vector<std::string>{rejected});
    EXPECT_FALSE(pki.Trust("../" + rejected));

    TMemoryStore store;
    TfOpcUaPage page(dir.Path / "pki");
    page.Load(store);
    EXPECT_EQ(page.findChild<QLabel*>("lbUaThumbprint")->text().toStdString(),
              "Server certificate thumbprint: " + UaHex(server->Thumbprint()));
    QTreeWidget* list = page.RejectedList();
    ASSERT_EQ(list->topLevelItemCount(), 1);
    QTreeWidgetItem* row = list->topLevelItem(0);
    EXPECT_EQ((QStringList{row->text(0), row->text(1), row->text(2), row->text(3)}),
              (QStringList{"SCADA client", "urn:scada:client",
                           QString::fromStdString(UaHex(client->Thumbprint())), "2027-01-01 to 2028-01-01"}));
    EXPECT_FALSE(page.TrustSelected()); // nothing selected
    row->setSelected(true);
    page.findChild<QPushButton*>("btUaTrust")->click();
    EXPECT_EQ(std::tuple(list->topLevelItemCount(), fs::is_empty(dir.Path / "pki/rejected/certs"),
                         page.findChild<QLabel*>("lbUaTrustResult")->text().endsWith(" is trusted")),
              std::tuple(0, true, true));
    // Without key size bounds.
    EXPECT_EQ(pki.Check(client->Der(), "urn:scada:client", during, 0, 0, false).Status, UaStatus::Good);
}

} // namespace
} // namespace dravon
