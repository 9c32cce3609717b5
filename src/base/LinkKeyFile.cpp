#include "LinkKeyFile.h"

#include "AccessModel.h"
#include "SafeFile.h"

#include <QFile>
#include <QFileInfo>

namespace Comm {

namespace {

// Longer than any key typed into a terminal; a file of another kind (a
// device, a log) named by mistake is refused rather than read whole.
constexpr qint64 MaxKeyBytes = 4096;
// A key in use and a handful retired.
constexpr qint64 MaxFileBytes = 16 * MaxKeyBytes;

constexpr QFileDevice::Permissions OthersMayTouch = QFileDevice::ReadGroup | QFileDevice::WriteGroup
    | QFileDevice::ReadOther | QFileDevice::WriteOther;

const QByteArray RetiredWord = QByteArrayLiteral("retired");

// A dangling link is a key file too: one that cannot be read.
bool present(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// Lines ended by LF, CR LF or a lone CR, as the settings are.
QList<QByteArray> splitLines(const QByteArray &bytes)
{
    QList<QByteArray> lines;
    qsizetype start = 0;
    for (qsizetype at = 0; at < bytes.size(); ++at) {
        const char c = bytes.at(at);
        if (c != '\n' && c != '\r')
            continue;
        lines.append(bytes.mid(start, at - start));
        if (c == '\r' && at + 1 < bytes.size() && bytes.at(at + 1) == '\n')
            ++at;
        start = at + 1;
    }
    if (start < bytes.size() || lines.isEmpty())
        lines.append(bytes.mid(start));
    return lines;
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

// "retired TIME KEY"; the key runs to the end of the line as written.
bool readRetired(const QByteArray &line, RetiredKey *retired)
{
    if (!line.startsWith(RetiredWord) || line.size() == RetiredWord.size()
        || !isBlank(line.at(RetiredWord.size())))
        return false;
    qsizetype at = RetiredWord.size();
    while (at < line.size() && isBlank(line.at(at)))
        ++at;
    const qsizetype timeEnd = [&] {
        qsizetype end = at;
        while (end < line.size() && !isBlank(line.at(end)))
            ++end;
        return end;
    }();
    // Without its zone a time means another instant on every machine.
    const QDateTime until
        = QDateTime::fromString(QString::fromLatin1(line.mid(at, timeEnd - at)), Qt::ISODate);
    if (!until.isValid() || until.timeSpec() == Qt::LocalTime)
        return false;
    at = timeEnd;
    while (at < line.size() && isBlank(line.at(at)))
        ++at;
    retired->key = line.mid(at);
    retired->until = until.toUTC();
    return !retired->key.trimmed().isEmpty() && retired->key.size() <= MaxKeyBytes;
}

} // namespace

bool readLinkKeyFile(const QString &path, const QDateTime &now, LinkKeys *keys, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("鍵ファイル %1 を開けません（%2）").arg(path, file.errorString());
        return false;
    }
    const QByteArray bytes = file.read(MaxFileBytes + 1);
    if (file.error() != QFileDevice::NoError) {
        *error = QStringLiteral("鍵ファイル %1 を読めません（%2）").arg(path, file.errorString());
        return false;
    }
    const QList<QByteArray> lines = splitLines(bytes);
    const QByteArray &key = lines.first();
    if (key.trimmed().isEmpty()) {
        *error = QStringLiteral("鍵ファイル %1 に鍵がありません（1 行目が空です）").arg(path);
        return false;
    }
    if (key.size() > MaxKeyBytes || bytes.size() > MaxFileBytes) {
        *error = QStringLiteral("鍵ファイル %1 が長すぎます（鍵は %2 バイトまで）")
                     .arg(path)
                     .arg(MaxKeyBytes);
        return false;
    }
    *keys = LinkKeys { key, {} };
    for (qsizetype i = 1; i < lines.size(); ++i) {
        if (lines.at(i).trimmed().isEmpty())
            continue;
        // The line is not repeated in the message: it holds a key.
        RetiredKey retired;
        if (!readRetired(lines.at(i), &retired)) {
            *error = QStringLiteral("鍵ファイル %1 の %2 行目が読めません。2 行目からは"
                                    "「retired 終わりの時刻 鍵」の形です"
                                    "（retired 2026-12-16T09:00:00Z ABCD-EFGH-…）")
                         .arg(path)
                         .arg(i + 1);
            return false;
        }
        if (retired.until > now)
            keys->retired.append(retired);
    }
    return true;
}

QByteArray linkKeyFileText(const LinkKeys &keys)
{
    QByteArray text = keys.current + '\n';
    for (const RetiredKey &retired : keys.retired)
        text += RetiredWord + ' ' + retired.until.toUTC().toString(Qt::ISODate).toLatin1() + ' '
            + retired.key + '\n';
    return text;
}

bool writeLinkKeyFile(const QString &path, const LinkKeys &keys, QString *error)
{
    SafeFile::Replacement file(path, AccessModel::SecretMode);
    if (file.open() && file.write(linkKeyFileText(keys)) && file.commit())
        return true;
    *error = QStringLiteral("鍵ファイル %1 を書けません（%2）").arg(path, file.error());
    return false;
}

bool loadLinkKey(Settings *settings, const QDateTime &now, QString *error, bool missingIsNoKey)
{
    const StationLayout layout = settings->layout();
    QString keyFile = settings->linkKeyFile;
    if (keyFile.isEmpty() && present(layout.linkKeyFile()))
        keyFile = layout.linkKeyFile();
    if (settings->linkKey.isEmpty()) {
        if (keyFile.isEmpty() || (missingIsNoKey && !present(keyFile)))
            return true;
        LinkKeys keys;
        if (!readLinkKeyFile(keyFile, now, &keys, error))
            return false;
        if (QFile::permissions(keyFile) & OthersMayTouch)
            settings->warnings.append(
                QStringLiteral(
                    "鍵ファイル %1 は他のアカウントも読み書きできます。chmod 600 %1 としてください")
                    .arg(keyFile));
        settings->linkKey = keys.current;
        settings->retiredKeys = keys.retired;
        settings->linkKeyFile = keyFile;
        return true;
    }

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
