#include "ui/NumberEdit.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPalette>

#include <algorithm>
#include <limits>
#include <string_view>

namespace dravon {

TumEdit::TumEdit(QWidget* parent) : QLineEdit(parent) { SetColorDisabled(palette().color(QPalette::Window)); }

void TumEdit::SetColorDisabled(const QColor& color) {
    ColorDisabled_ = color;
    QPalette p = palette();
    p.setColor(QPalette::Disabled, QPalette::Base, color);
    p.setColor(QPalette::Disabled, QPalette::Text, QColor(Qt::gray));
    setPalette(p);
}

TumNumberEdit::TumNumberEdit(QWidget* parent) : TumEdit(parent) {
    connect(this, &QLineEdit::textChanged, this, &TumNumberEdit::OnTextChanged);
    setText("0");
}

QString TumNumberEdit::AllowedChars(TNumberBase base) {
    const std::string_view digits = AllowedDigits(base);
    return QString::fromLatin1(digits.data(), static_cast<qsizetype>(digits.size()));
}

QString TumNumberEdit::FormatValue(std::int32_t value) const {
    return QString::fromStdString(
        NumberToText(static_cast<std::uint32_t>(std::max<std::int32_t>(value, 0)), Base_));
}

void TumNumberEdit::OnTextChanged(const QString& text) {
    if (Restoring_) return;
    if (text.isEmpty()) {
        Value_ = 0;
        LastValidText_.clear();
        LastValidValue_ = 0;
        return;
    }
    const auto value = FieldValueOf(text.toStdString(), Base_, MaxValue_);
    if (!value) {
        Restoring_ = true;
        const bool modified = isModified(); // setText would forget the operator's earlier edits
        setText(LastValidText_);
        setModified(modified);
        setCursorPosition(std::min(CaretBeforeKey_, static_cast<int>(LastValidText_.size())));
        Restoring_ = false;
        Value_ = LastValidValue_;
        return;
    }
    Value_ = *value;
    LastValidText_ = text;
    LastValidValue_ = Value_;
}

void TumNumberEdit::SetValue(std::int32_t value) {
    const std::int32_t upper = MaxValue_ > 0 ? MaxValue_ : std::numeric_limits<std::int32_t>::max();
    value = std::clamp<std::int32_t>(value, 0, upper);
    CaretBeforeKey_ = cursorPosition();
    setText(FormatValue(value));
}

void TumNumberEdit::ShowStoredValue(std::uint32_t value) {
    const QString text = QString::fromStdString(NumberToText(value, Base_));
    if (text.size() > maxLength()) setMaxLength(static_cast<int>(text.size()));
    Restoring_ = true;
    setText(text);
    Restoring_ = false;
    Value_ = LastValidValue_ = static_cast<std::int32_t>(std::min<std::uint32_t>(value, 0x7FFFFFFFu));
    LastValidText_ = text;
}

void TumNumberEdit::SetMaxValue(std::int32_t maxValue) {
    MaxValue_ = std::max<std::int32_t>(maxValue, 0);
    if (MaxValue_ > 0 && Value_ > MaxValue_) SetValue(MaxValue_);
}

void TumNumberEdit::SetBase(TNumberBase base) {
    if (base == Base_) return;
    const std::int32_t value = Value_;
    Base_ = base;
    LastValidText_ = FormatValue(value);
    SetValue(value);
}

void TumNumberEdit::keyPressEvent(QKeyEvent* event) {
    CaretBeforeKey_ = cursorPosition();
    const QString typed = event->text();
    const bool isCharacter = !typed.isEmpty() && typed.at(0).isPrint();
    if (isCharacter && event->key() != Qt::Key_Backspace) {
        const QString allowed = AllowedChars(Base_);
        for (QChar c : typed)
            if (!allowed.contains(c)) {
                event->accept(); // dropped: it never reaches the text
                return;
            }
    }
    TumEdit::keyPressEvent(event);
}

void TumNumberEdit::mousePressEvent(QMouseEvent* event) {
    TumEdit::mousePressEvent(event);
    selectAll();
}

} // namespace dravon
