#include "PostgresBulk.h"

#include "MasterDefinitions.h"
#include "MasterSchema.h"

#include <libpq-fe.h>

#include <QVarLengthArray>

#include <charconv>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace Bulk::Postgres {

namespace {

using MasterSchema::quoted;

constexpr Oid TextOid = 25;
// Text parameters go in binary format: a text's binary form is its bytes, so
// a value needs no terminating zero and may hold anything.
constexpr int Binary = 1;

struct ResultClear
{
    void operator()(PGresult *result) const { PQclear(result); }
};
// Owns a result; PQresultStatus() takes a null one for a fatal error.
using Result = std::unique_ptr<PGresult, ResultClear>;

QString errorOf(PGconn *conn, const PGresult *result)
{
    const char *primary = result ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    if (primary && *primary)
        return QString::fromUtf8(primary);
    const QString message = QString::fromUtf8(PQerrorMessage(conn)).trimmed();
    return message.isEmpty() ? QStringLiteral("PostgreSQL の応答がありません") : message;
}

// Reads the results left after a statement until there are none.
void drain(PGconn *conn)
{
    while (PGresult *result = PQgetResult(conn))
        PQclear(result);
}

// Takes a statement's result: true when its status is the one wanted, else
// *error says why and the connection is drained for the next statement.
bool succeeded(PGconn *conn, PGresult *raw, ExecStatusType wanted, QString *error)
{
    const Result result(raw);
    if (PQresultStatus(raw) == wanted)
        return true;
    *error = errorOf(conn, raw);
    drain(conn);
    return false;
}

// Ends a COPY FROM STDIN; with abortReason, abandons it. True when the
// server took every line; otherwise *error says why, unless the COPY was
// abandoned, whose failure is no news.
bool endCopy(PGconn *conn, const char *abortReason, QString *error)
{
    bool ok = PQputCopyEnd(conn, abortReason) == 1;
    if (ok) {
        const Result copied(PQgetResult(conn));
        ok = PQresultStatus(copied.get()) == PGRES_COMMAND_OK;
        if (!ok && !abortReason)
            *error = errorOf(conn, copied.get());
    } else if (!abortReason) {
        *error = errorOf(conn, nullptr);
    }
    drain(conn);
    return ok && !abortReason;
}

// Lines of COPY FROM STDIN text on their way to the server.
class CopyText
{
public:
    qsizetype size() const { return m_used; }
    void clear() { m_used = 0; }

    void number(qint64 value)
    {
        char *out = room(24);
        m_used = std::to_chars(out, out + 24, value).ptr - m_text.constData();
    }
    void raw(QByteArrayView text)
    {
        memcpy(room(text.size()), text.data(), text.size());
        m_used += text.size();
    }
    // A tab, then the value with backslash, tab, newline and carriage return
    // escaped.
    void field(QByteArrayView value)
    {
        char *out = room(1 + 2 * value.size());
        *out++ = '\t';
        for (const char c : value) {
            const char escaped = c == '\\' ? '\\'
                : c == '\t'                ? 't'
                : c == '\n'                ? 'n'
                : c == '\r'                ? 'r'
                                           : 0;
            if (escaped)
                *out++ = '\\';
            *out++ = escaped ? escaped : c;
        }
        m_used = out - m_text.constData();
    }
    // Hands the lines held to libpq a piece at a time and forgets them; false
    // when the connection failed.
    bool send(PGconn *conn)
    {
        bool sent = true;
        for (qsizetype at = 0; sent && at < m_used; at += PieceBytes) {
            const qsizetype piece = qMin(PieceBytes, m_used - at);
            sent = PQputCopyData(conn, m_text.constData() + at, int(piece)) == 1;
        }
        m_used = 0;
        return sent;
    }

private:
    static constexpr qsizetype PieceBytes = 1 << 20;

    // Makes room for bytes more after the used ones.
    char *room(qsizetype bytes)
    {
        if (m_text.size() < m_used + bytes)
            m_text.resize(2 * (m_used + bytes));
        return m_text.data() + m_used;
    }

    // Sized to its capacity; m_used bytes of it hold the lines.
    QByteArray m_text;
    qsizetype m_used = 0;
};

// The rows of one batch as they were saved: their values one after another,
// where each value ends, and each row's line.
struct Batch
{
    QByteArray bytes;
    std::vector<qsizetype> ends;
    std::vector<int> lines;

    int rows() const { return int(lines.size()); }
    bool empty() const { return lines.empty(); }
    void clear()
    {
        bytes.resize(0);
        ends.clear();
        lines.clear();
    }
    void append(const Row &row, int line)
    {
        for (qsizetype i = 0; i < row.size(); ++i) {
            bytes.append(row.value(i));
            ends.push_back(bytes.size());
        }
        lines.push_back(line);
    }
    // The value at index, counted over the values of every row.
    QByteArrayView value(qsizetype index) const
    {
        const qsizetype begin = index == 0 ? 0 : ends[index - 1];
        return QByteArrayView(bytes.constData() + begin, ends[index] - begin);
    }
};

class PostgresUpsert final : public Upsert
{
public:
    explicit PostgresUpsert(PGconn *conn)
        : m_conn(conn)
    { }

    ~PostgresUpsert() override { transactionEnded(); }

    bool save(const Masters::Definition &master, const Row &row, int line) override
    {
        if (m_master != &master) {
            if (!flush())
                return false;
            use(master);
        }
        if (row.size() != m_columns) {
            m_error = QStringLiteral("列の数が合いません");
            m_failedLines = { line, line };
            return false;
        }
        // The COPY text is written while the server moves the batch before.
        m_copy.number(line);
        for (qsizetype i = 0; i < row.size(); ++i)
            m_copy.field(row.value(i));
        m_copy.raw("\n");
        m_building.append(row, line);
        return m_building.rows() < m_batchRows || sendBatch();
    }

    bool flush() override { return sendBatch() && finishMove(); }

    void transactionEnded() override
    {
        // A move still running is read to its end: the connection must be
        // free for the rollback or commit.
        if (m_moving) {
            drain(m_conn);
            m_moving = false;
        }
        m_building.clear();
        m_copy.clear();
        m_moved.clear();
        // A rollback may have taken the temporary table with it.
        m_tempReady = false;
        m_batchRows = FirstBatchRows;
    }

    bool readOrdered(const Masters::Definition &master,
                     const QString &terminalId,
                     const QStringList &columns,
                     const RowSink &sink) override
    {
        if (!flush())
            return false;
        // The text columns are made with the "C" collation: code-point order.
        const QByteArray query = QStringLiteral("SELECT %1 FROM %2 WHERE %3 = $1 ORDER BY %4")
                                     .arg(insertColumns(columns),
                                          quoted(master.name),
                                          quoted(QString::fromUtf8(Masters::TerminalIdColumn)),
                                          quoted(master.keyColumn))
                                     .toUtf8();
        const QByteArray terminal = terminalId.toUtf8();
        const char *values[] = { terminal.constData() };
        const int lengths[] = { int(terminal.size()) };
        const int formats[] = { Binary };
        const Oid types[] = { TextOid };
        // One row at a time, as the server sends them: the export never
        // holds the whole table.
        if (!PQsendQueryParams(m_conn, query.constData(), 1, types, values, lengths, formats, 0)
            || !PQsetSingleRowMode(m_conn)) {
            m_error = errorOf(m_conn, nullptr);
            drain(m_conn);
            return false;
        }
        QVarLengthArray<QByteArrayView, 32> row(columns.size());
        bool ok = true;
        while (PGresult *raw = PQgetResult(m_conn)) {
            const Result result(raw);
            const ExecStatusType status = PQresultStatus(raw);
            if (status == PGRES_SINGLE_TUPLE) {
                for (int i = 0; i < row.size(); ++i)
                    row[i] = QByteArrayView(PQgetvalue(raw, 0, i), PQgetlength(raw, 0, i));
                sink(row.constData(), row.size());
            } else if (status != PGRES_TUPLES_OK && ok) {
                m_error = errorOf(m_conn, raw);
                ok = false;
            }
        }
        return ok;
    }

private:
    void use(const Masters::Definition &master)
    {
        m_master = &master;
        const QStringList columns = master.terminalColumns();
        m_columns = int(columns.size());
        const QString table = quoted(master.name);
        const QString temp = quoted(QStringLiteral("tarvinex_bulk_") + master.name);
        const QString list = insertColumns(columns);
        QStringList tempColumns = { QStringLiteral("tarvinex_line INTEGER") };
        for (const QString &column : columns)
            tempColumns.append(quoted(column) + QStringLiteral(" TEXT COLLATE \"C\""));
        m_createTemp = QStringLiteral("CREATE TEMP TABLE IF NOT EXISTS %1 (%2)")
                           .arg(temp, tempColumns.join(QStringLiteral(", ")))
                           .toUtf8();
        m_copyIn = QStringLiteral("COPY %1 FROM STDIN").arg(temp).toUtf8();
        // One statement may not touch a row twice: of the rows of a key in
        // the batch only the last line's goes, as it would win after the
        // others. The lines are picked on their own: sorting keys and lines
        // costs less than sorting whole rows.
        const QString identity = quoted(QString::fromUtf8(Masters::TerminalIdColumn))
            + QStringLiteral(", ") + quoted(master.keyColumn);
        m_move = (QStringLiteral("INSERT INTO %1 (%2) SELECT %2 FROM %3 JOIN (SELECT DISTINCT ON "
                                 "(%4) tarvinex_line FROM %3 ORDER BY %4, tarvinex_line DESC) "
                                 "kept USING (tarvinex_line)")
                      .arg(table, list, temp, identity)
                  + upsertTail(master) + QStringLiteral("; TRUNCATE %1").arg(temp))
                     .toUtf8();
        QStringList placeholders;
        for (int i = 1; i <= m_columns; ++i)
            placeholders.append(QStringLiteral("$%1").arg(i));
        m_saveOne = (QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                         .arg(table, list, placeholders.join(QStringLiteral(", ")))
                     + upsertTail(master))
                        .toUtf8();
        m_tempReady = false;
    }

    bool command(const QByteArray &text)
    {
        return succeeded(m_conn, PQexec(m_conn, text.constData()), PGRES_COMMAND_OK, &m_error);
    }

    // Streams the batch being built into the temporary table and starts its
    // move into the master's table without waiting for it: the next batch is
    // cut from the file while the server moves this one. The move before
    // must have ended first.
    bool sendBatch()
    {
        if (m_building.empty())
            return true;
        if (!finishMove())
            return false;
        if (!copyBatch()) {
            failed(m_building);
            return false;
        }
        if (!PQsendQuery(m_conn, m_move.constData())) {
            m_error = errorOf(m_conn, nullptr);
            failed(m_building);
            return false;
        }
        m_moving = true;
        std::swap(m_moved, m_building);
        m_building.clear();
        m_batchRows = qMin(2 * m_batchRows, MaxBatchRows);
        return true;
    }

    // Each row goes as its line number and its values.
    bool copyBatch()
    {
        if (!m_tempReady) {
            if (!command(m_createTemp))
                return false;
            m_tempReady = true;
        }
        if (!succeeded(m_conn, PQexec(m_conn, m_copyIn.constData()), PGRES_COPY_IN, &m_error))
            return false;
        const bool sent = m_copy.send(m_conn);
        if (!sent)
            m_error = errorOf(m_conn, nullptr);
        return endCopy(m_conn, sent ? nullptr : "aborted", &m_error);
    }

    // Waits for the move started last.
    bool finishMove()
    {
        if (!m_moving)
            return true;
        m_moving = false;
        bool ok = true;
        // The INSERT's result, then the TRUNCATE's: the first failure counts.
        while (PGresult *raw = PQgetResult(m_conn)) {
            const Result result(raw);
            if (ok && PQresultStatus(raw) != PGRES_COMMAND_OK) {
                m_error = errorOf(m_conn, raw);
                ok = false;
            }
        }
        if (ok && PQstatus(m_conn) != CONNECTION_OK) {
            m_error = errorOf(m_conn, nullptr);
            ok = false;
        }
        if (ok) {
            m_moved.clear();
            return true;
        }
        failed(m_moved);
        return false;
    }

    // A batch failed: everything since the transaction began is lost.
    void failed(const Batch &batch)
    {
        m_failedLines = { batch.lines.front(), batch.lines.back() };
        findRefusedRow(batch);
        m_building.clear();
        m_copy.clear();
        m_moved.clear();
    }

    // The failed batch has ended the transaction. Its rows tried one by one,
    // in file order, in a transaction of their own show the row the database
    // refuses, unless its refusal depended on earlier rows. That transaction
    // is left for the caller's rollback.
    void findRefusedRow(const Batch &batch)
    {
        const QString batchError = m_error;
        const bool restarted = command("ROLLBACK") && command("BEGIN");
        m_error = batchError;
        if (!restarted)
            return;
        m_tempReady = false;
        if (PQresultStatus(
                Result(PQprepare(m_conn, "", m_saveOne.constData(), m_columns, nullptr)).get())
            != PGRES_COMMAND_OK)
            return;
        QVarLengthArray<const char *, 32> values(m_columns);
        QVarLengthArray<int, 32> lengths(m_columns);
        const QVarLengthArray<int, 32> formats(m_columns, Binary);
        qsizetype value = 0;
        for (const int line : batch.lines) {
            for (int i = 0; i < m_columns; ++i) {
                // A null pointer would send a Null: an empty value is empty text.
                const QByteArrayView held = batch.value(value++);
                values[i] = held.data() ? held.data() : "";
                lengths[i] = int(held.size());
            }
            PGresult *saved = PQexecPrepared(m_conn,
                                             "",
                                             m_columns,
                                             values.constData(),
                                             lengths.constData(),
                                             formats.constData(),
                                             0);
            if (!succeeded(m_conn, saved, PGRES_COMMAND_OK, &m_error)) {
                m_failedLines = { line, line };
                return;
            }
        }
    }

    PGconn *m_conn;
    const Masters::Definition *m_master = nullptr;
    int m_columns = 0;
    QByteArray m_createTemp;
    QByteArray m_copyIn;
    QByteArray m_move;
    QByteArray m_saveOne;
    bool m_tempReady = false;
    int m_batchRows = FirstBatchRows;
    // The batch being built; the batch whose move is running (m_moving),
    // kept to replay it should the move fail.
    Batch m_building;
    Batch m_moved;
    bool m_moving = false;
    CopyText m_copy;
};

// The import's lines go with COPY into a temporary table, line number and
// record kind beside the values; then one server-side loop does, line by
// line in file order, exactly what the import does per line (the code's
// rows deleted, the line's row inserted when it replaces them), without a
// round trip per statement. A line the database refuses is named by the
// loop's hint.
class PostgresImport final : public Import
{
public:
    explicit PostgresImport(PGconn *conn)
        : m_conn(conn)
    { }

    ~PostgresImport() override { endCopy(); }

    bool prepare(const Masters::Definition &master, QString *error)
    {
        const QStringList columns = master.importColumns();
        m_columns = int(columns.size());
        const QString table = quoted(master.name);
        const QString temp = quoted(QStringLiteral("tarvinex_import_") + master.name);
        QStringList tempColumns = { QStringLiteral("tarvinex_line BIGINT"),
                                    QStringLiteral("tarvinex_replaces BOOLEAN"),
                                    QStringLiteral("tarvinex_code TEXT COLLATE \"C\"") };
        QStringList values;
        for (int i = 1; i <= m_columns; ++i) {
            tempColumns.append(QStringLiteral("v%1 TEXT COLLATE \"C\"").arg(i));
            values.append(QStringLiteral("r.v%1").arg(i));
        }
        const QByteArray create = QStringLiteral("CREATE TEMP TABLE IF NOT EXISTS %1 (%2); "
                                                 "TRUNCATE %1")
                                      .arg(temp, tempColumns.join(QStringLiteral(", ")))
                                      .toUtf8();
        m_loop = QStringLiteral(
                     "DO $tarvinex$ DECLARE r record; current bigint := 0; deleted bigint := 0; "
                     "inserted bigint := 0; n bigint; BEGIN "
                     "FOR r IN SELECT * FROM %1 ORDER BY tarvinex_line LOOP "
                     "current := r.tarvinex_line; "
                     "DELETE FROM %2 WHERE %3 = r.tarvinex_code; "
                     "GET DIAGNOSTICS n = ROW_COUNT; deleted := deleted + n; "
                     "IF r.tarvinex_replaces THEN INSERT INTO %2 (%4) VALUES (%5); "
                     "inserted := inserted + 1; END IF; "
                     "END LOOP; "
                     "PERFORM set_config('tarvinex.import_counts', deleted || ' ' || inserted, "
                     "false); "
                     "EXCEPTION WHEN OTHERS THEN RAISE EXCEPTION USING ERRCODE = SQLSTATE, "
                     "MESSAGE = SQLERRM, HINT = 'tarvinex line ' || current; "
                     "END $tarvinex$")
                     .arg(temp,
                          table,
                          quoted(master.keyColumn),
                          insertColumns(columns),
                          values.join(QStringLiteral(", ")))
                     .toUtf8();
        const QByteArray copyIn = QStringLiteral("COPY %1 FROM STDIN").arg(temp).toUtf8();
        if (!succeeded(m_conn, PQexec(m_conn, create.constData()), PGRES_COMMAND_OK, error)
            || !succeeded(m_conn, PQexec(m_conn, copyIn.constData()), PGRES_COPY_IN, error))
            return false;
        m_copying = true;
        return true;
    }

    bool apply(qint64 line, QByteArrayView code, const Row *row) override
    {
        if (m_failed || !m_copying)
            return false;
        m_copy.number(line);
        m_copy.raw(row ? "\tt" : "\tf");
        m_copy.field(code);
        for (int i = 0; i < m_columns; ++i) {
            if (row)
                m_copy.field(row->value(i));
            else
                m_copy.raw("\t\\N");
        }
        m_copy.raw("\n");
        if (m_copy.size() >= SendBytes && !m_copy.send(m_conn)) {
            // The connection failed, not the line.
            fail();
            return false;
        }
        return true;
    }

    bool finish() override
    {
        if (m_finished)
            return !m_failed;
        m_finished = true;
        if (m_failed) {
            endCopy();
            return false;
        }
        if (!m_copy.send(m_conn) || !endCopy()) {
            fail();
            return false;
        }
        {
            const Result loop(PQexec(m_conn, m_loop.constData()));
            if (PQresultStatus(loop.get()) != PGRES_COMMAND_OK) {
                m_failed = true;
                m_error = errorOf(m_conn, loop.get());
                const char *hint
                    = loop ? PQresultErrorField(loop.get(), PG_DIAG_MESSAGE_HINT) : nullptr;
                const QByteArray prefix("tarvinex line ");
                if (hint && QByteArray(hint).startsWith(prefix))
                    m_failedLine = QByteArray(hint).mid(prefix.size()).toLongLong();
                drain(m_conn);
                return false;
            }
        }
        const Result counts(PQexec(m_conn, "SELECT current_setting('tarvinex.import_counts')"));
        if (PQresultStatus(counts.get()) != PGRES_TUPLES_OK || PQntuples(counts.get()) != 1) {
            m_failed = true;
            m_error = errorOf(m_conn, counts.get());
            drain(m_conn);
            return false;
        }
        const QList<QByteArray> numbers = QByteArray(PQgetvalue(counts.get(), 0, 0)).split(' ');
        m_rowsDeleted = numbers.value(0).toLongLong();
        m_rowsInserted = numbers.value(1).toLongLong();
        return true;
    }

    void abandon() override
    {
        m_failed = true;
        m_finished = true;
        endCopy();
    }

private:
    static constexpr qsizetype SendBytes = 256 * 1024;

    // Ends the COPY, if one is open; false when it did not take the lines.
    bool endCopy()
    {
        if (!m_copying)
            return true;
        m_copying = false;
        return Postgres::endCopy(m_conn, m_failed ? "abandoned" : nullptr, &m_error);
    }

    // The connection failed: no line is to blame.
    void fail()
    {
        if (m_error.isEmpty())
            m_error = errorOf(m_conn, nullptr);
        m_failed = true;
        m_failedLine = 0;
        endCopy();
    }

    PGconn *m_conn;
    int m_columns = 0;
    QByteArray m_loop;
    CopyText m_copy;
    bool m_copying = false;
    bool m_failed = false;
    bool m_finished = false;
};

} // namespace

std::unique_ptr<Upsert> upsert(void *handle)
{
    return std::make_unique<PostgresUpsert>(static_cast<PGconn *>(handle));
}

std::unique_ptr<Import> import(void *handle, const Masters::Definition &master, QString *error)
{
    auto writer = std::make_unique<PostgresImport>(static_cast<PGconn *>(handle));
    if (!writer->prepare(master, error))
        return nullptr;
    return writer;
}

} // namespace Bulk::Postgres
