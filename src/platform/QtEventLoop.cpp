#include "platform/QtEventLoop.h"

#include <QCoreApplication>
#include <QMetaObject>

namespace dravon {

void TQtEventLoop::Post(std::function<void()> work) {
    QMetaObject::invokeMethod(
        &Context_, [work = std::move(work)] { work(); }, Qt::QueuedConnection);
}

void TQtEventLoop::ProcessPendingEvents() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

} // namespace dravon
