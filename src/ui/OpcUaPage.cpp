#include "ui/OpcUaPage.h"

#include "ua/security/UaSecurityPolicies.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTreeWidget>

#include <ctime>

namespace dravon {

namespace {

QCheckBox* Box(QWidget* parent, const QString& name, const QString& caption) {
    auto* box = new QCheckBox(caption, parent);
    box->setObjectName(name);
    return box;
}

QString Date(std::time_t t) {
    std::tm tm{};
    char text[16] = "?";
    if (t && gmtime_r(&t, &tm)) std::strftime(text, sizeof text, "%Y-%m-%d", &tm);
    return text;
}

bool Listed(const std::string& list, const char* name) {
    for (const QString& n : QString::fromStdString(list).split(','))
        if (n.trimmed() == name) return true;
    return false;
}

// An unset switch stays unset (its default follows ListenOnAllInterfaces) unless the
// operator changed what the box showed.
void StoreSwitch(std::optional<bool>& value, bool shown, bool checked) {
    if (checked != shown) value = checked;
}

} // namespace

TfOpcUaPage::TfOpcUaPage(std::filesystem::path pkiRoot, QWidget* parent)
    : QWidget(parent), Pki_(std::move(pkiRoot)) {
    setObjectName("tsOpcUa");
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(6, 6, 6, 6);
    grid->setVerticalSpacing(3);

    auto* policies = new QGroupBox("Security policies", this);
    auto* policyGrid = new QGridLayout(policies);
    cbNone_ = Box(policies, "cbUaNone", "None (no security)");
    policyGrid->addWidget(cbNone_, 0, 0);
    int row = 1;
    for (const TUaSecurityPolicy& policy : UaSecurityPolicies()) {
        if (policy.IsNone()) continue;
        auto* box = Box(policies, QString("cbUa") + policy.Name, policy.Name);
        cbPolicies_.push_back(box);
        policyGrid->addWidget(box, row++, 0);
    }
    cbSign_ = Box(policies, "cbUaSign", "Sign");
    cbSignAndEncrypt_ = Box(policies, "cbUaSignAndEncrypt", "Sign and encrypt");
    policyGrid->addWidget(cbSign_, 1, 1);
    policyGrid->addWidget(cbSignAndEncrypt_, 2, 1);

    cbAnonymous_ = Box(this, "cbUaAllowAnonymous", "Allow anonymous users");
    cbAutoTrust_ = Box(this, "cbUaAutoTrustClients", "Trust every client certificate");
    cbAutoTrust_->setToolTip("Not for a plant network: any client with a certificate may connect");
    edLifetime_ = new QSpinBox(this);
    edLifetime_->setObjectName("edUaCertificateLifetime");
    edLifetime_->setRange(1, 20 * 366);
    edLifetime_->setToolTip("For a certificate created at a start without one");
    lbListen_ = new QLabel(this);
    lbListen_->setObjectName("lbUaListen");
    lbListen_->setWordWrap(true);
    lbThumbprint_ = new QLabel(this);
    lbThumbprint_->setObjectName("lbUaThumbprint");
    lbThumbprint_->setTextInteractionFlags(Qt::TextSelectableByMouse);

    lvRejected_ = new QTreeWidget(this);
    lvRejected_->setObjectName("lvUaRejected");
    lvRejected_->setRootIsDecorated(false);
    lvRejected_->setHeaderLabels({"Rejected client", "Application URI", "Thumbprint", "Valid"});
    lvRejected_->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    btTrust_ = new QPushButton("Trust", this);
    btTrust_->setObjectName("btUaTrust");
    btTrust_->setEnabled(false);
    lbTrustResult_ = new QLabel(this);
    lbTrustResult_->setObjectName("lbUaTrustResult");
    connect(lvRejected_, &QTreeWidget::itemSelectionChanged, this,
            [this] { btTrust_->setEnabled(!lvRejected_->selectedItems().isEmpty()); });
    connect(btTrust_, &QPushButton::clicked, this, [this] { TrustSelected(); });

    grid->addWidget(policies, 0, 0, 1, 2);
    grid->addWidget(cbAnonymous_, 1, 0);
    grid->addWidget(cbAutoTrust_, 1, 1);
    auto* lifetime = new QHBoxLayout;
    lifetime->addWidget(new QLabel("Certificate lifetime (days):", this));
    lifetime->addWidget(edLifetime_);
    lifetime->addStretch(1);
    grid->addLayout(lifetime, 2, 0, 1, 2);
    grid->addWidget(lbListen_, 3, 0, 1, 2);
    grid->addWidget(lbThumbprint_, 4, 0, 1, 2);
    grid->addWidget(lvRejected_, 5, 0, 1, 2);
    grid->addWidget(lbTrustResult_, 6, 0);
    grid->addWidget(btTrust_, 6, 1, Qt::AlignRight);
    grid->setRowStretch(5, 1);
}

void TfOpcUaPage::Load(IKeyValueStore& store) {
    Config_ = TUaConfig();
    LoadUaConfig(store, Config_);
    std::size_t i = 0;
    for (const TUaSecurityPolicy& policy : UaSecurityPolicies())
        if (!policy.IsNone()) cbPolicies_[i++]->setChecked(Listed(Config_.SecurityPolicies, policy.Name));
    cbNone_->setChecked(Config_.SecurityNoneOffered());
    cbSign_->setChecked(Listed(Config_.SecurityModes, "Sign"));
    cbSignAndEncrypt_->setChecked(Listed(Config_.SecurityModes, "SignAndEncrypt"));
    cbAnonymous_->setChecked(Config_.AnonymousAllowed());
    cbAutoTrust_->setChecked(Config_.AutoTrustClients);
    edLifetime_->setValue(static_cast<int>(Config_.CertificateLifetimeDays));
    lbListen_->setText(
        Config_.ListenOnAllInterfaces
            ? "Listening on all interfaces: None and anonymous users stay off unless turned on here"
            : QString("Listening on %1 only").arg(QString::fromStdString(Config_.BindAddress)));
    lbTrustResult_->clear();
    ShowCertificates();
}

bool TfOpcUaPage::Save(IKeyValueStore& store) {
    QStringList policies;
    std::size_t i = 0;
    for (const TUaSecurityPolicy& policy : UaSecurityPolicies())
        if (!policy.IsNone() && cbPolicies_[i++]->isChecked()) policies << policy.Name;
    QStringList modes;
    if (cbSign_->isChecked()) modes << "Sign";
    if (cbSignAndEncrypt_->isChecked()) modes << "SignAndEncrypt";
    Config_.SecurityPolicies = policies.join(',').toStdString();
    Config_.SecurityModes = modes.join(',').toStdString();
    StoreSwitch(Config_.AllowSecurityNone, Config_.SecurityNoneOffered(), cbNone_->isChecked());
    StoreSwitch(Config_.AllowAnonymous, Config_.AnonymousAllowed(), cbAnonymous_->isChecked());
    Config_.AutoTrustClients = cbAutoTrust_->isChecked();
    Config_.CertificateLifetimeDays = static_cast<std::uint32_t>(edLifetime_->value());
    return SaveUaConfig(store, Config_);
}

void TfOpcUaPage::ShowCertificates() {
    TUaCertificate own = Pki_.ReadCertificate(Pki_.OwnCertificateFile());
    lbThumbprint_->setText(own.Valid() ? "Server certificate thumbprint: " +
                                             QString::fromStdString(UaHex(own.Thumbprint()))
                                       : QString("Server certificate: created at the next start"));
    lvRejected_->clear();
    for (const std::string& name : Pki_.RejectedCertificates()) {
        TUaCertificate cert = Pki_.ReadCertificate(Pki_.Folder("rejected/certs") / name);
        auto* item = new QTreeWidgetItem(lvRejected_);
        item->setData(0, Qt::UserRole, QString::fromStdString(name));
        if (!cert.Valid()) {
            item->setText(0, QString::fromStdString(name) + " (unreadable)");
            continue;
        }
        item->setText(0, QString::fromStdString(cert.CommonName()));
        item->setText(1, QString::fromStdString(cert.ApplicationUri()));
        item->setText(2, QString::fromStdString(UaHex(cert.Thumbprint())));
        item->setText(3, Date(cert.NotBefore()) + " to " + Date(cert.NotAfter()));
    }
    btTrust_->setEnabled(false);
}

bool TfOpcUaPage::TrustSelected() {
    const auto selected = lvRejected_->selectedItems();
    if (selected.isEmpty()) return false;
    const QString name = selected.front()->data(0, Qt::UserRole).toString();
    bool moved = Pki_.Trust(name.toStdString());
    lbTrustResult_->setText(moved ? name + " is trusted"
                                  : name + " could not be moved to the trusted folder");
    ShowCertificates();
    return moved;
}

} // namespace dravon
