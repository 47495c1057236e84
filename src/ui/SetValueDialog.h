// TfrmEnterVal: the operator types one value for the selected rows of a monitor list. The
// text is read in the display format of the row the dialog was opened for, checked against
// the range of the target type and forced into every writable target, from where the
// driver writes it to the PLC.
#pragma once

#include "ui/ValueFormat.h"

#include <QDialog>

#include <functional>
#include <vector>

class QLabel;
class QLineEdit;
class QPushButton;

namespace dravon {

class IClock;
class THitachiLocation;

class TfrmEnterVal : public QDialog {
    Q_OBJECT
public:
    static constexpr const char* ValueHint = "Example:\n\r100 (dec), H64 (hex)";

    // The clock stamps forced values; it may be null (no time stamp then).
    explicit TfrmEnterVal(IClock* clock, QWidget* parent = nullptr);
    ~TfrmEnterVal() override;

    // Caption, first text, format hint and targets, then the modal dialog.
    void ShowSetValueDialog(THitachiLocation& location, const std::vector<THitachiLocation*>& targets);
    // Everything ShowSetValueDialog does before it shows the dialog (tests stop here).
    void Prepare(THitachiLocation& location, const std::vector<THitachiLocation*>& targets);
    // Reads edValue and stores it in every writable target; true when an error was shown.
    bool ApplyEnteredValue();

    // Error boxes go through here; tests collect the texts.
    std::function<void(const QString&)> ShowErrorMessage;

    QLineEdit* ValueEdit() const { return edValue_; }
    QString FormatHint() const;
    TViewFormat Format() const { return Format_; }
    QPushButton* OkButton() const { return btOK_; }
    QPushButton* ApplyButton() const { return btApply_; }
    QPushButton* CancelButton() const { return btCancel_; }

    void done(int result) override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    // The dialog holds one reference on every target while it is open: a client may give
    // up a location meanwhile, and the poll pass would free it under the dialog.
    void ReleaseTargets();

    IClock* Clock_;
    QLabel* lbFormatHint_ = nullptr;
    QLineEdit* edValue_ = nullptr;
    QPushButton* btOK_ = nullptr;
    QPushButton* btCancel_ = nullptr;
    QPushButton* btApply_ = nullptr;
    std::vector<THitachiLocation*> Targets_;
    TViewFormat Format_ = TViewFormat::Dec;
};

} // namespace dravon
