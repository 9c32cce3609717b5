#include "StationLog.h"

#include "Clock.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cstdio>

namespace {

const QLatin1String FilePrefix("tarvinex-");
const QLatin1String FileSuffix(".log");
const QLatin1String DateFormat("yyyyMMdd");
constexpr qint64 MsPerDay = 24 * 3600 * 1000;

} // namespace

StationLog::StationLog(const QString &folder,
                       const Clock &clock,
                       const QString &process,
                       int keepDays)
    : m_dir(folder)
    , m_clock(clock)
    , m_tag(QStringLiteral("[%1 %2]").arg(process).arg(QCoreApplication::applicationPid()))
    , m_keepDays(keepDays)
    , m_openedMs(clock.elapsedMs())
{
    const QDate today = m_clock.now().date();
    const QMap<QDate, QString> days = dayFiles();
    m_newestAtOpen = days.isEmpty() ? today : days.lastKey();
    removeOldDays(today);
}

QMap<QDate, QString> StationLog::dayFiles() const
{
    // The day is read from the file's name, not its time stamp: a copied or
    // restored log folder keeps its days.
    QMap<QDate, QString> days;
    const QStringList names
        = QDir(m_dir).entryList({ FilePrefix + QStringLiteral("*") + FileSuffix }, QDir::Files);
    for (const QString &name : names) {
        const QString day
            = name.mid(FilePrefix.size(), name.size() - FilePrefix.size() - FileSuffix.size());
        const QDate date = QDate::fromString(day, DateFormat);
        if (date.isValid())
            days.insert(date, name);
    }
    return days;
}

void StationLog::removeOldDays(const QDate &today)
{
    m_prunedOn = today;
    if (m_keepDays <= 0)
        return;
    // The date cannot be trusted alone: set ahead, it would take every day
    // with it. Days count from the newest present at opening and the time
    // seen to pass since, never past the date, so one set back removes nothing.
    const QDate seen = m_newestAtOpen.addDays((m_clock.elapsedMs() - m_openedMs) / MsPerDay);
    const QDate oldestKept = qMin(today, seen).addDays(-m_keepDays);
    const QMap<QDate, QString> days = dayFiles();
    for (auto day = days.cbegin(); day != days.cend() && day.key() < oldestKept; ++day) {
        if (day.key() == days.lastKey())
            break;
        if (!QFile::remove(QDir(m_dir).filePath(day.value())))
            std::fprintf(stderr, "tarvinex: log: cannot remove %s\n", qPrintable(day.value()));
    }
}

QString StationLog::currentFile() const
{
    return fileOf(m_clock.now().date());
}

QString StationLog::fileOf(const QDate &day) const
{
    return m_dir + u'/' + FilePrefix + day.toString(DateFormat) + FileSuffix;
}

QString StationLog::oneLine(QString text)
{
    text.replace(QStringLiteral("\r\n"), QStringLiteral(" | "));
    text.replace(u'\r', QStringLiteral(" | "));
    text.replace(u'\n', QStringLiteral(" | "));
    return text;
}

void StationLog::write(const QString &text)
{
    const QDateTime now = m_clock.now();
    // The window and serve run for weeks: old days go as each new day begins.
    if (now.date() != m_prunedOn)
        removeOldDays(now.date());
    // A message of several lines stays one line of the log.
    const QByteArray line = (now.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")) + u' ' + m_tag
                             + u' ' + oneLine(text) + u'\n')
                                .toUtf8();

    m_error.clear();
    if (!QDir().mkpath(m_dir)) {
        m_error = QStringLiteral("cannot create %1").arg(m_dir);
    } else {
        // The day of the line's own time: a line stamped 23:59:59.999 goes
        // to that day's file even if the clock has turned since.
        QFile file(fileOf(now.date()));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Append)
            || file.write(line) != line.size()) {
            m_error = file.fileName() + QStringLiteral(": ") + file.errorString();
        }
    }
    // The log must never stop the station; a failure is told on stderr.
    if (!m_error.isEmpty())
        std::fprintf(stderr, "tarvinex: log: %s\n", qPrintable(m_error));
    if (m_echo)
        m_echo(oneLine(text));
}
