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
        // sockaddr_un holds 108 bytes; the channel's own name takes 48 of them.
        if (QFile::encodeName(dir).size() <= 56) result.InstanceDirectory = dir.toStdString();
    } else {
        QString appDir = QCoreApplication::applicationDirPath();
        if (!WritableDirectory(appDir)) {
            appDir = DataDirectory();
            QDir().mkpath(appDir);
        }
        result.ApplicationDirectory = WithSlash(appDir).toStdString();
        QString machineDir = EnvPath("DRAVON_MACHINE_DIR");
        if (machineDir.isEmpty()) machineDir = "/var/lib/dravon";
        // Read also when it cannot be written: the machine's PLCs are everyone's.
        result.MachineStoreFile =
            ((QFileInfo(machineDir).isDir() ? QDir(machineDir).absolutePath() : DataDirectory()) +
             "/machine.store")
                .toStdString();
        result.UserStoreFile = (ConfigDirectory() + "/user.store").toStdString();
    }
    // What the instance owns are its store files; the program's own folder does not matter.
    const QByteArray scope = QFile::encodeName(QString::fromStdString(result.MachineStoreFile)) + '\n' +
                             QFile::encodeName(QString::fromStdString(result.UserStoreFile));
    result.InstanceScope =
        QString::fromLatin1(QCryptographicHash::hash(scope, QCryptographicHash::Sha1).toHex().left(16))
            .toStdString();
    return result;
}

} // namespace dravon
