// Owner of a QObject that is released with deleteLater(): a component freed from inside
// one of its own signal handlers must outlive that handler.
#pragma once

#include <QObject>
#include <memory>

namespace dravon {

struct TQtDeleteLater {
    void operator()(QObject* object) const {
        if (!object) return;
        object->disconnect();
        object->deleteLater();
    }
};

template <typename T>
using TQtOwned = std::unique_ptr<T, TQtDeleteLater>;

} // namespace dravon
