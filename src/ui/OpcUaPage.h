// The configuration dialog's OPC UA security page: the policies and modes offered, anonymous
// users, trusting every client, the lifetime of a created certificate (stored at OK, read by
// the endpoint when Dravon starts); the client certificates the endpoint refused, one of
// which "Trust" moves to the trusted folder at once (the endpoint reads its folders again
// without a restart); the server certificate's thumbprint.
#pragma once

#include "ua/UaConfig.h"
#include "ua/security/UaPki.h"

#include <QWidget>

#include <filesystem>
#include <vector>

class QCheckBox;
class QLabel;
class QPushButton;
class QSpinBox;
class QTreeWidget;

namespace dravon {

class IKeyValueStore;

class TfOpcUaPage : public QWidget {
public:
    // pkiRoot: the endpoint's pki folder (empty: no certificates to show).
    explicit TfOpcUaPage(std::filesystem::path pkiRoot, QWidget* parent = nullptr);

    void Load(IKeyValueStore& store);
    // False when the store refused a value.
    bool Save(IKeyValueStore& store);
    // Reads the certificate folders again.
    void ShowCertificates();
    // Moves the selected rejected certificate to the trusted ones; false when none is
    // selected or the move failed (the page says so).
    bool TrustSelected();

    QTreeWidget* RejectedList() const { return lvRejected_; }

private:
    TUaConfig Config_;
    TUaPki Pki_;
    // Secured policies in the order of UaSecurityPolicies(), without None.
    std::vector<QCheckBox*> cbPolicies_;
    QCheckBox* cbNone_;
    QCheckBox* cbSign_;
    QCheckBox* cbSignAndEncrypt_;
    QCheckBox* cbAnonymous_;
    QCheckBox* cbAutoTrust_;
    QSpinBox* edLifetime_;
    QLabel* lbListen_;
    QLabel* lbThumbprint_;
    QTreeWidget* lvRejected_;
    QPushButton* btTrust_;
    QLabel* lbTrustResult_;
};

} // namespace dravon
