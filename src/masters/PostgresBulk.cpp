#include "PostgresBulk.h"

#include "MasterDatabase.h"
#include "MasterDefinitions.h"
#include "MasterSchema.h"

#include <libpq-fe.h>

#include <QAtomicInteger>
#include <QSet>

#include <algorithm>
#include <deque>
#include <tuple>
#include <vector>

namespace Bulk::Postgres {

static_assert(FirstBatchRows == MasterDatabase::RowsPerStatement,
              "the first batch is the statement size MasterDatabase promises");

namespace {

using MasterSchema::quoted;

constexpr Oid TextOid = 25;
// Text parameters go in binary format: a text's binary form is its bytes, so
// a value needs no terminating zero and may hold anything.
constexpr int Binary = 1;
// COPY data goes to libpq in pieces of about this size.
constexpr qsizetype CopyPieceBytes = 1 << 20;
// The import syncs its pipeline every this many lines, one sync ahead.
constexpr int ImportLinesPerSync = 256;

QAtomicInteger<quint64> statementCounter;

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
        {
            Result set(PQexecParams(m_conn,
                                    "SELECT set_config('tarvinex.export_terminal', $1, false)",
                                    1,
                                    types,
                                    values,
                                    lengths,
                                    formats,
                                    0));
            if (set.status() != PGRES_TUPLES_OK) {
                m_error = errorOf(m_conn, set.get());
                drain(m_conn);
                return false;
            }
        }
        // The text columns are made with the "C" collation: code-point order.
        const QByteArray text
            = QStringLiteral("COPY (SELECT %1 FROM %2 WHERE %3 = "
                             "current_setting('tarvinex.export_terminal') ORDER BY %4) TO STDOUT")
                  .arg(insertColumns(columns),
                       quoted(master.name),
                       quoted(QString::fromUtf8(Masters::TerminalIdColumn)),
                       quoted(master.keyColumn))
                  .toUtf8();
        {
            Result copy(PQexec(m_conn, text.constData()));
            if (copy.status() != PGRES_COPY_OUT) {
                m_error = errorOf(m_conn, copy.get());
                drain(m_conn);
                return false;
            }
        }
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
            const QByteArrayView value = row.value(i);
            for (const char c : value) {
                switch (c) {
                case '\\': *out++ = '\\'; *out++ = '\\'; break;
                case '\t': *out++ = '\\'; *out++ = 't'; break;
                case '\n': *out++ = '\\'; *out++ = 'n'; break;
                case '\r': *out++ = '\\'; *out++ = 'r'; break;
                default: *out++ = c; break;
                }
            }
        }
        *out++ = '\n';
        copy.resize(out - copy.constData());
    }

    bool command(const QByteArray &text)
    {
        Result result(PQexec(m_conn, text.constData()));
        if (result.status() == PGRES_COMMAND_OK)
            return true;
        m_error = errorOf(m_conn, result.get());
        drain(m_conn);
        return false;
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
        {
            Result copy(PQexec(m_conn, m_copyIn.constData()));
            if (copy.status() != PGRES_COPY_IN) {
                m_error = errorOf(m_conn, copy.get());
                drain(m_conn);
                return false;
            }
        }
        const QByteArray &data = m_building.copy;
        bool sent = true;
        for (qsizetype at = 0; sent && at < data.size(); at += CopyPieceBytes) {
            const qsizetype piece = qMin(CopyPieceBytes, data.size() - at);
            sent = PQputCopyData(m_conn, data.constData() + at, int(piece)) == 1;
        }
        if (!sent)
            m_error = errorOf(m_conn, nullptr);
        if (PQputCopyEnd(m_conn, sent ? nullptr : "aborted") != 1) {
            if (sent)
                m_error = errorOf(m_conn, nullptr);
            sent = false;
        }
        {
            Result copied(PQgetResult(m_conn));
            if (sent && copied.status() != PGRES_COMMAND_OK) {
                m_error = errorOf(m_conn, copied.get());
                sent = false;
            }
        }
        drain(m_conn);
        return sent;
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
            Result saved(PQexecPrepared(m_conn,
                                        "",
                                        m_columns,
                                        values.constData(),
                                        lengths.constData(),
                                        formats.constData(),
                                        0));
            if (saved.status() != PGRES_COMMAND_OK) {
                m_failedLines = { line, line };
                m_error = errorOf(m_conn, saved.get());
                drain(m_conn);
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

class PostgresImport final : public Import
{
public:
    explicit PostgresImport(PGconn *conn)
        : m_conn(conn)
    {
        const quint64 n = ++statementCounter;
        m_deleteName = "tarvinex_import_delete_" + QByteArray::number(n);
        m_insertName = "tarvinex_import_insert_" + QByteArray::number(n);
    }

    ~PostgresImport() override { finish(); }

    bool prepare(const Masters::Definition &master, QString *error)
    {
        const QStringList columns = master.importColumns();
        m_columns = int(columns.size());
        QStringList placeholders;
        for (int i = 1; i <= m_columns; ++i)
            placeholders.append(QStringLiteral("$%1").arg(i));
        const QByteArray deleteText = QStringLiteral("DELETE FROM %1 WHERE %2 = $1")
                                          .arg(quoted(master.name), quoted(master.keyColumn))
                                          .toUtf8();
        const QByteArray insertText = QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                                          .arg(quoted(master.name),
                                               insertColumns(columns),
                                               placeholders.join(QStringLiteral(", ")))
                                          .toUtf8();
        const std::vector<Oid> types(m_columns, TextOid);
        for (const auto &[name, text, count] :
             { std::tuple { &m_deleteName, &deleteText, 1 },
               std::tuple { &m_insertName, &insertText, m_columns } }) {
            Result prepared(PQprepare(m_conn, name->constData(), text->constData(), count, types.data()));
            if (prepared.status() != PGRES_COMMAND_OK) {
                *error = errorOf(m_conn, prepared.get());
                drain(m_conn);
                return false;
            }
        }
        if (PQenterPipelineMode(m_conn) != 1) {
            *error = errorOf(m_conn, nullptr);
            return false;
        }
        m_piped = true;
        m_formats.assign(std::max(m_columns, 1), Binary);
        return true;
    }

    bool apply(qint64 line, QByteArrayView code, const Row *row) override
    {
        if (m_failed)
            return false;
        const char *codeValue = code.data() ? code.data() : "";
        const int codeLength = int(code.size());
        if (!PQsendQueryPrepared(m_conn, m_deleteName.constData(), 1, &codeValue, &codeLength,
                                 m_formats.data(), 0))
            return failSending(line);
        m_expected.push_back({ line, false });
        if (row) {
            QVarLengthArray<const char *, 32> values(m_columns);
            QVarLengthArray<int, 32> lengths(m_columns);
            for (int i = 0; i < m_columns; ++i) {
                const QByteArrayView value = row->value(i);
                values[i] = value.data() ? value.data() : "";
                lengths[i] = int(value.size());
            }
            if (!PQsendQueryPrepared(m_conn, m_insertName.constData(), m_columns,
                                     values.constData(), lengths.constData(), m_formats.data(),
                                     0))
                return failSending(line);
            m_expected.push_back({ line, true });
        }
        if (++m_linesSinceSync >= ImportLinesPerSync) {
            if (!sync())
                return failSending(line);
            // One sync ahead: the server works on the lines just sent while
            // the results of the ones before are read.
            while (m_syncs > 1 && !m_failed)
                readToSync();
        }
        if (m_failed) {
            finish();
            return false;
        }
        return true;
    }

    bool finish() override
    {
        if (!m_piped)
            return !m_failed;
        if (m_linesSinceSync > 0 || m_syncs == 0) {
            if (!sync() && !m_failed) {
                m_failed = true;
                m_error = errorOf(m_conn, nullptr);
            }
        }
        while (m_syncs > 0 && PQstatus(m_conn) == CONNECTION_OK)
            readToSync();
        PQexitPipelineMode(m_conn);
        m_piped = false;
        if (PQstatus(m_conn) != CONNECTION_OK && !m_failed) {
            m_failed = true;
            m_error = errorOf(m_conn, nullptr);
        }
        return !m_failed;
    }

private:
    struct Expected
    {
        qint64 line;
        bool insert;
    };

    bool sync()
    {
        if (PQpipelineSync(m_conn) != 1)
            return false;
        ++m_syncs;
        m_linesSinceSync = 0;
        return true;
    }

    bool failSending(qint64 line)
    {
        if (!m_failed) {
            m_failed = true;
            m_failedLine = line;
            m_error = errorOf(m_conn, nullptr);
        }
        finish();
        return false;
    }

    // Reads the results of the oldest sync's statements and the sync.
    void readToSync()
    {
        for (;;) {
            PGresult *raw = PQgetResult(m_conn);
            if (!raw) {
                if (PQstatus(m_conn) != CONNECTION_OK) {
                    if (!m_failed) {
                        m_failed = true;
                        m_failedLine = m_expected.empty() ? 0 : m_expected.front().line;
                        m_error = errorOf(m_conn, nullptr);
                    }
                    m_syncs = 0;
                    m_expected.clear();
                    return;
                }
                continue; // the end of one statement's results
            }
            Result result(raw);
            const ExecStatusType status = result.status();
            if (status == PGRES_PIPELINE_SYNC) {
                --m_syncs;
                return;
            }
            if (m_expected.empty())
                continue;
            const Expected expected = m_expected.front();
            m_expected.pop_front();
            if (status == PGRES_COMMAND_OK) {
                if (expected.insert)
                    ++m_rowsInserted;
                else
                    m_rowsDeleted += QByteArray(PQcmdTuples(raw)).toLongLong();
            } else if (status != PGRES_PIPELINE_ABORTED && !m_failed) {
                m_failed = true;
                m_failedLine = expected.line;
                m_error = errorOf(m_conn, raw);
            }
        }
    }

    PGconn *m_conn;
    QByteArray m_deleteName;
    QByteArray m_insertName;
    int m_columns = 0;
    std::vector<int> m_formats;
    bool m_piped = false;
    bool m_failed = false;
    int m_linesSinceSync = 0;
    int m_syncs = 0;
    std::deque<Expected> m_expected;
};

} // namespace

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
