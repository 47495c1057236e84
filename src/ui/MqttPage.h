// The configuration dialog's MQTT page: enable, writes from the broker, broker URL,
// Sparkplug group and edge node id, user name and password file, and the published items
// ("Publish selected" adds the monitor list's selected locations). The edge node reads
// these settings when Dravon starts.
#pragma once

#include "mqtt/MqttConfig.h"

#include <QWidget>

#include <functional>
#include <string>
#include <vector>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace dravon {

class IKeyValueStore;

class TfMqttPage : public QWidget {
public:
    explicit TfMqttPage(QWidget* parent = nullptr);

    // The item IDs of the locations selected in the monitor list (set by the dialog).
    std::function<std::vector<std::string>()> SelectedItemIds;

    void Load(IKeyValueStore& store);
    // False when the store refused a value.
    bool Save(IKeyValueStore& store);
    // "Publish selected": each selected item not yet published joins the list.
    void PublishSelected();

    const TMqttConfig& Config() const { return Config_; }
    QPushButton* PublishSelectedButton() const { return btPublishSelected_; }

private:
    void ShowItemCount();

    TMqttConfig Config_;
    QCheckBox* cbEnabled_;
    QCheckBox* cbAllowWrites_;
    QLineEdit* edBrokerUrl_;
    QLineEdit* edGroupId_;
    QLineEdit* edEdgeNodeId_;
    QLineEdit* edUserName_;
    QLineEdit* edPasswordFile_;
    QLabel* lbItems_;
    QPushButton* btPublishSelected_;
};

} // namespace dravon
