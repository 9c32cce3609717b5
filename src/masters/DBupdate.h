#pragma once

#include <QString>

namespace Comm {
struct Settings;
}
namespace Masters {
struct Definition;
}
class StationLayout;

// Applying a terminal's master file: every line is merged into the
// terminal's rows of the master's table, then all of the terminal's rows are
// written to the export file beside the master file, for the terminal.
namespace DBupdate {

struct Result
{
    int linesRead = 0; // blank lines included
    int rowsAdded = 0;
    int rowsUpdated = 0;
    // Why nothing was applied; empty when the file was applied.
    QString error;
    // What the log should keep of an applied file: a link that stood under
    // the export's name and was replaced.
    QString notice;

    bool ok() const { return error.isEmpty(); }
};

// When an update lets pending events run between rows.
enum class Events {
    AsDefined, // Paced for a master that lets events run, otherwise Never
    Never,
    EveryRow,
    Paced, // after the first row, then at most every 20 ms
};

// One terminal's master file, and where its export goes.
struct MasterFile
{
    const Masters::Definition &master;
    QString terminalId;
    QString path;
    QString exportPath;
};

// The master file of a terminal in the station's receive folder.
MasterFile inReceiveFolder(const Masters::Definition &master,
                           const StationLayout &layout,
                           const QString &terminalId);

// Applies the master file to the terminal database at database. One file is
// one transaction: on any failure the database and the old export stay as
// they were. Blank lines carry no record and are skipped. The new export
// replaces the old one only once it is complete.
Result apply(const MasterFile &file, const QString &database, Events events = Events::AsDefined);

// The same for the master file of the terminal (padded to its ID) in the
// receive folder of the station's settings.
Result apply(const Masters::Definition &master,
             const Comm::Settings &settings,
             const QString &terminal,
             Events events = Events::AsDefined);

Result UpdateBUNMAS(const Comm::Settings &settings, const QString &terminal);
Result UpdateTENMAS(const Comm::Settings &settings, const QString &terminal);
Result UpdateSIRMAS(const Comm::Settings &settings, const QString &terminal);
Result UpdateTOKMAS(const Comm::Settings &settings, const QString &terminal);
Result UpdateSHOMAS(const Comm::Settings &settings, const QString &terminal);
Result UpdateJISYA(const Comm::Settings &settings, const QString &terminal);

} // namespace DBupdate
