#include "StatusCommand.h"

#include "Cli.h"
#include "StationLock.h"
#include "StationState.h"
#include "base/FreeSpace.h"
#include "masters/FileLookup.h"
#include "masters/MasterDefinitions.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStorageInfo>
#include <algorithm>

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace StationStatus {

namespace {

QJsonArray fileNames(const QString &folder)
{
    QJsonArray names;
    for (const QString &name :
         QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name))
        if (!name.endsWith(QLatin1String(".part")))
            names.append(name);
    return names;
}

QJsonObject holderRecord(const QString &lockFile)
{
    const StationLock::Record record = StationLock::readRecord(lockFile);
    return { { QStringLiteral("pid"), record.pid },
             { QStringLiteral("application"), record.application },
             { QStringLiteral("host"), record.host },
             { QStringLiteral("since"), record.since } };
}

} // namespace

qint64 flockHolder(const QString &lockFile)
{
    struct stat info = {};
    if (::stat(QFile::encodeName(lockFile).constData(), &info) != 0)
        return 0;
    QFile table(QStringLiteral("/proc/locks"));
    if (!table.open(QIODevice::ReadOnly | QIODevice::Text))
        return -1;
    // "1: FLOCK  ADVISORY  WRITE 4711 fe:01:1234 0 EOF"; waiters are "1: -> FLOCK ...".
    const QByteArray device = QByteArray::number(major(info.st_dev), 16).rightJustified(2, '0')
        + ':' + QByteArray::number(minor(info.st_dev), 16).rightJustified(2, '0') + ':'
        + QByteArray::number(qulonglong(info.st_ino));
    // Where the kernel's device differs from the one stat gives (a btrfs
    // subvolume), the inode and the PID the holder recorded still tell it.
    const QByteArray inode = ':' + QByteArray::number(qulonglong(info.st_ino));
    const QByteArray recorded = QByteArray::number(StationLock::readRecord(lockFile).pid);
    const QList<QByteArray> lines = table.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 6 || fields.at(1) != "FLOCK")
            continue;
        if (fields.at(5) == device || (fields.at(5).endsWith(inode) && fields.at(4) == recorded))
            return fields.at(4).toLongLong();
    }
    return 0;
}

Report gather(const Comm::Settings &settings, const QDateTime &now)
{
    Report report;
    const StationLayout layout = settings.layout();
    QJsonObject &json = report.json;
    json.insert(QStringLiteral("version"), StationState::Version);
    json.insert(QStringLiteral("station"), settings.stationDir);

    const qint64 holder = flockHolder(layout.stationLockFile());
    const QJsonObject run = StationState::read(StationState::runFile(layout));
    QJsonObject station { { QStringLiteral("running"), holder > 0 } };
    if (holder < 0)
        station.insert(QStringLiteral("problem"), QStringLiteral("/proc/locks cannot be read"));
    if (holder > 0) {
        const QJsonObject record = holderRecord(layout.stationLockFile());
        for (auto it = record.begin(); it != record.end(); ++it)
            station.insert(it.key(), it.value());
        station.insert(QStringLiteral("pid"), holder);
        // Only what the holder itself wrote describes its link.
        if (run.value(QLatin1String("pid")).toInteger() == holder) {
            station.insert(QStringLiteral("listening"), run.value(QLatin1String("listening")));
            station.insert(QStringLiteral("port"), run.value(QLatin1String("port")));
            station.insert(QStringLiteral("link"), run.value(QLatin1String("link")));
        }
    }
    json.insert(QStringLiteral("station_process"), station);
    json.insert(QStringLiteral("sessions"), run.value(QLatin1String("terminals")).toObject());

    QJsonArray filedToday;
    for (const QJsonValue &entry : run.value(QLatin1String("filed")).toArray())
        if (QDateTime::fromString(entry[QLatin1String("time")].toString(), Qt::ISODate).date()
            == now.date())
            filedToday.append(entry);
    json.insert(QStringLiteral("filed_today"), filedToday);

    QJsonObject kept;
    QJsonObject waiting;
    for (int terminal = StationLayout::FirstTerminal; terminal <= StationLayout::LastTerminal;
         ++terminal) {
        const QString id = Comm::terminalId(terminal);
        if (const QJsonArray names = fileNames(layout.keptFolder(terminal)); !names.isEmpty())
            kept.insert(id, names);
        const QString folder = layout.receiveFolder(id);
        const QStringList entries = FileLookup::entries(folder);
        QJsonArray masters;
        for (const Masters::Definition &master : Masters::all()) {
            const FileLookup::Match match = FileLookup::ignoringCase(
                folder, entries, StationLayout::masterFileName(master.name));
            if (!match.path.isEmpty())
                masters.append(QFileInfo(match.path).fileName());
        }
        if (!masters.isEmpty())
            waiting.insert(id, masters);
    }
    const QJsonArray unfiled = fileNames(layout.unfiledFolder());
    json.insert(QStringLiteral("kept"), kept);
    json.insert(QStringLiteral("unfiled"), unfiled);
    json.insert(QStringLiteral("masters_waiting"), waiting);

    const QJsonObject appliesFile = StationState::read(StationState::appliesFile(layout));
    const QJsonObject applies = appliesFile.value(QLatin1String("applies")).toObject();
    QJsonArray attention;
    if (!unfiled.isEmpty())
        attention.append(QStringLiteral("unfiled files"));
    for (auto it = applies.begin(); it != applies.end(); ++it)
        if (it.value()[QLatin1String("outcome")].toString() == QLatin1String("failed"))
            attention.append(QStringLiteral("failed apply: ") + it.key());
    json.insert(QStringLiteral("applies"), applies);

    const QString shortage = FreeSpaceFloor(settings).shortage();
    json.insert(QStringLiteral("free_space"),
                QJsonObject { { QStringLiteral("available"),
                                QStorageInfo(settings.stationDir).bytesAvailable() },
                              { QStringLiteral("floor"), settings.minFree },
                              { QStringLiteral("shortage"), shortage } });
    json.insert(QStringLiteral("errors"), run.value(QLatin1String("errors")).toArray());
    // The station's starts and the commands' starts, one story in time order.
    QList<QJsonValue> made;
    for (const QJsonObject &from : { run, appliesFile })
        for (const QJsonValue &entry : from.value(QLatin1String("made")).toArray())
            made.append(entry);
    std::stable_sort(made.begin(), made.end(), [](const QJsonValue &a, const QJsonValue &b) {
        return a[QLatin1String("time")].toString() < b[QLatin1String("time")].toString();
    });
    QJsonArray lastMade;
    for (const QJsonValue &entry : made.mid(qMax(0, made.size() - StationState::MaxMade)))
        lastMade.append(entry);
    json.insert(QStringLiteral("made"), lastMade);

    if (!shortage.isEmpty())
        attention.append(QStringLiteral("free space below the floor"));
    json.insert(QStringLiteral("attention"), attention);
    if (holder <= 0)
        report.exitStatus = NotRunning;
    else if (!attention.isEmpty())
        report.exitStatus = NeedsAttention;
    json.insert(QStringLiteral("exit_status"), report.exitStatus);
    return report;
}

QString text(const QJsonObject &json)
{
    QStringList lines;
    const QJsonObject station = json.value(QLatin1String("station_process")).toObject();
    if (station.value(QLatin1String("running")).toBool()) {
        lines << QStringLiteral("station: running, %1 PID %2 on %3 since %4")
                     .arg(station.value(QLatin1String("application")).toString())
                     .arg(station.value(QLatin1String("pid")).toInteger())
                     .arg(station.value(QLatin1String("host")).toString(),
                          station.value(QLatin1String("since")).toString());
        if (station.value(QLatin1String("listening")).toBool())
            lines << QStringLiteral("listening: port %1; %2")
                         .arg(station.value(QLatin1String("port")).toInt())
                         .arg(station.value(QLatin1String("link")).toString());
        else
            lines << QStringLiteral("listening: no");
    } else {
        lines << QStringLiteral("station: not running")
                + (station.contains(QLatin1String("problem")) ? QStringLiteral(" (%1)").arg(
                       station.value(QLatin1String("problem")).toString())
                                                              : QString());
    }
    const QJsonObject sessions = json.value(QLatin1String("sessions")).toObject();
    for (auto it = sessions.begin(); it != sessions.end(); ++it) {
        const QJsonObject s = it.value().toObject();
        lines << QStringLiteral("terminal %1: last session %2, %3 files, %4%5")
                     .arg(it.key(), s.value(QLatin1String("time")).toString())
                     .arg(s.value(QLatin1String("files")).toInt())
                     .arg(s.value(QLatin1String("outcome")).toString(),
                          s.value(QLatin1String("outcome")).toString() == QLatin1String("ok")
                              ? QString()
                              : QStringLiteral(" (%1)").arg(
                                  s.value(QLatin1String("note")).toString()));
    }
    const QJsonArray filed = json.value(QLatin1String("filed_today")).toArray();
    lines << QStringLiteral("filed today: %1").arg(filed.size());
    for (const QJsonValue &f : filed)
        lines << QStringLiteral("  %1 terminal %2 %3 (%4)")
                     .arg(f[QLatin1String("time")].toString(),
                          f[QLatin1String("terminal")].toString(),
                          f[QLatin1String("name")].toString(),
                          f[QLatin1String("where")].toString());
    const auto listed = [&lines](const QString &title, const QJsonObject &perTerminal) {
        for (auto it = perTerminal.begin(); it != perTerminal.end(); ++it) {
            QStringList names;
            for (const QJsonValue &name : it.value().toArray())
                names << name.toString();
            lines << QStringLiteral("%1 %2: %3").arg(title, it.key(), names.join(u' '));
        }
    };
    listed(QStringLiteral("kept aside, terminal"), json.value(QLatin1String("kept")).toObject());
    for (const QJsonValue &name : json.value(QLatin1String("unfiled")).toArray())
        lines << QStringLiteral("unfiled: ") + name.toString();
    listed(QStringLiteral("master waiting, terminal"),
           json.value(QLatin1String("masters_waiting")).toObject());
    const QJsonObject applies = json.value(QLatin1String("applies")).toObject();
    for (auto it = applies.begin(); it != applies.end(); ++it) {
        const QJsonObject a = it.value().toObject();
        const bool failed = a.value(QLatin1String("outcome")).toString() == QLatin1String("failed");
        lines << QStringLiteral("applied %1: %2, %3")
                     .arg(it.key(),
                          a.value(QLatin1String("time")).toString(),
                          failed ? QStringLiteral("failed: ")
                                  + a.value(QLatin1String("error")).toString()
                                 : QStringLiteral("%1 rows").arg(
                                     a.value(QLatin1String("rows")).toInt()));
    }
    const QJsonObject space = json.value(QLatin1String("free_space")).toObject();
    const QString shortage = space.value(QLatin1String("shortage")).toString();
    lines << QStringLiteral("free space: %1 bytes, floor %2 bytes%3")
                 .arg(space.value(QLatin1String("available")).toInteger())
                 .arg(space.value(QLatin1String("floor")).toInteger())
                 .arg(shortage.isEmpty() ? QString() : QStringLiteral(": ") + shortage);
    for (const QJsonValue &reason : json.value(QLatin1String("attention")).toArray())
        lines << QStringLiteral("needs attention: ") + reason.toString();
    for (const QJsonValue &m : json.value(QLatin1String("made")).toArray())
        lines << QStringLiteral("made %1: %2")
                     .arg(m[QLatin1String("time")].toString(), m[QLatin1String("text")].toString());
    for (const QJsonValue &e : json.value(QLatin1String("errors")).toArray())
        lines << QStringLiteral("error %1: %2")
                     .arg(e[QLatin1String("time")].toString(), e[QLatin1String("text")].toString());
    return lines.join(u'\n');
}

} // namespace StationStatus

namespace Cli {

int status(const QStringList &arguments)
{
    const QString usage = QStringLiteral("usage: tarvinex status [--station-dir DIR] [--json]");
    QCommandLineParser parser;
    const QCommandLineOption json(QStringLiteral("json"));
    parser.addOption(stationDirOption());
    parser.addOption(json);
    if (const int status = parseOptionsOnly(parser, QStringLiteral("status"), arguments, usage);
        status >= 0)
        return status;
    // Not Cli::loadSettings: that writes the settings' warnings to the log.
    const StationChoice choice = chooseStation(parser.value(stationDirOption()), Process::Scan);
    Comm::Settings settings;
    QString problem;
    if (!Comm::LoadSettings(choice.dir, &settings, &problem)
        || !Comm::checkSettings(settings, &problem)) {
        printLine(stderr, choice.line());
        printLine(stderr, QStringLiteral("tarvinex: ") + problem);
        return StationStatus::UsageError;
    }
    for (const QString &warning : std::as_const(settings.warnings))
        printLine(stderr, QStringLiteral("tarvinex: 警告: ") + warning);
    const StationStatus::Report report
        = StationStatus::gather(settings, QDateTime::currentDateTime());
    if (parser.isSet(json)) {
        printLine(stdout,
                  QString::fromUtf8(QJsonDocument(report.json).toJson(QJsonDocument::Compact)));
    } else {
        printLine(stdout, choice.line());
        printLine(stdout, StationStatus::text(report.json));
    }
    return report.exitStatus;
}

} // namespace Cli
