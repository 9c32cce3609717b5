#pragma once

#include "Filing.h"
#include "link/LinkProtocol.h"

#include <QObject>
#include <QString>

#include <optional>

// The station's reactions to TransferStatus of the control: the status line
// for each step, and for a saved file the operator's message and its filing
// (in the transfer folder) by name ("CTRL.csv", "S_HACH.dat", "S_TANA.dat",
// or any other, compared exactly).
class TransferEvents : public QObject
{
    Q_OBJECT

public:
    TransferEvents(const Comm::Settings &settings,
                   Operator &op,
                   StationLog &log,
                   const Clock &clock,
                   QObject *parent = nullptr);

    // The status line for a step; nothing for a kind the control does not have.
    static std::optional<QString> statusText(Link::TransferKind statusKind,
                                             const QString &fileName,
                                             int terminalNumber);

    // The handler of TransferStatus. The terminal number comes with the event.
    void TransferStatus(Link::TransferKind statusKind, const QString &fileName, int terminalNumber);

    Filing &filing() { return m_filing; }

Q_SIGNALS:
    void statusLineChanged(const QString &text);
    // The terminal's masters now staged for its fetch: their paths.
    void mastersStaged(int terminalNumber, const QStringList &paths);
    // A saved file could not be filed (raised inside TransferStatus, so that
    // the control tells the terminal instead of confirming the file).
    void filingFailed(const QString &reason);

private:
    void fileSaved(const QString &fileName, int terminalNumber);

    Operator &m_operator;
    Filing m_filing;
};
