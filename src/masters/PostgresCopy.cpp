#include "PostgresCopy.h"

namespace Bulk::Postgres {

QString errorOf(PGconn *conn, const PGresult *result)
{
    const char *primary = result ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    if (primary && *primary)
        return QString::fromUtf8(primary);
    const QString message = QString::fromUtf8(PQerrorMessage(conn)).trimmed();
    return message.isEmpty() ? QStringLiteral("PostgreSQL の応答がありません") : message;
}

void drain(PGconn *conn)
{
    while (PGresult *result = PQgetResult(conn))
        PQclear(result);
}

bool succeeded(PGconn *conn, PGresult *raw, ExecStatusType wanted, QString *error)
{
    const Result result(raw);
    if (PQresultStatus(raw) == wanted)
        return true;
    *error = errorOf(conn, raw);
    drain(conn);
    return false;
}

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

bool CopyText::send(PGconn *conn)
{
    bool sent = true;
    for (qsizetype at = 0; sent && at < m_text.size(); at += PieceBytes) {
        const qsizetype piece = qMin(PieceBytes, m_text.size() - at);
        sent = PQputCopyData(conn, m_text.constData() + at, int(piece)) == 1;
    }
    m_text.clear();
    return sent;
}

} // namespace Bulk::Postgres
