#include "PostgresBulk.h"

#include "MasterDefinitions.h"
#include "MasterSchema.h"

#include <libpq-fe.h>

#include <QSet>
#include <QVarLengthArray>

#include <utility>
#include <vector>

namespace Bulk::Postgres {

namespace {

using MasterSchema::quoted;

// A COPY text line (without its newline) split at tabs and unescaped: one
// view per column into scratch, valid until scratch changes.
void splitCopyText(QByteArrayView line,
                   QByteArray &scratch,
                   QVarLengthArray<QByteArrayView, 32> &values);

constexpr Oid TextOid = 25;
// Text parameters go in binary format: a text's binary form is its bytes, so
// a value needs no terminating zero and may hold anything.
constexpr int Binary = 1;
// COPY data goes to libpq in pieces of about this size.
constexpr qsizetype CopyPieceBytes = 1 << 20;

// Owns a result.
class Result
{
public:
    explicit Result(PGresult *result)
        : m_result(result)
    { }
    ~Result() { PQclear(m_result); }
    Result(const Result &) = delete;
    Result &operator=(const Result &) = delete;

    PGresult *get() const { return m_result; }
    ExecStatusType status() const
    {
        return m_result ? PQresultStatus(m_result) : PGRES_FATAL_ERROR;
    }

private:
    PGresult *m_result;
};

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
    if (result.status() == wanted)
        return true;
    *error = errorOf(conn, result.get());
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
        ok = copied.status() == PGRES_COMMAND_OK;
        if (!ok && !abortReason)
            *error = errorOf(conn, copied.get());
    } else if (!abortReason) {
        *error = errorOf(conn, nullptr);
    }
    drain(conn);
    return ok && !abortReason;
}

// Writes a value as COPY text at out, which has room for twice its size:
// backslash, tab, newline and carriage return escaped. Returns the end.
char *escapeCopyText(QByteArrayView value, char *out)
{
    for (const char c : value) {
        switch (c) {
        case '\\': *out++ = '\\'; *out++ = '\\'; break;
        case '\t': *out++ = '\\'; *out++ = 't'; break;
        case '\n': *out++ = '\\'; *out++ = 'n'; break;
        case '\r': *out++ = '\\'; *out++ = 'r'; break;
        default: *out++ = c; break;
        }
    }
    return out;
}

QString textColumns(const QStringList &columns)
{
    QStringList parts;
    for (const QString &column : columns)
        parts.append(quoted(column) + QStringLiteral(" TEXT"));
    return parts.join(QStringLiteral(", "));
}

// The rows of one batch: their COPY text, their lines.
struct Batch
{
    QByteArray copy;
    std::vector<int> lines;

    bool empty() const { return lines.empty(); }
    void clear()
    {
        copy.clear();
        lines.clear();
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
        // One statement must not touch a row twice: a key repeated within
        // the batch sends the batch first. Keys are told apart by a hash of
        // terminal ID and key; two keys sharing one only send a batch early.
        const QByteArrayView terminal = row.value(0);
        const QByteArrayView key = row.value(m_keyIndex);
        const size_t identity = qHash(key, qHash(terminal, 0x5eed));
        if (m_keys.contains(identity) && !sendBatch())
            return false;
        m_keys.insert(identity);
        appendRow(row);
        m_building.lines.push_back(line);
        return int(m_building.lines.size()) < m_batchRows || sendBatch();
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
        m_moved.clear();
        m_keys.clear();
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
        // COPY takes no parameters: the terminal ID is bound to a setting of
        // the session, which the query reads.
        const QByteArray terminal = terminalId.toUtf8();
        const char *values[] = { terminal.constData() };
        const int lengths[] = { int(terminal.size()) };
        const int formats[] = { Binary };
        const Oid types[] = { TextOid };
        if (!succeeded(m_conn,
                       PQexecParams(m_conn,
                                    "SELECT set_config('tarvinex.export_terminal', $1, false)",
                                    1,
                                    types,
                                    values,
                                    lengths,
                                    formats,
                                    0),
                       PGRES_TUPLES_OK,
                       &m_error))
            return false;
        // The text columns are made with the "C" collation: code-point order.
        const QByteArray text
            = QStringLiteral("COPY (SELECT %1 FROM %2 WHERE %3 = "
                             "current_setting('tarvinex.export_terminal') ORDER BY %4) TO STDOUT")
                  .arg(insertColumns(columns),
                       quoted(master.name),
                       quoted(QString::fromUtf8(Masters::TerminalIdColumn)),
                       quoted(master.keyColumn))
                  .toUtf8();
        if (!succeeded(m_conn, PQexec(m_conn, text.constData()), PGRES_COPY_OUT, &m_error))
            return false;
        QByteArray scratch;
        QVarLengthArray<QByteArrayView, 32> row;
        bool shapeOk = true;
        for (;;) {
            char *buffer = nullptr;
            const int size = PQgetCopyData(m_conn, &buffer, 0);
            if (size < 0)
                break;
            // After a row of the wrong shape the rest is read and dropped,
            // so that the connection is free again.
            if (shapeOk) {
                QByteArrayView line(buffer, size);
                if (line.endsWith('\n'))
                    line.chop(1);
                splitCopyText(line, scratch, row);
                shapeOk = row.size() == columns.size();
                if (shapeOk)
                    sink(row.constData(), row.size());
            }
            PQfreemem(buffer);
        }
        Result end(PQgetResult(m_conn));
        bool ok = end.status() == PGRES_COMMAND_OK;
        if (!ok)
            m_error = errorOf(m_conn, end.get());
        drain(m_conn);
        if (ok && !shapeOk) {
            m_error = QStringLiteral("COPY の行の列の数が合いません");
            ok = false;
        }
        return ok;
    }

private:
    void use(const Masters::Definition &master)
    {
        m_master = &master;
        const QStringList columns = master.terminalColumns();
        m_columns = int(columns.size());
        m_keyIndex = int(columns.indexOf(master.keyColumn));
        const QString table = quoted(master.name);
        const QString temp = quoted(QStringLiteral("tarvinex_bulk_") + master.name);
        const QString list = insertColumns(columns);
        m_createTemp = QStringLiteral("CREATE TEMP TABLE IF NOT EXISTS %1 (%2)")
                           .arg(temp, textColumns(columns))
                           .toUtf8();
        m_copyIn = QStringLiteral("COPY %1 (%2) FROM STDIN").arg(temp, list).toUtf8();
        m_move = (QStringLiteral("INSERT INTO %1 (%2) SELECT %2 FROM %3").arg(table, list, temp)
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

    // The row as a line of COPY text at the end of the batch being built.
    void appendRow(const Row &row)
    {
        QByteArray &copy = m_building.copy;
        const qsizetype used = copy.size();
        // Escaping at most doubles a value; a tab or newline after each.
        qsizetype room = row.size();
        for (qsizetype i = 0; i < row.size(); ++i)
            room += 2 * row.value(i).size();
        if (copy.capacity() < used + room)
            copy.reserve(2 * (used + room));
        copy.resize(used + room);
        char *out = copy.data() + used;
        for (qsizetype i = 0; i < row.size(); ++i) {
            if (i > 0)
                *out++ = '\t';
            out = escapeCopyText(row.value(i), out);
        }
        *out++ = '\n';
        copy.resize(out - copy.constData());
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
        m_keys.clear();
        m_batchRows = qMin(2 * m_batchRows, MaxBatchRows);
        return true;
    }

    bool copyBatch()
    {
        if (!m_tempReady) {
            if (!command(m_createTemp))
                return false;
            m_tempReady = true;
        }
        if (!succeeded(m_conn, PQexec(m_conn, m_copyIn.constData()), PGRES_COPY_IN, &m_error))
            return false;
        const QByteArray &data = m_building.copy;
        bool sent = true;
        for (qsizetype at = 0; sent && at < data.size(); at += CopyPieceBytes) {
            const qsizetype piece = qMin(CopyPieceBytes, data.size() - at);
            sent = PQputCopyData(m_conn, data.constData() + at, int(piece)) == 1;
        }
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
            Result result(raw);
            if (ok && result.status() != PGRES_COMMAND_OK) {
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
        m_moved.clear();
        m_keys.clear();
    }

    // The failed batch has ended the transaction. Its rows tried one by one
    // in a transaction of their own show the row the database refuses,
    // unless its refusal depended on earlier rows. That transaction is left
    // for the caller's rollback.
    void findRefusedRow(const Batch &batch)
    {
        const QString batchError = m_error;
        const bool restarted = command("ROLLBACK") && command("BEGIN");
        m_error = batchError;
        if (!restarted)
            return;
        m_tempReady = false;
        {
            Result prepared(PQprepare(m_conn, "", m_saveOne.constData(), m_columns, nullptr));
            if (prepared.status() != PGRES_COMMAND_OK)
                return;
        }
        QByteArray scratch;
        QVarLengthArray<QByteArrayView, 32> row;
        QVarLengthArray<const char *, 32> values(m_columns);
        QVarLengthArray<int, 32> lengths(m_columns);
        const QVarLengthArray<int, 32> formats(m_columns, Binary);
        qsizetype at = 0;
        for (const int line : batch.lines) {
            const qsizetype end = batch.copy.indexOf('\n', at);
            splitCopyText(QByteArrayView(batch.copy).sliced(at, end - at), scratch, row);
            at = end + 1;
            for (int i = 0; i < m_columns; ++i) {
                // A null pointer would send a Null: an empty value is empty text.
                const QByteArrayView value = row.value(i);
                values[i] = value.data() ? value.data() : "";
                lengths[i] = int(value.size());
            }
            if (!succeeded(m_conn,
                           PQexecPrepared(m_conn,
                                          "",
                                          m_columns,
                                          values.constData(),
                                          lengths.constData(),
                                          formats.constData(),
                                          0),
                           PGRES_COMMAND_OK,
                           &m_error)) {
                m_failedLines = { line, line };
                return;
            }
        }
    }

    PGconn *m_conn;
    const Masters::Definition *m_master = nullptr;
    int m_columns = 0;
    int m_keyIndex = 0;
    QByteArray m_createTemp;
    QByteArray m_copyIn;
    QByteArray m_move;
    QByteArray m_saveOne;
    bool m_tempReady = false;
    int m_batchRows = FirstBatchRows;
    // The batch being built and the identities of its rows; the batch whose
    // move is running (m_moving), kept to replay it should the move fail.
    Batch m_building;
    QSet<size_t> m_keys;
    Batch m_moved;
    bool m_moving = false;
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
        m_buffer.reserve(SendBytes + 4096);
        return true;
    }

    bool apply(qint64 line, QByteArrayView code, const Row *row) override
    {
        if (m_failed || !m_copying)
            return false;
        m_buffer.append(QByteArray::number(line));
        m_buffer.append(row ? "\tt\t" : "\tf\t");
        appendEscaped(code);
        for (int i = 0; i < m_columns; ++i) {
            m_buffer.append('\t');
            if (row)
                appendEscaped(row->value(i));
            else
                m_buffer.append("\\N");
        }
        m_buffer.append('\n');
        if (m_buffer.size() >= SendBytes && !send()) {
            // The connection failed, not the line.
            fail(0);
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
        if (!send() || !endCopy()) {
            fail(0);
            return false;
        }
        {
            Result loop(PQexec(m_conn, m_loop.constData()));
            if (loop.status() != PGRES_COMMAND_OK) {
                m_failed = true;
                m_error = errorOf(m_conn, loop.get());
                const char *hint = loop.get() ? PQresultErrorField(loop.get(), PG_DIAG_MESSAGE_HINT)
                                              : nullptr;
                const QByteArray prefix("tarvinex line ");
                if (hint && QByteArray(hint).startsWith(prefix))
                    m_failedLine = QByteArray(hint).mid(prefix.size()).toLongLong();
                drain(m_conn);
                return false;
            }
        }
        Result counts(PQexec(m_conn, "SELECT current_setting('tarvinex.import_counts')"));
        if (counts.status() != PGRES_TUPLES_OK || PQntuples(counts.get()) != 1) {
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

    void appendEscaped(QByteArrayView value)
    {
        const qsizetype used = m_buffer.size();
        m_buffer.resize(used + 2 * value.size());
        m_buffer.resize(escapeCopyText(value, m_buffer.data() + used) - m_buffer.constData());
    }

    bool send()
    {
        if (m_buffer.isEmpty())
            return true;
        const bool sent = PQputCopyData(m_conn, m_buffer.constData(), int(m_buffer.size())) == 1;
        m_buffer.clear();
        return sent;
    }

    // Ends the COPY, if one is open; false when it did not take the lines.
    bool endCopy()
    {
        if (!m_copying)
            return true;
        m_copying = false;
        return Postgres::endCopy(m_conn, m_failed ? "abandoned" : nullptr, &m_error);
    }

    void fail(qint64 line)
    {
        if (m_error.isEmpty())
            m_error = errorOf(m_conn, nullptr);
        m_failed = true;
        m_failedLine = line;
        endCopy();
    }

    PGconn *m_conn;
    int m_columns = 0;
    QByteArray m_loop;
    QByteArray m_buffer;
    bool m_copying = false;
    bool m_failed = false;
    bool m_finished = false;
};

void splitCopyText(QByteArrayView line,
                   QByteArray &scratch,
                   QVarLengthArray<QByteArrayView, 32> &values)
{
    values.clear();
    const char *p = line.data();
    const char *end = p + line.size();
    if (!line.contains('\\')) {
        // Nothing escaped: the columns are the line's own pieces.
        const char *start = p;
        for (; p < end; ++p) {
            if (*p == '\t') {
                values.append(QByteArrayView(start, p - start));
                start = p + 1;
            }
        }
        values.append(QByteArrayView(start, end - start));
        return;
    }
    // Unescaped text is never longer than the line: sized once, the views
    // into scratch stay valid.
    scratch.resize(line.size());
    char *out = scratch.data();
    const char *start = out;
    bool null = false;
    for (; p < end; ++p) {
        char c = *p;
        if (c == '\t') {
            values.append(null ? QByteArrayView() : QByteArrayView(start, out - start));
            start = out;
            null = false;
            continue;
        }
        if (c == '\\' && p + 1 < end) {
            c = *++p;
            switch (c) {
            case 'b': c = '\b'; break;
            case 'f': c = '\f'; break;
            case 'n': c = '\n'; break;
            case 'r': c = '\r'; break;
            case 't': c = '\t'; break;
            case 'v': c = '\v'; break;
            case 'N':
                null = true; // \N: a Null, read as empty text
                continue;
            default: break; // the character itself
            }
        }
        *out++ = c;
    }
    values.append(null ? QByteArrayView() : QByteArrayView(start, out - start));
}

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
