#pragma once

#include "masters/MasterScan.h"

#include <QObject>
#include <QString>

#include <functional>

class CommServer;
class Operator;
class QTimer;
class StationLock;
class StationLog;
class TransferEvents;

// What the main window does, without the window: its start-up, its buttons
// and its reactions to the communication control. The window only shows what
// this reports and routes its clicks here; the windowless station uses it too.
class Station : public QObject
{
    Q_OBJECT

public:
    Station(CommServer &server, Operator &op, StationLog &log, QObject *parent = nullptr);

    // The window's load: the countdown is set, the USB unit search runs, then
    // the listen toggle starts listening. The settings are read before.
    void load();

    // Command1: the listen toggle.
    void Command1Click();
    // Command2: the USB unit search; refused while listening.
    void Command2Click();
    void SelectUsbUnit();

    // The control's transfer events go to events, which files what arrives;
    // what they show goes to the status line, what they stage to the control.
    void handleTransfers(TransferEvents &events);

    // A notice kept off the screen: on the status line, and so in the log.
    void showNotice(const QString &text) { setStatusLine(text); }

    qint16 PollCountdown() const { return m_pollCountdown; }

    // The master scan the countdown runs when it runs out, and the lock it
    // takes for each scan so that no other process applies master files at
    // the same time; without a scan the countdown runs alone.
    void setMasterScan(MasterScan *scan, StationLock *mastersLock = nullptr)
    {
        m_scan = scan;
        m_mastersLock = mastersLock;
    }
    // Runs before each scan, the masters lock held: a station that started
    // without its database server tries it again there.
    void setBeforeScan(std::function<void()> hook) { m_beforeScan = std::move(hook); }
    // Timer1's tick: counts PollCountdown down, and when it runs out sets it
    // to 3600 and scans. A tick handled while a scan lets events run only
    // counts down, so scans never nest. While another process holds the
    // masters lock the countdown stays at 1 and the next tick tries again.
    // While the last scan left a file waiting for its writer, every tick
    // scans again, the countdown going on as before.
    void Timer1Timer();
    // The window's unload: listening and the countdown stop.
    void unload();
    // Ticks every 3000 ms from load().
    QTimer *Timer1 = nullptr;
    // True once the operator has declined to choose a USB unit.
    bool isQuitting() const { return m_quitting; }
    // The window always looks for USB units; serve only when one is set, so
    // a station on TCP alone is not told on every start that none is there.
    void setSerialUnitWanted(bool wanted) { m_unitWanted = wanted; }

    // Captions and colours the window shows.
    static QString listenCaption() { return QStringLiteral("待ち受け"); }
    static QString stopListeningCaption() { return QStringLiteral("待ち受け解除"); }

Q_SIGNALS:
    // The lamp and the toggle caption follow the control's events.
    void listeningShown(bool listening);
    // The status line (Label1).
    void statusLineChanged(const QString &text);
    // The operator declined to choose a USB unit: the program ends at once.
    void quitRequested();
    // LCount: the ticks left until the next master scan.
    void countdownShown(const QString &text);
    // What a scan did, raised while it still holds the masters lock.
    void scanned(const QList<MasterScan::Outcome> &outcomes);

private:
    void onListenStarted();
    void onListenStopped();
    void onListenFailed(const QString &reason);
    void setStatusLine(const QString &text);
    bool takeMastersLock();
    // With the masters lock held.
    void scanAndRelease();

    CommServer &m_server;
    Operator &m_operator;
    StationLog &m_log;
    qint16 m_pollCountdown = 0;
    MasterScan *m_scan = nullptr;
    StationLock *m_mastersLock = nullptr;
    std::function<void()> m_beforeScan;
    bool m_scanDeferred = false;
    bool m_filesWaiting = false;
    bool m_quitting = false;
    bool m_unitWanted = true;
};
