#include "ui/SetValueDialog.h"

#include "app/Platform.h"
#include "plc/HitachiLocation.h"
#include "ui/SetValueText.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QShowEvent>

namespace dravon {

namespace {

constexpr int AccessWrite = 2;

const char* FormatName(TViewFormat format) {
    switch (format) {
    case TViewFormat::SignedDec: return "Signed Dec";
    case TViewFormat::Hex: return "Hex";
    // The established caption, misspelling included.
    case TViewFormat::FloatingPoint: return "Flocating Point";
    case TViewFormat::Fractional: return "Fractional";
    case TViewFormat::Dec: break;
    }
    return "Dec";
}

bool Writable(const THitachiLocation& location) { return (location.AccessRights & AccessWrite) != 0; }

} // namespace

TfrmEnterVal::TfrmEnterVal(IClock* clock, QWidget* parent) : QDialog(parent), Clock_(clock) {
    setObjectName("frmEnterVal");
    setWindowTitle("Set value");
    setModal(true);
    setFixedSize(287, 109);
    auto* grid = new QGridLayout(this);
    grid->addWidget(new QLabel("Format:", this), 0, 0);
    lbFormatHint_ = new QLabel(this);
    lbFormatHint_->setObjectName("lbFormatHint");
    grid->addWidget(lbFormatHint_, 0, 1);
    grid->addWidget(new QLabel("Value:", this), 1, 0);
    edValue_ = new QLineEdit(this);
    edValue_->setObjectName("edValue");
    grid->addWidget(edValue_, 1, 1);
    auto* buttons = new QHBoxLayout;
    btOK_ = new QPushButton("OK", this);
    btCancel_ = new QPushButton("Cancel", this);
    btApply_ = new QPushButton("Apply", this);
    btOK_->setDefault(true);
    btOK_->setAutoDefault(true);
    btApply_->setAutoDefault(false);
    btCancel_->setAutoDefault(false);
    buttons->addStretch();
    buttons->addWidget(btOK_);
    buttons->addWidget(btCancel_);
    buttons->addWidget(btApply_);
    grid->addLayout(buttons, 2, 0, 1, 2);
    connect(btOK_, &QPushButton::clicked, this, [this] {
        if (!ApplyEnteredValue()) accept();
    });
    connect(btApply_, &QPushButton::clicked, this, [this] { ApplyEnteredValue(); });
    connect(btCancel_, &QPushButton::clicked, this, [this] { reject(); });
    ShowErrorMessage = [this](const QString& text) {
        QMessageBox::critical(this, windowTitle(), text, QMessageBox::Ok);
    };
}

TfrmEnterVal::~TfrmEnterVal() { ReleaseTargets(); }

void TfrmEnterVal::ReleaseTargets() {
    for (THitachiLocation* target : Targets_) target->Release();
    Targets_.clear();
}

void TfrmEnterVal::Prepare(THitachiLocation& location, const std::vector<THitachiLocation*>& targets) {
    ReleaseTargets();
    for (THitachiLocation* target : targets) {
        if (!target) continue;
        target->AddRef();
        Targets_.push_back(target);
    }
    setWindowTitle(Targets_.size() < 2 ? QString::fromStdString("Set value for " + location.LocationName())
                                       : QString("Set multiple values"));
    edValue_->setText(QString::fromStdString(FormatLocationValue(location, true)));
    Format_ = static_cast<TViewFormat>(location.View);
    if (location.View > static_cast<std::uint8_t>(TViewFormat::Fractional)) Format_ = TViewFormat::Dec;
    lbFormatHint_->setText(FormatName(Format_));
}

void TfrmEnterVal::ShowSetValueDialog(THitachiLocation& location,
                                      const std::vector<THitachiLocation*>& targets) {
    Prepare(location, targets);
    exec();
    ReleaseTargets();
}

QString TfrmEnterVal::FormatHint() const { return lbFormatHint_->text(); }

void TfrmEnterVal::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    edValue_->setFocus();
    edValue_->setToolTip(ValueHint);
    edValue_->selectAll();
}

void TfrmEnterVal::done(int result) {
    QDialog::done(result);
    ReleaseTargets();
}

bool TfrmEnterVal::ApplyEnteredValue() {
    std::vector<TSetValueTarget> kinds;
    kinds.reserve(Targets_.size());
    for (const THitachiLocation* target : Targets_) kinds.push_back({target->VarType, Writable(*target)});
    const TEnteredValue entered =
        // What the lists show is accepted back, in any locale.
        ReadEnteredValue(edValue_->text().toStdString(), Format_, SetValueTargetType(kinds),
                         DisplayDecimalSeparator());
    if (!entered.Ok) {
        if (ShowErrorMessage) ShowErrorMessage(QString::fromStdString(entered.Message));
        return true;
    }
    const TDateTime now = Clock_ ? Clock_->Now() : 0;
    for (THitachiLocation* target : Targets_)
        if (Writable(*target))
            target->StoreForcedValue(ValueForTarget(entered.Value, target->IsDoubleWord), now);
    return false;
}

} // namespace dravon
