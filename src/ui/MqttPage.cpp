#include "ui/MqttPage.h"

#include "plc/ItemId.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace dravon {

namespace {

QLineEdit* Field(QWidget* parent, const char* name, const char* placeholder = "") {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    edit->setPlaceholderText(placeholder);
    return edit;
}

} // namespace

TfMqttPage::TfMqttPage(QWidget* parent) : QWidget(parent) {
    setObjectName("tsMqtt");
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(6, 6, 6, 6);
    grid->setVerticalSpacing(3);
    cbEnabled_ = new QCheckBox("Publish to an MQTT broker", this);
    cbEnabled_->setObjectName("cbMqttEnabled");
    cbAllowWrites_ = new QCheckBox("Allow writes", this);
    cbAllowWrites_->setObjectName("cbMqttAllowWrites");
    cbAllowWrites_->setToolTip("Sparkplug DCMD messages write to the PLCs");
    edBrokerUrl_ = Field(this, "edMqttBrokerUrl", "mqtt://host:1883 or mqtts://host:8883");
    edGroupId_ = Field(this, "edMqttGroupId");
    edEdgeNodeId_ = Field(this, "edMqttEdgeNodeId", "host name");
    edUserName_ = Field(this, "edMqttUserName");
    edPasswordFile_ = Field(this, "edMqttPasswordFile", "file, mode 0600");
    lbItems_ = new QLabel(this);
    lbItems_->setObjectName("lbMqttItems");
    btPublishSelected_ = new QPushButton("Publish selected", this);
    btPublishSelected_->setObjectName("btMqttPublishSelected");
    connect(btPublishSelected_, &QPushButton::clicked, this, [this] { PublishSelected(); });

    grid->addWidget(cbEnabled_, 0, 0, 1, 2);
    grid->addWidget(cbAllowWrites_, 0, 2, 1, 2);
    grid->addWidget(new QLabel("Broker", this), 1, 0);
    grid->addWidget(edBrokerUrl_, 1, 1, 1, 3);
    grid->addWidget(new QLabel("Group", this), 2, 0);
    grid->addWidget(edGroupId_, 2, 1);
    grid->addWidget(new QLabel("Node", this), 2, 2);
    grid->addWidget(edEdgeNodeId_, 2, 3);
    grid->addWidget(new QLabel("User", this), 3, 0);
    grid->addWidget(edUserName_, 3, 1);
    grid->addWidget(new QLabel("Password", this), 3, 2);
    grid->addWidget(edPasswordFile_, 3, 3);
    grid->addWidget(lbItems_, 4, 0, 1, 3);
    grid->addWidget(btPublishSelected_, 4, 3);
    grid->setRowStretch(5, 1);
    ShowItemCount();
}

void TfMqttPage::Load(IKeyValueStore& store) {
    Config_ = TMqttConfig();
    LoadMqttConfig(store, Config_);
    cbEnabled_->setChecked(Config_.Enabled);
    cbAllowWrites_->setChecked(Config_.AllowWrites);
    edBrokerUrl_->setText(QString::fromStdString(Config_.BrokerUrl));
    edGroupId_->setText(QString::fromStdString(Config_.GroupId));
    edEdgeNodeId_->setText(QString::fromStdString(Config_.EdgeNodeId));
    edUserName_->setText(QString::fromStdString(Config_.UserName));
    edPasswordFile_->setText(QString::fromStdString(Config_.PasswordFile));
    ShowItemCount();
}

bool TfMqttPage::Save(IKeyValueStore& store) {
    Config_.Enabled = cbEnabled_->isChecked();
    Config_.AllowWrites = cbAllowWrites_->isChecked();
    Config_.BrokerUrl = edBrokerUrl_->text().trimmed().toStdString();
    Config_.GroupId = edGroupId_->text().trimmed().toStdString();
    Config_.EdgeNodeId = edEdgeNodeId_->text().trimmed().toStdString();
    Config_.UserName = edUserName_->text().trimmed().toStdString();
    Config_.PasswordFile = edPasswordFile_->text().trimmed().toStdString();
    return SaveMqttConfig(store, Config_);
}

void TfMqttPage::PublishSelected() {
    if (!SelectedItemIds) return;
    for (const std::string& id : SelectedItemIds()) {
        bool known = false;
        for (const TMqttPublishedItem& item : Config_.Items)
            known = known || SameTextIgnoringCase(item.ItemId, id);
        if (!known && Config_.Items.size() < TMqttConfig::MaxItems) Config_.Items.push_back({id, "", "", 0});
    }
    ShowItemCount();
}

void TfMqttPage::ShowItemCount() {
    lbItems_->setText(QString("%1 items published (from the next start)").arg(Config_.Items.size()));
}

} // namespace dravon
