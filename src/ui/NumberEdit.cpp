#include "ui/NumberEdit.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPalette>

#include <algorithm>
#include <limits>

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
    switch (base) {
    case TNumberBase::Hexadecimal: return "0123456789abcdefABCDEF";
    case TNumberBase::Binary: return "01";
    case TNumberBase::Octal: return "01234567";
    default: return "0123456789";
    }
}

bool TumNumberEdit::ReadNumber(const QString& text, TNumberBase base, std::int64_t& value) {
    if (text.isEmpty()) return false;
    const int radix = base == TNumberBase::Hexadecimal ? 16 : base == TNumberBase::Binary ? 2 : base == TNumberBase::Octal ? 8 : 10;
    const QString allowed = AllowedChars(base);
    std::int64_t result = 0;
    for (QChar c : text) {
        if (!allowed.contains(c)) return false;
        const int digit = c.isDigit() ? c.digitValue() : c.toLower().unicode() - 'a' + 10;
        result = result * radix + digit;
        // Beyond any 32-bit value: no need to read further, and no overflow either.
        if (result > std::numeric_limits<std::uint32_t>::max()) return false;
    }
    value = result;
    return true;
}

QString TumNumberEdit::FormatValue(std::int32_t value) const {
    switch (Base_) {
    case TNumberBase::Hexadecimal: return QString::number(value, 16).toUpper();
    case TNumberBase::Binary: return QString::number(value, 2);
    case TNumberBase::Octal: return QString::number(value, 8);
    default: return QString::number(value);
    }
}

bool TumNumberEdit::IsValidText(const QString& text, std::int64_t& value) const {
    if (!ReadNumber(text, Base_, value)) return false;
    if (value > std::numeric_limits<std::int32_t>::max()) return false;
    if (MaxValue_ <= 0) return true;
    if (value > MaxValue_) return false;
    // Leading zeros must not make a text longer than the largest value it may hold.
    const QString maxText = FormatValue(MaxValue_);
    if (text.size() > maxText.size()) return false;
    return text.size() < maxText.size() || text.toUpper() <= maxText.toUpper();
}

void TumNumberEdit::OnTextChanged(const QString& text) {
    if (Restoring_) return;
    if (text.isEmpty()) {
        Value_ = 0;
        LastValidText_.clear();
        LastValidValue_ = 0;
        return;
    }
    std::int64_t value = 0;
    if (!IsValidText(text, value)) {
        Restoring_ = true;
        setText(LastValidText_);
        setCursorPosition(std::min(CaretBeforeKey_, static_cast<int>(LastValidText_.size())));
        Restoring_ = false;
        Value_ = LastValidValue_;
        return;
    }
    Value_ = static_cast<std::int32_t>(value);
    LastValidText_ = text;
    LastValidValue_ = Value_;
}

void TumNumberEdit::SetValue(std::int32_t value) {
    const std::int32_t upper = MaxValue_ > 0 ? MaxValue_ : std::numeric_limits<std::int32_t>::max();
    value = std::clamp<std::int32_t>(value, 0, upper);
    CaretBeforeKey_ = cursorPosition();
    setText(FormatValue(value));
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
