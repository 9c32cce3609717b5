#include "Comm.h"

#include "LinkExposure.h"
#include "LinkKeyFile.h"
#include "SettingsParser.h"
#include "TextFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace Comm {

bool checkSettings(const Settings &settings, QString *error)
{
    const QString file = settings.settingsFile();
    const auto missing = [&](const char *key) {
        *error = QStringLiteral("設定ファイル %1 に %2 がありません").arg(file, QLatin1String(key));
        for (const Lookalike &lookalike : settings.lookalikes) {
            if (lookalike.meant == QLatin1String(key)) {
                *error += QStringLiteral("（%1 行目の %2 は %3 のつもりですか）")
                              .arg(lookalike.line)
                              .arg(lookalike.written, lookalike.meant);
                return false;
            }
        }
        return false;
    };
    if (settings.DbPath.isEmpty())
        return missing("DBname");
    if (settings.DataRoot.isEmpty())
        return missing("DATA");
    if (!QFileInfo(settings.DataRoot).isDir()) {
        *error = QStringLiteral("設定ファイル %1: DATA のフォルダ %2 がありません")
                     .arg(file, settings.DataRoot);
        return false;
    }
    return true;
}

bool LoadSettings(const QString &stationDir,
                  Settings *settings,
                  QString *error,
                  const LoadOptions &options)
{
    *settings = Settings();
    // Absolute, so that every path the station shows or logs names its place.
    settings->stationDir = QDir::cleanPath(QDir(stationDir).absolutePath());
    const QString path = settings->settingsFile();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("設定ファイル %1 を開けません（%2）").arg(path, file.errorString());
        return false;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        *error = QStringLiteral("設定ファイル %1 を読めません（%2）").arg(path, file.errorString());
        return false;
    }
    const QString text = Cp932::decode(bytes);
    // A path read wrongly would send the station to another database or
    // folder: bytes that are not CP932 refuse the file.
    if (const qsizetype line = TextFile::firstUndecodableLine(TextFile::splitLines(text))) {
        *error = QStringLiteral("設定ファイル %1 の %2 行目を読めません（%3）")
                     .arg(path)
                     .arg(line)
                     .arg(TextFile::undecodableCause());
        return false;
    }
    QString problem;
    if (!parseSettings(text, settings, &problem)) {
        *error = QStringLiteral("設定ファイル %1 の %2").arg(path, problem);
        return false;
    }
    for (QString &warning : settings->warnings)
        warning = QStringLiteral("設定ファイル %1 の %2").arg(path, warning);
    if (!options.listen.isEmpty())
        settings->listen = options.listen;
    // Retired keys are read as of now: one whose time has passed is gone
    // from the start.
    if (!loadLinkKey(settings, QDateTime::currentDateTimeUtc(), error, options.forKeyCommand))
        return false;
    if (!options.forKeyCommand && !checkExposure(*settings, error))
        return false;
    settings->warnings += exposureWarnings(*settings);
    return true;
}

bool readPort(const QString &text, quint16 *port)
{
    bool ok = false;
    const uint number = text.toUInt(&ok);
    if (!ok || number == 0 || number > 65535)
        return false;
    *port = quint16(number);
    return true;
}

QString ZeroPad(int width, const QString &value)
{
    return value.rightJustified(width, u'0');
}

QString ZeroPad(int width, qint64 value)
{
    return ZeroPad(width, QString::number(value));
}

QString terminalId(int terminalNumber)
{
    return ZeroPad(4, terminalNumber);
}

bool isServerUri(const QString &location)
{
    return location.startsWith(QLatin1String("postgresql://"))
        || location.startsWith(QLatin1String("postgres://"));
}

QString uriSchemeHint(const QString &location)
{
    const qsizetype scheme = location.indexOf(QLatin1String("://"));
    if (scheme <= 0 || isServerUri(location))
        return QString();
    // Only the scheme is shown: the rest may hold a password.
    return QStringLiteral("%1:// で始まる URI は使えません。PostgreSQL のサーバは postgresql:// "
                          "または postgres:// で始めてください")
        .arg(location.left(scheme));
}

} // namespace Comm
