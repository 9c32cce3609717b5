#pragma once

#include <QString>

class Clock;

namespace Masters {
struct Definition;
}

// What one import did, counted over the lines of its file.
struct ImportCounts
{
    qint64 linesRead = 0;
    qint64 rowsDeleted = 0;
    qint64 rowsInserted = 0;
    // Blank lines and lines whose record kind is none of "1", "2", "3": they
    // execute nothing, but the operator may want to know the file held them.
    qint64 linesSkipped = 0;
};

// Loads one master's import file ("BUNMAS.DAT", ...) from the import folder
// into the maintenance database, driven only by the master's definition. Per
// line the record kind decides: "1" or "2" replace the code's rows with the
// line's values, "3" deletes them. The whole file is one transaction, so a
// failure anywhere leaves the database as it was.
class MasterImport
{
public:
    MasterImport(const QString &importDb, const QString &importFolder, const Clock &clock);

    // True when the file was imported and committed. Otherwise error() names
    // the file, the line where it stopped and the cause, and nothing changed:
    // so for two spellings of the file at once, for a file still being
    // written (SettleCheck), and for a database without the tables
    // "tarvinex init" makes.
    bool run(const Masters::Definition &master);

    const ImportCounts &counts() const { return m_counts; }
    QString error() const { return m_error; }

    // One line telling what an import did, for the log and the command line.
    static QString summary(const Masters::Definition &master, const ImportCounts &counts);

private:
    QString m_importDb;
    QString m_importFolder;
    const Clock &m_clock;
    ImportCounts m_counts;
    QString m_error;
};
