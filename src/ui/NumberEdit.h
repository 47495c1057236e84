// Edit controls of the dialogs. TumEdit paints its own background while disabled;
// TumNumberEdit only ever holds a number in its base that fits its maximum.
#pragma once

#include "ui/NumberText.h"

#include <QColor>
#include <QLineEdit>
#include <QString>

#include <cstdint>

namespace dravon {

class TumEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit TumEdit(QWidget* parent = nullptr);

    // Background while disabled (default: the window colour); the text goes grey.
    QColor ColorDisabled() const { return ColorDisabled_; }
    void SetColorDisabled(const QColor& color);

private:
    QColor ColorDisabled_;
};

class TumNumberEdit : public TumEdit {
    Q_OBJECT
public:
    explicit TumNumberEdit(QWidget* parent = nullptr);

    std::int32_t Value() const { return Value_; }
    // Clamped to 0 .. MaxValue and written in the base.
    void SetValue(std::int32_t value);
    // A stored value shown as it is, also beyond the limits that typing has; the field
    // counts as unmodified until the operator changes it (isModified()).
    void ShowStoredValue(std::uint32_t value);
    // 0: no maximum. Lowering it below Value lowers Value.
    std::int32_t MaxValue() const { return MaxValue_; }
    void SetMaxValue(std::int32_t maxValue);
    TNumberBase Base() const { return Base_; }
    void SetBase(TNumberBase base);
    // "0123456789", "0123456789abcdefABCDEF", "01" or "01234567".
    static QString AllowedChars(TNumberBase base);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    void OnTextChanged(const QString& text);
    QString FormatValue(std::int32_t value) const;

    std::int32_t Value_ = 0;
    std::int32_t MaxValue_ = 0;
    TNumberBase Base_ = TNumberBase::Decimal;
    QString LastValidText_;
    std::int32_t LastValidValue_ = 0;
    int CaretBeforeKey_ = 0;
    bool Restoring_ = false;
};

} // namespace dravon
