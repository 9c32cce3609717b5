#pragma once

#include <QObject>
#include <QString>

class QTimer;

// What serve tells systemd under a unit of Type=notify: READY=1 once it
// listens, STATUS= with the last line it printed, WATCHDOG=1 from the event
// loop while the unit asks for it, and STOPPING=1 when it stops. Outside such
// a unit (no NOTIFY_SOCKET) every call does nothing.
//
// The watchdog is fed by a timer, so only a running event loop feeds it: a
// station whose loop hangs is restarted. Work that holds the loop longer
// lets events run on the way (a large master file's rows), so a healthy
// station is not.
class ServiceNotifier : public QObject
{
public:
    explicit ServiceNotifier(QObject *parent = nullptr);

    void ready();
    void status(const QString &line);
    void stopping();

private:
    void send(const QByteArray &state);

    QTimer *m_watchdog = nullptr;
};
