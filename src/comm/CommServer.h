#pragma once

#include "UsbUnit.h"

#include <QHostAddress>
#include <QObject>
#include <QString>

#include <optional>

class Operator;
class QTcpServer;

// Our terminal communication control. Terminals reach the station over TCP on
// the configured port and over the chosen USB communication unit. Events are
// raised on the thread that owns the control, the user-interface thread.
class CommServer : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool Listening READ Listening WRITE setListening)
    Q_PROPERTY(int TerminalNumber READ TerminalNumber)

public:
    // What TransferStatus reports.
    enum StatusKind : qint16 {
        Sending = 0,
        Receiving = 1,
        Saving = 2,
        Saved = 3,
        SaveFailed = 4,
        UnpackingLog = 5,
    };
    Q_ENUM(StatusKind)

    // The selector the station passes to FindUsbUnits: USB communication units.
    static constexpr qint32 UsbUnitKind = 2048;

    struct Config
    {
        QHostAddress address = QHostAddress::Any;
        quint16 port = 0; // 0 lets the system pick a free port (tests)
    };

    CommServer(const Config &config,
               Operator &op,
               UsbUnitFinder findUnits = systemUsbUnits,
               QObject *parent = nullptr);
    ~CommServer() override;

    // Whether terminals are being listened for. Writing true starts listening
    // and raises ListenStarted once it has begun (or ListenFailed); writing
    // false stops it and raises ListenStopped.
    bool Listening() const;
    void setListening(bool listen);

    // The number of the terminal whose transfer is being reported; 0 outside one.
    int TerminalNumber() const { return m_terminalNumber; }

    // Counts the usable USB communication units of the kinds asked for.
    qint16 FindUsbUnits(qint32 kinds);
    // Lets the operator choose one of the units found; true when one was chosen.
    bool ChooseUsbUnit();
    std::optional<UsbUnit> chosenUsbUnit() const { return m_chosenUnit; }
    void setUsbUnit(const UsbUnit &unit) { m_chosenUnit = unit; }

    // The TCP port actually listened on (the configured one, or the one the
    // system picked); 0 when not listening.
    quint16 serverPort() const;

Q_SIGNALS:
    void ListenStarted();
    // statusKind: a StatusKind; terminalNumber: the terminal of the transfer.
    void TransferStatus(qint16 statusKind, const QString &fileName, int terminalNumber);
    void ListenStopped(int reason);
    // Listening could not begin; reason says why, for the operator.
    void ListenFailed(const QString &reason);

private:
    Config m_config;
    Operator &m_operator;
    UsbUnitFinder m_findUnits;
    QTcpServer *m_tcp = nullptr;
    QList<UsbUnit> m_units;
    std::optional<UsbUnit> m_chosenUnit;
    int m_terminalNumber = 0;
};
