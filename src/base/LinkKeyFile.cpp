#include "LinkKeyFile.h"

#include "Comm.h"

#include <QFile>
#include <QFileInfo>

namespace Comm {

namespace {

// Longer than any key typed into a terminal; a file of another kind (a
// device, a log) named by mistake is refused rather than read whole.
constexpr qint64 MaxKeyBytes = 4096;

constexpr QFileDevice::Permissions OthersMayTouch = QFileDevice::ReadGroup | QFileDevice::WriteGroup
    | QFileDevice::ReadOther | QFileDevice::WriteOther;

// A dangling link is a key file too: one that cannot be read.
bool present(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

bool readKeyFile(const QString &path, Settings *settings, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("鍵ファイル %1 を開けません（%2）").arg(path, file.errorString());
        return false;
    }
    QByteArray key = file.read(MaxKeyBytes + 1);
    if (file.error() != QFileDevice::NoError) {
        *error = QStringLiteral("鍵ファイル %1 を読めません（%2）").arg(path, file.errorString());
        return false;
    }
    // The key is the first line as written, spaces and all: only its line
    // end goes.
    for (const char end : { '\n', '\r' }) {
        if (const qsizetype at = key.indexOf(end); at >= 0)
            key.truncate(at);
    }
    if (key.trimmed().isEmpty()) {
        *error = QStringLiteral("鍵ファイル %1 に鍵がありません（1 行目が空です）").arg(path);
        return false;
    }
    if (key.size() > MaxKeyBytes) {
        *error = QStringLiteral("鍵ファイル %1 の鍵が長すぎます（%2 バイトまで）")
                     .arg(path)
                     .arg(MaxKeyBytes);
        return false;
    }
    if (file.permissions() & OthersMayTouch)
        settings->warnings.append(
            QStringLiteral(
                "鍵ファイル %1 は他のアカウントも読み書きできます。chmod 600 %1 としてください")
                .arg(path));
    settings->linkKey = key;
    settings->linkKeyFile = path;
    return true;
}

} // namespace

bool loadLinkKey(Settings *settings, QString *error)
{
    const StationLayout layout = settings->layout();
    QString keyFile = settings->linkKeyFile;
    if (keyFile.isEmpty() && present(layout.linkKeyFile()))
        keyFile = layout.linkKeyFile();
    if (settings->linkKey.isEmpty())
        return keyFile.isEmpty() || readKeyFile(keyFile, settings, error);

    // One key, one home: two could differ, and which one the terminals must
    // answer would depend on the order they were read in.
    const QString settingsFile = settings->settingsFile();
    if (!keyFile.isEmpty()) {
        *error = QStringLiteral("設定ファイル %1 の LINKKEY と鍵ファイル %2 の両方に鍵があります。"
                                "鍵は %2 だけに置き、LINKKEY の行を消してください")
                     .arg(settingsFile, keyFile);
        return false;
    }
    if (QFile::permissions(settingsFile) & QFileDevice::ReadOther)
        settings->warnings.append(
            QStringLiteral("設定ファイル %1 の LINKKEY は他のアカウントも読めます。"
                           "鍵を %2 に移し（chmod 600）、LINKKEY の行を消してください")
                .arg(settingsFile, layout.linkKeyFile()));
    return true;
}

} // namespace Comm
