// Owner of a QObject that is released with deleteLater(): a component freed from inside
// one of its own signal handlers must outlive that handler, and none of its queued
// handlers may run once its owner is gone.
#pragma once

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <memory>

namespace dravon {

struct TQtDeleteLater {
    void operator()(QObject* object) const {
        if (!object) return;
        object->disconnect();
        // Queued handlers already posted capture the component that is going away.
        QCoreApplication::removePostedEvents(object, QEvent::MetaCall);
        object->deleteLater();
    }
};

template <typename T> using TQtOwned = std::unique_ptr<T, TQtDeleteLater>;

} // namespace dravon
