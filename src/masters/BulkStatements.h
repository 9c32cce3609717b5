#pragma once

#include "BulkRow.h"

#include <QByteArrayView>
#include <QPair>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class DatabaseConnection;
namespace Masters {
struct Definition;
}

// The bulk statements of the master databases, on the native handle of the
// connection Qt SQL opened (sqlite3* or PGconn*): Qt SQL keeps connecting,
// the schema and the transactions; the rows go through these. Values are
// always bound or streamed as data, never spliced into statement text.
namespace Bulk {

// One row read back: a view per column asked for, UTF-8, a Null as empty
// text. The views are valid during the call only.
using RowSink = std::function<void(const QByteArrayView *values, qsizetype count)>;

// The insert-or-update of a terminal's rows and the ordered read-back for its
// export, inside a transaction the caller opened.
class Upsert
{
public:
    // The engine's writer for the connection; nullptr (and error) when the
    // connection gives no native handle this build knows.
    static std::unique_ptr<Upsert> create(DatabaseConnection &connection, QString *error);
    virtual ~Upsert() = default;

    // Adds the row, or overwrites every column of the row with the same
    // terminal ID and key; row holds master.terminalColumns() in order, line
    // is its place in its file. A writer may hold rows back and send them
    // with later ones, so a row may fail at a later save() or at flush(). On
    // false, error() says why and failedLines() which rows (the same line
    // twice when the refused row is known), and the transaction must be
    // rolled back.
    virtual bool save(const Masters::Definition &master, const Row &row, int line) = 0;
    // Sends the rows held back.
    virtual bool flush() = 0;
    // The transaction ended (committed or rolled back): rows held back are
    // forgotten.
    virtual void transactionEnded() = 0;

    // Hands every row of the terminal, ordered by the key column in
    // code-point order, to sink: one value per column asked for.
    virtual bool readOrdered(const Masters::Definition &master,
                             const QString &terminalId,
                             const QStringList &columns,
                             const RowSink &sink)
        = 0;

    QString error() const { return m_error; }
    QPair<int, int> failedLines() const { return m_failedLines; }

protected:
    QString m_error;
    QPair<int, int> m_failedLines;
};

// The manual import's statements for one master, inside a transaction the
// caller opened: per line, the code's rows deleted, then the line's row
// inserted when it replaces them. A writer may send lines ahead of their
// outcome, so a line may fail at a later apply() or at finish().
class Import
{
public:
    static std::unique_ptr<Import>
    create(DatabaseConnection &connection, const Masters::Definition &master, QString *error);
    virtual ~Import() = default;

    // Deletes the rows whose key column holds code, then inserts row (the
    // import's columns in order) unless it is null.
    virtual bool apply(qint64 line, QByteArrayView code, const Row *row) = 0;
    // Waits for every line sent; false when one failed.
    virtual bool finish() = 0;
    // Gives up: the lines sent need not be done, the connection is left free
    // for the caller's rollback.
    virtual void abandon() { }

    qint64 rowsDeleted() const { return m_rowsDeleted; }
    qint64 rowsInserted() const { return m_rowsInserted; }
    QString error() const { return m_error; }
    // The line that failed; 0 when the failure belongs to no line.
    qint64 failedLine() const { return m_failedLine; }

protected:
    qint64 m_rowsDeleted = 0;
    qint64 m_rowsInserted = 0;
    QString m_error;
    qint64 m_failedLine = 0;
};

// Statement text pieces both engines share.
QString insertColumns(const QStringList &columns); // "a", "b", ...
QString upsertTail(const Masters::Definition &master); // ON CONFLICT (...) DO ...

} // namespace Bulk
