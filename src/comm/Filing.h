#pragma once

#include <QString>
#include <QStringList>

class Clock;
class Operator;
class StationLog;
namespace Comm {
struct Settings;
}

// Files what terminals send, once a received file stands complete in the
// transfer folder: order and stocktaking files go to the terminal's send
// folder and a time-stamped backup, other files are kept aside in the
// terminal's folder for them, and on the control file the terminal's master
// exports are staged for sending.
//
// The terminal number is the one the transfer event carried; it is never
// looked up again, since another terminal may be reported while a message
// waits for the operator. A failing file operation is told to the operator
// (naming the operation and the path) and logged. A received order or
// stocktaking file that could not be filed is kept in the folder for unfiled
// files under a time-stamped name no upload can take, and the message names
// it; failure then says why for the terminal, which is not told "saved".
class Filing
{
public:
    Filing(const Comm::Settings &settings, Operator &op, StationLog &log, const Clock &clock);

    // Files "S_HACH.dat" or "S_TANA.dat"; true when it was filed.
    bool DataMove(const QString &DataName, int terminalNumber, QString *failure = nullptr);
    // A received file that is not filed. The terminal was told it was saved,
    // so it is not deleted but kept in the terminal's folder for such files,
    // time-stamped (keptAs is where); true when it is out of the transfer
    // folder.
    bool FileDelete(const QString &DataName, int terminalNumber, QString *keptAs = nullptr);
    // Stages the terminal's master exports in its own staging folder and
    // withdraws staged exports the terminal no longer has; returns the paths
    // staged. failure is set when one could not be staged or withdrawn.
    QStringList MasterCsvCopy(int terminalNumber, QString *failure = nullptr);

    QString receivedPath(const QString &DataName) const;
    QString sendCopyPath(const QString &DataName, int terminalNumber) const;
    // The backup name for a time stamp; an earlier backup is never replaced,
    // so a taken name gives way to "-2_", "-3_", ... after the stamp.
    QString backupPath(const QString &DataName, int terminalNumber, const QString &stamp) const;
    static QString stampedPath(const QString &folder,
                               const QString &DataName,
                               const QString &stamp);

private:
    // A regular file its owner may not write; a link under the name is not
    // followed.
    static bool readOnly(const QString &path);
    bool remove(const QString &path, QString *why);
    // Copies source under target's name by a temporary file renamed over it,
    // so a link standing there is replaced (and logged), never its target.
    bool place(const QString &source, const QString &target, QString *why);
    // Moves a received file that could not be filed out of the way of later
    // uploads; where it now is, or empty when it is gone.
    QString keep(const QString &DataName, int terminalNumber);
    // Tells the operator text, keeps the file, and sets failure for the
    // terminal, naming the system's cause.
    bool failed(const QString &text,
                const QString &cause,
                const QString &DataName,
                int terminalNumber,
                QString *failure);
    static QString cannotCopy(const QString &source, const QString &target, const QString &why);

    const Comm::Settings &m_settings;
    Operator &m_operator;
    StationLog &m_log;
    const Clock &m_clock;
};
