#include "ui/RegisterServerButtons.h"

#include "app/Registration.h"

#include <QMessageBox>

namespace dravon {

TRegistrationBox RegistrationMessageBox(QWidget* parent) {
    return [parent](bool isError, const QString& text, const QString& detail) {
        QMessageBox box(isError ? QMessageBox::Critical : QMessageBox::Information, "Dravon", text,
                        QMessageBox::Ok, parent);
        if (!detail.isEmpty()) box.setInformativeText(detail);
        box.exec();
    };
}

bool RegisterServerWithMessage(IKeyValueStore* store, const std::string& executablePath,
                               const TRegistrationBox& show) {
    TRegistrationResult result;
    if (store) {
        result = RegisterServer(*store, ServerProgID, executablePath);
    } else {
        result.Message = std::string(ServerDescription) + " registration failed.";
        result.Error = "No settings store";
    }
    if (show) show(!result.Ok, QString::fromStdString(result.Message), QString::fromStdString(result.Error));
    return result.Ok;
}

bool UnregisterServerWithMessage(IKeyValueStore* store, const TRegistrationBox& show) {
    TRegistrationResult result;
    if (store) {
        result = UnregisterServer(*store, ServerProgID);
    } else {
        result.Message = std::string(ServerDescription) + " unregistration failed.";
        result.Error = "No settings store";
    }
    if (show) show(false, QString::fromStdString(result.Message), QString::fromStdString(result.Error));
    return result.Ok;
}

} // namespace dravon
