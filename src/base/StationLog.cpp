#include "StationLog.h"

#include "Clock.h"
#include "StationLayout.h"

#include <QDir>
#include <QFile>

#include <cstdio>

StationLog::StationLog(const QString &stationDir, const Clock &clock)
    : m_dir(StationLayout(stationDir, QString()).logFolder())
    , m_clock(clock)
{ }

QString StationLog::currentFile() const
{
    return m_dir + QStringLiteral("/tarvinex-") + m_clock.now().toString(QStringLiteral("yyyyMMdd"))
        + QStringLiteral(".log");
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
    // A message of several lines stays one line of the log.
    const QByteArray line
        = (now.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")) + u' ' + oneLine(text) + u'\n')
              .toUtf8();

    m_error.clear();
    if (!QDir().mkpath(m_dir)) {
        m_error = QStringLiteral("cannot create %1").arg(m_dir);
    } else {
        QFile file(currentFile());
        if (!file.open(QIODevice::WriteOnly | QIODevice::Append)
            || file.write(line) != line.size()) {
            m_error = file.fileName() + QStringLiteral(": ") + file.errorString();
        }
    }
    // The log must never stop the station; a failure is told on stderr.
    if (!m_error.isEmpty())
        std::fprintf(stderr, "tarvinex: log: %s\n", qPrintable(m_error));
}
