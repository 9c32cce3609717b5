#include "PostgresBulk.h"
#include "PostgresCopy.h"

#include "MasterDefinitions.h"
#include "MasterSchema.h"

#include <QVarLengthArray>

#include <memory>
#include <utility>
#include <vector>

namespace Bulk::Postgres {

namespace {

using MasterSchema::quoted;

// The SQLSTATE of a statement that would change one row twice.
constexpr char CardinalityViolation[] = "21000";

// The rows of one batch as they were saved: their values one after another,
// where each value ends, and each row's line.
struct Batch
{
    ByteBuffer bytes;
    std::vector<qsizetype> ends;
    std::vector<int> lines;

    int rows() const { return int(lines.size()); }
    bool empty() const { return lines.empty(); }
    void clear()
    {
        bytes.clear();
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
        // A cursor needs a transaction; a read outside the update's has its own.
        const bool ownTransaction = PQtransactionStatus(m_conn) == PQTRANS_IDLE;
        if (ownTransaction && !command("BEGIN"))
            return false;
        if (readCursor(master, terminalId, columns, sink))
            return command(ownTransaction ? "COMMIT" : "CLOSE tarvinex_export");
        if (ownTransaction) {
            const QString why = m_error;
            command("ROLLBACK");
            m_error = why;
        }
        return false;
    }

private:
    static constexpr int FetchRows = 8192;

    // The export reads a cursor a piece at a time: it never holds the whole
    // table, each piece is one result rather than one per row, and the next
    // piece is asked for before this one is written, so the server reads on
    // while the station writes.
    bool readCursor(const Masters::Definition &master,
                    const QString &terminalId,
                    const QStringList &columns,
                    const RowSink &sink)
    {
        // The text columns are made with the "C" collation: code-point order.
        const QByteArray declare
            = QStringLiteral("DECLARE tarvinex_export NO SCROLL CURSOR FOR SELECT %1 FROM %2 "
                             "WHERE %3 = $1 ORDER BY %4")
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
        if (!succeeded(
                m_conn,
                PQexecParams(m_conn, declare.constData(), 1, types, values, lengths, formats, 0),
                PGRES_COMMAND_OK,
                &m_error))
            return false;
        const QByteArray fetch = "FETCH " + QByteArray::number(FetchRows) + " FROM tarvinex_export";
        QVarLengthArray<QByteArrayView, 32> row(columns.size());
        if (!PQsendQuery(m_conn, fetch.constData())) {
            m_error = errorOf(m_conn, nullptr);
            return false;
        }
        for (;;) {
            const Result piece(PQgetResult(m_conn));
            if (PQresultStatus(piece.get()) != PGRES_TUPLES_OK) {
                m_error = errorOf(m_conn, piece.get());
                drain(m_conn);
                return false;
            }
            drain(m_conn);
            const int rows = PQntuples(piece.get());
            const bool more = rows == FetchRows;
            if (more && !PQsendQuery(m_conn, fetch.constData())) {
                m_error = errorOf(m_conn, nullptr);
                return false;
            }
            for (int r = 0; r < rows; ++r) {
                for (int i = 0; i < row.size(); ++i)
                    row[i] = QByteArrayView(PQgetvalue(piece.get(), r, i),
                                            PQgetlength(piece.get(), r, i));
                sink(row.constData(), row.size());
            }
            if (!more)
                return true;
        }
    }

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
        // One statement may not touch a row twice, so a batch repeating a
        // key fails its move. Then the move runs again with only the last
        // line of each key, which would win over the others anyway; sorting
        // every batch for that would add half to the time of its move.
        const QString identity = quoted(QString::fromUtf8(Masters::TerminalIdColumn))
            + QStringLiteral(", ") + quoted(master.keyColumn);
        const QString tail = upsertTail(master)
            + QStringLiteral("; RELEASE SAVEPOINT tarvinex_batch; TRUNCATE %1").arg(temp);
        m_move = (QStringLiteral("SAVEPOINT tarvinex_batch; INSERT INTO %1 (%2) SELECT %2 FROM %3")
                      .arg(table, list, temp)
                  + tail)
                     .toUtf8();
        m_moveLastLines
            = (QStringLiteral("ROLLBACK TO SAVEPOINT tarvinex_batch; INSERT INTO %1 (%2) "
                              "SELECT DISTINCT ON (%4) %2 FROM %3 ORDER BY %4, "
                              "tarvinex_line DESC")
                   .arg(table, list, temp, identity)
               + tail)
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
        bool repeatedKey = false;
        bool ok = moved(&repeatedKey);
        if (!ok && repeatedKey) {
            ok = PQsendQuery(m_conn, m_moveLastLines.constData());
            if (!ok)
                m_error = errorOf(m_conn, nullptr);
            ok = ok && moved(&repeatedKey);
        }
        if (ok) {
            m_moved.clear();
            return true;
        }
        failed(m_moved);
        return false;
    }

    // Reads the results of a move: true when every statement succeeded,
    // else m_error says why, and *repeatedKey whether the batch repeated a
    // key.
    bool moved(bool *repeatedKey)
    {
        bool ok = true;
        while (PGresult *raw = PQgetResult(m_conn)) {
            const Result result(raw);
            if (ok && PQresultStatus(raw) != PGRES_COMMAND_OK) {
                m_error = errorOf(m_conn, raw);
                const char *state = PQresultErrorField(raw, PG_DIAG_SQLSTATE);
                *repeatedKey = state && qstrcmp(state, CardinalityViolation) == 0;
                ok = false;
            }
        }
        if (ok && PQstatus(m_conn) != CONNECTION_OK) {
            m_error = errorOf(m_conn, nullptr);
            ok = false;
        }
        return ok;
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
    QByteArray m_moveLastLines;
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

} // namespace

std::unique_ptr<Upsert> upsert(void *handle)
{
    return std::make_unique<PostgresUpsert>(static_cast<PGconn *>(handle));
}

} // namespace Bulk::Postgres
