#include "platform/AppLocations.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <unistd.h>

namespace dravon {

namespace {

QString WithSlash(QString dir) {
    if (!dir.endsWith('/')) dir += '/';
    return dir;
}

bool WritableDirectory(const QString& dir) {
    QFileInfo info(dir);
    return info.isDir() && ::access(QFile::encodeName(dir).constData(), W_OK) == 0;
}

QString EnvPath(const char* name) {
    return qEnvironmentVariableIsEmpty(name) ? QString() : qEnvironmentVariable(name);
}

QString DataDirectory() {
    QString base = EnvPath("XDG_DATA_HOME");
    if (base.isEmpty()) base = QDir::homePath() + "/.local/share";
    return base + "/dravon";
}

QString ConfigDirectory() {
    QString base = EnvPath("XDG_CONFIG_HOME");
    if (base.isEmpty()) base = QDir::homePath() + "/.config";
    return base + "/dravon";
}

} // namespace

TAppLocations TAppLocations::FromEnvironment() {
    TAppLocations result;
    const QString home = EnvPath("DRAVON_HOME");
    if (!home.isEmpty()) {
        const QString dir = QDir(home).absolutePath();
        QDir().mkpath(dir);
        result.ApplicationDirectory = WithSlash(dir).toStdString();
        result.MachineStoreFile = (dir + "/machine.store").toStdString();
        result.UserStoreFile = (dir + "/user.store").toStdString();
    } else {
        QString appDir = QCoreApplication::applicationDirPath();
        if (!WritableDirectory(appDir)) {
            appDir = DataDirectory();
            QDir().mkpath(appDir);
        }
        result.ApplicationDirectory = WithSlash(appDir).toStdString();
        const QString machineDir = "/var/lib/dravon";
        result.MachineStoreFile =
            ((WritableDirectory(machineDir) ? machineDir : DataDirectory()) + "/machine.store").toStdString();
        result.UserStoreFile = (ConfigDirectory() + "/user.store").toStdString();
    }
    const QByteArray scope = QByteArray::number(static_cast<qulonglong>(::getuid())) + ':' +
                             QFile::encodeName(QString::fromStdString(result.ApplicationDirectory));
    result.InstanceScope =
        QString::fromLatin1(QCryptographicHash::hash(scope, QCryptographicHash::Sha1).toHex().left(16))
            .toStdString();
    return result;
}

} // namespace dravon
