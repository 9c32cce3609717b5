#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>

namespace Link {

class Wire;

// What the station has queued for a peer must be taken within a deadline. It
// holds for what was queued when it started; what is queued meanwhile gets a
// deadline of its own once that is taken, so a peer that takes a byte now
// and then cannot stretch it.
class DrainDeadline : public QObject
{
    Q_OBJECT

public:
    // Counts what the wire reports taken from now on.
    DrainDeadline(Wire *wire, int deadlineMs, QObject *parent = nullptr);

    // Starts the deadline for what is queued now, unless one runs already.
    void arm();
    void stop() { m_timer.stop(); }

Q_SIGNALS:
    void expired();

private:
    void onTaken(qint64 bytes);

    QPointer<Wire> m_wire;
    QTimer m_timer;
    qint64 m_taken = 0;
    qint64 m_mark = 0;
};

} // namespace Link
