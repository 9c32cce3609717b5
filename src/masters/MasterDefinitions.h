#pragma once

#include "base/StationLayout.h"

#include <QList>
#include <QString>
#include <QStringList>

// The six masters as data. One definition drives the terminal update
// pipeline, its export, the manual import and the table layouts of both
// databases, so a new master is a new entry in MasterDefinitions.cpp.
namespace Masters {

// How a field is taken from its positions.
enum class Take {
    AsCut, // the characters at its positions, spaces included
    Trimmed, // leading and trailing spaces removed
    Name, // trimmed, then passed through Bulk::CommaToPeriod
};

struct Field
{
    QString column;
    int start = 0; // 1-based position in decoded characters
    int width = 0;
    Take take = Take::AsCut;
};

struct ExportColumn
{
    QString column;
    bool trimmed = false; // otherwise written as the database returns it
};

struct Definition
{
    QString name; // file stem and table name: "BUNMAS"
    QString caption; // as the import window shows it: "分類マスタ"
    QString keyColumn; // identifies a row within a terminal (and in the import)
    // Columns the terminal update sets after 端末ID, in the order it sets them.
    // A terminal's row is found by the value this list gives the key column.
    QList<Field> fields;
    // The export line's fields in order.
    QList<ExportColumn> exportColumns;
    // The values of the import's insert, in order; the maintenance table has
    // exactly these columns. The code of the import's delete is the value of
    // the key column among them.
    QList<Field> importFields;
    // The product update lets pending window events run between rows (after
    // the first, then at most every 20 ms), so the window stays responsive
    // through a large file.
    bool letsEventsRun = false;

    QString masterFileName() const { return StationLayout::masterFileName(name); }
    QString appliedFileName() const { return StationLayout::appliedFileName(name); }
    QString exportFileName() const { return StationLayout::exportFileName(name); }
    QString importFileName() const { return StationLayout::importFileName(name); }

    // Columns of the terminal database's table: 端末ID, then the fields.
    QStringList terminalColumns() const;
    // Columns of the maintenance database's table, in insert order.
    QStringList importColumns() const;
    int keyFieldIndex() const;
    int importKeyFieldIndex() const;
};

inline constexpr const char *TerminalIdColumn = "端末ID";

// All masters in the order the station handles them: category, store,
// supplier, customer, product, in-house code.
const QList<Definition> &all();
// The master of that name (compared exactly), or nullptr.
const Definition *find(const QString &name);
QStringList names();

} // namespace Masters
