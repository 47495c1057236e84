// Tool tips of the whole application stay up for a fixed time (Qt's own default hides
// long hints after about ten seconds), so the long hints of the dialogs can be read.
#pragma once

#include <QApplication>
#include <QHelpEvent>
#include <QObject>
#include <QRect>
#include <QToolTip>
#include <QWidget>

namespace dravon {

class TToolTipDelay : public QObject {
public:
    TToolTipDelay(int hideDelayMs, QObject* parent) : QObject(parent), HideDelayMs_(hideDelayMs) {
        if (qApp) qApp->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::ToolTip || !watched->isWidgetType()) return false;
        auto* widget = static_cast<QWidget*>(watched);
        if (widget->toolTip().isEmpty()) return false; // the parent may have one
        const auto* help = static_cast<QHelpEvent*>(event);
        QToolTip::showText(help->globalPos(), widget->toolTip(), widget, QRect(), HideDelayMs_);
        return true;
    }

private:
    int HideDelayMs_;
};

} // namespace dravon
