#include "platform/QtHostResolver.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QMetaObject>

namespace dravon {

void TQtHostResolver::LookupHost(const std::string& name,
                                 std::function<void(const std::string& address)> done) {
    if (name.empty()) {
        QMetaObject::invokeMethod(
            &Context_, [done = std::move(done)] { done({}); }, Qt::QueuedConnection);
        return;
    }
    QHostInfo::lookupHost(QString::fromStdString(name), &Context_,
                          [done = std::move(done)](const QHostInfo& info) {
                              std::string last;
                              if (info.error() == QHostInfo::NoError) {
                                  for (const QHostAddress& address : info.addresses()) {
                                      bool isV4 = false;
                                      quint32 v4 = address.toIPv4Address(&isV4);
                                      if (isV4) last = QHostAddress(v4).toString().toStdString();
                                  }
                              }
                              done(last);
                          });
}

} // namespace dravon
