#pragma once

#include "masters/DatabaseConnection.h"
#include "masters/MasterSchema.h"

#include <QCoreApplication>
#include <QSqlQuery>
#include <QUrl>
#include <QUrlQuery>

#include <cstdio>

// A benchmark on a server works in a schema of its own, dropped at the end,
// so that it never touches a station's rows.

// The server URI with a schema named after the benchmark and this process.
inline QString withOwnSchema(const QString &uri, const QString &benchmark)
{
    QUrl url(uri);
    QUrlQuery query(url);
    query.removeAllQueryItems(QStringLiteral("schema"));
    query.removeAllQueryItems(QStringLiteral("options"));
    query.addQueryItem(
        QStringLiteral("schema"),
        QStringLiteral("%1_%2").arg(benchmark).arg(QCoreApplication::applicationPid()));
    url.setQuery(query);
    return url.toString();
}

// Makes the database as init would (a file, or a schema on a server) with
// the tables makeTables makes; false with the reason printed.
inline bool makeDatabase(const QString &location, DatabaseConnection::TableMaker makeTables)
{
    DatabaseConnection connection;
    QString error;
    if (connection.open(location, DatabaseConnection::Missing::Create)
        && makeTables(connection.database(), &error))
        return true;
    std::fprintf(stderr,
                 "cannot make %s: %s\n",
                 qPrintable(DatabaseConnection::displayName(location)),
                 qPrintable(connection.error().isEmpty() ? error : connection.error()));
    return false;
}

inline void dropSchema(const QString &uri)
{
    DatabaseConnection connection;
    const QString schema = QUrlQuery(QUrl(uri)).queryItemValue(QStringLiteral("schema"));
    if (!connection.open(uri))
        return;
    QSqlQuery query(connection.database());
    query.exec(QStringLiteral("DROP SCHEMA %1 CASCADE").arg(MasterSchema::quoted(schema)));
}
