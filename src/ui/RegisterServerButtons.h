// What the configuration dialog's "&Register Server" and "&Unregister Server" run: the OPC
// registration of the server with its message box. Registration writes the store's
// HKEY_CLASSES_ROOT, so a store that cannot be written shows the failure, never a success.
#pragma once

#include <QString>

#include <functional>
#include <string>

class QWidget;

namespace dravon {

class IKeyValueStore;

// How a result reaches the operator: an error or an information box with the sentence,
// and the reason of a failure (empty on success) as its detail.
using TRegistrationBox = std::function<void(bool isError, const QString& text, const QString& detail)>;

// A box with an OK button over the parent.
TRegistrationBox RegistrationMessageBox(QWidget* parent);

// "... successfully registered." (information) or "... registration failed." (error).
bool RegisterServerWithMessage(IKeyValueStore* store, const std::string& executablePath,
                               const TRegistrationBox& show);
// "... succesfully unregistered." or "... unregistration failed.", both as information.
bool UnregisterServerWithMessage(IKeyValueStore* store, const TRegistrationBox& show);

} // namespace dravon
