#include "ServiceNotifier.h"

#include <QTimer>

#include <systemd/sd-daemon.h>

namespace {

// systemd shows one line of status; a long one only crowds the screen.
constexpr qsizetype MaxStatus = 200;

} // namespace

ServiceNotifier::ServiceNotifier(QObject *parent)
    : QObject(parent)
{
    uint64_t usec = 0;
    // Also false when WATCHDOG_PID names another process: the watchdog asked
    // of a parent is not this one's to feed.
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0)
        return;
    m_watchdog = new QTimer(this);
    // Half the time allowed, as systemd advises, so that one late tick is not
    // a restart.
    m_watchdog->setInterval(int(qBound<uint64_t>(1, usec / 2000, 24 * 3600 * 1000)));
    connect(m_watchdog, &QTimer::timeout, this, [this] { send("WATCHDOG=1"); });
    m_watchdog->start();
    send("WATCHDOG=1");
}

void ServiceNotifier::ready()
{
    send("READY=1");
}

void ServiceNotifier::status(const QString &line)
{
    QString shown = line;
    shown.replace(u'\n', u' ');
    if (shown.size() > MaxStatus)
        shown = shown.left(MaxStatus - 1) + u'…';
    send("STATUS=" + shown.toUtf8());
}

void ServiceNotifier::stopping()
{
    if (m_watchdog)
        m_watchdog->stop();
    send("STOPPING=1");
}

void ServiceNotifier::send(const QByteArray &state)
{
    // Nothing to tell, and no harm, outside a unit that listens.
    sd_notify(0, state.constData());
}
