#include "KeyCommand.h"

#include "Cli.h"
#include "StationAccount.h"
#include "base/Clock.h"
#include "base/LinkKeyFile.h"
#include "base/StationLog.h"
#include "link/LinkKey.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QRegularExpression>

namespace Cli {

namespace {

const char *const Usage = "usage: tarvinex key show [--station-dir DIR]\n"
                          "       tarvinex key new [--keep-old DURATION] [--station-dir DIR]\n"
                          "DURATION is how long the replaced key stays valid: 7d, 36h, 90m";

// Two keys valid at once are two chances to guess; moving a chain's
// terminals over takes days or weeks, not years.
constexpr qint64 MaxKeepSeconds = qint64(366) * 24 * 3600;

bool readDuration(const QString &text, qint64 *seconds)
{
    static const QRegularExpression form(QStringLiteral("^([0-9]{1,6})([dhm])$"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return false;
    const char unit = match.captured(2).at(0).toLatin1();
    const qint64 scale = unit == 'd' ? 24 * 3600 : unit == 'h' ? 3600 : 60;
    *seconds = match.captured(1).toLongLong() * scale;
    return *seconds > 0 && *seconds <= MaxKeepSeconds;
}

QString keyId(const QByteArray &key)
{
    return QString::fromLatin1(Link::keyId(key));
}

QString utcText(const QDateTime &utc)
{
    return utc.toUTC().toString(Qt::ISODate);
}

// A running station read its keys when it started.
QString restartHint(const QString &stationDir)
{
    const QFileInfo dir(stationDir);
    const QString name
        = dir.path() == QLatin1String(ServiceStationDir) ? dir.fileName() : QStringLiteral("NAME");
    return QStringLiteral("動いているステーションは、再起動するまで前の鍵のままです"
                          "（systemctl restart tarvinex-serve@%1、または serve やウインドウを"
                          "起動し直す）")
        .arg(name);
}

// What show and new both take; their errors and --help give the key
// command's whole usage.
int parseKeyCommand(QCommandLineParser &parser,
                    const QString &command,
                    const QStringList &arguments)
{
    parser.addOption(stationDirOption());
    return parseOptionsOnly(parser, command, arguments, QString::fromLatin1(Usage));
}

// The station as its own account reads it, even one refused for listening
// without a key: a key is what it needs.
bool loadStation(const QCommandLineParser &parser,
                 const QStringList &commandLine,
                 Comm::Settings *settings,
                 StationChoice *choice)
{
    Comm::LoadOptions options;
    options.forKeyCommand = true;
    return StationAccount::actForCommand(parser, Process::Key, commandLine)
        && loadSettings(parser, Process::Key, settings, choice, nullptr, options);
}

int show(const QStringList &arguments)
{
    QCommandLineParser parser;
    if (const int status = parseKeyCommand(parser, QStringLiteral("key show"), arguments);
        status >= 0)
        return status;
    Comm::Settings settings;
    StationChoice choice;
    if (!loadStation(parser,
                     QStringList { QStringLiteral("key"), QStringLiteral("show") } + arguments,
                     &settings,
                     &choice))
        return 2;
    if (settings.linkKey.isEmpty()) {
        printLine(stderr,
                  QStringLiteral("tarvinex: このステーションにはリンク鍵がありません。"
                                 "tarvinex key new で作ってください"));
        return 1;
    }
    printLine(stdout,
              settings.linkKeyFile.isEmpty()
                  ? QStringLiteral("設定ファイル %1 の LINKKEY").arg(settings.settingsFile())
                  : QStringLiteral("鍵ファイル %1").arg(settings.linkKeyFile));
    printLine(stdout,
              QStringLiteral("リンク鍵（ID %1）: %2")
                  .arg(keyId(settings.linkKey), QString::fromUtf8(settings.linkKey)));
    for (const Comm::RetiredKey &retired : std::as_const(settings.retiredKeys))
        printLine(
            stdout,
            QStringLiteral("前の鍵（ID %1、%2 まで）: %3")
                .arg(keyId(retired.key), utcText(retired.until), QString::fromUtf8(retired.key)));
    return 0;
}

int makeNew(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption keepOld(
        QStringLiteral("keep-old"), QString(), QStringLiteral("DURATION"));
    parser.addOption(keepOld);
    if (const int status = parseKeyCommand(parser, QStringLiteral("key new"), arguments);
        status >= 0)
        return status;
    qint64 keepSeconds = 0;
    if (parser.isSet(keepOld) && !readDuration(parser.value(keepOld), &keepSeconds))
        return usageError(QStringLiteral("--keep-old: not a duration (7d, 36h, 90m; at most "
                                         "366d): %1")
                              .arg(parser.value(keepOld)),
                          QString::fromLatin1(Usage));
    Comm::Settings settings;
    StationChoice choice;
    if (!loadStation(parser,
                     QStringList { QStringLiteral("key"), QStringLiteral("new") } + arguments,
                     &settings,
                     &choice))
        return 2;
    const StationLayout layout = settings.layout();
    if (!settings.linkKey.isEmpty() && settings.linkKeyFile.isEmpty()) {
        printLine(stderr,
                  QStringLiteral("tarvinex: 設定ファイル %1 の LINKKEY の鍵は新しくできません。"
                                 "先に鍵を %2 に移し（chmod 600）、LINKKEY の行を消してください")
                      .arg(settings.settingsFile(), layout.linkKeyFile()));
        return 2;
    }

    const QString path
        = settings.linkKeyFile.isEmpty() ? layout.linkKeyFile() : settings.linkKeyFile;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    // Expired keys were left out when the file was read, so they go now.
    Comm::LinkKeys keys { Link::generateKey(), settings.retiredKeys };
    const QByteArray old = settings.linkKey;
    if (!old.isEmpty() && keepSeconds > 0)
        keys.retired.prepend({ old, now.addSecs(keepSeconds) });
    QString error;
    if (!Comm::writeLinkKeyFile(path, keys, &error)) {
        printLine(stderr, QStringLiteral("tarvinex: ") + error);
        return 1;
    }

    QString fate;
    if (old.isEmpty())
        fate = QStringLiteral("前の鍵はありません");
    else if (keepSeconds > 0)
        fate = QStringLiteral("前の鍵（ID %1）は %2 まで使えます")
                   .arg(keyId(old), utcText(keys.retired.first().until));
    else
        fate = QStringLiteral("前の鍵（ID %1）は残していません。ステーションを再起動すると"
                              "使えなくなります")
                   .arg(keyId(old));
    for (const QString &line : newKeyLines(keys.current, path, settings.stationDir))
        printLine(stdout, line);
    printLine(stdout, fate);
    if (!old.isEmpty() && keepSeconds == 0)
        printLine(stdout,
                  QStringLiteral("端末を一台ずつ移すあいだ前の鍵も使えるようにするには、"
                                 "--keep-old 7d のようにしてください"));
    printLine(stdout, restartHint(settings.stationDir));
    SystemClock clock;
    stationLog(settings, clock, Process::Key)
        .write(
            QStringLiteral("リンク鍵を新しくしました（ID %1）。%2").arg(keyId(keys.current), fate));
    return 0;
}

} // namespace

int key(const QStringList &arguments)
{
    const QString command = arguments.value(0);
    if (command == QLatin1String("show"))
        return show(arguments.mid(1));
    if (command == QLatin1String("new"))
        return makeNew(arguments.mid(1));
    QCommandLineParser parser;
    const QString usage = QString::fromLatin1(Usage);
    if (const int status = parseCommand(parser, QStringLiteral("key"), arguments, usage);
        status >= 0)
        return status;
    if (parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("key needs a command: show or new"), usage);
    return usageError(
        QStringLiteral("unknown key command '%1'").arg(parser.positionalArguments().first()),
        usage);
}

QStringList newKeyLines(const QByteArray &key, const QString &keyFile, const QString &stationDir)
{
    return { QStringLiteral("新しいリンク鍵（ID %1）: %2").arg(keyId(key), QString::fromUtf8(key)),
             QStringLiteral("この鍵を各端末に渡してください（tarvinex-terminal なら --key-file "
                            "で鍵のファイルを渡します）。鍵は %1 にあり、tarvinex key show "
                            "--station-dir %2 でもう一度表示できます")
                 .arg(keyFile, stationDir) };
}

QStringList givenKeyLines(const QByteArray &key, const QString &from, const QString &keyFile)
{
    return { QStringLiteral("%1 のリンク鍵（ID %2）を %3 に書きました。端末はその鍵のまま使えます")
                 .arg(from, keyId(key), keyFile) };
}

} // namespace Cli
