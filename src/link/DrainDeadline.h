#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>

class QIODevice;

namespace Link {

// What the station has queued for a peer must be taken within a deadline. It
// holds for what was queued when it started; what is queued meanwhile gets a
// deadline of its own once that is taken, so a peer that takes a byte now
// and then cannot stretch it.
class DrainDeadline : public QObject
{
    Q_OBJECT

public:
    // Counts what the device reports written from now on.
    DrainDeadline(QIODevice *device, int deadlineMs, QObject *parent = nullptr);

    // Starts the deadline for what is queued now, unless one runs already.
    void arm();
    void stop() { m_timer.stop(); }

Q_SIGNALS:
    void expired();

private:
    void onBytesWritten(qint64 bytes);

    QPointer<QIODevice> m_device;
    QTimer m_timer;
    qint64 m_taken = 0;
    qint64 m_mark = 0;
};

} // namespace Link
