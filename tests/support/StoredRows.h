#pragma once

#include "masters/MasterDatabase.h"
#include "masters/MasterDefinitions.h"

#include <QString>
#include <QStringList>

// A terminal's stored row, read back as its export reads rows: the values of
// master.terminalColumns() of the row whose key column holds key; empty when
// there is none or the database cannot be read.
inline QStringList storedRow(const QString &location,
                             const Masters::Definition &master,
                             const QString &terminalId,
                             const QString &key)
{
    const QStringList columns = master.terminalColumns();
    const qsizetype keyAt = columns.indexOf(master.keyColumn);
    MasterDatabase db;
    QStringList found;
    if (!db.open(location))
        return found;
    db.readOrdered(master, terminalId, columns, [&](const QByteArrayView *values, qsizetype count) {
        if (!found.isEmpty() || QString::fromUtf8(values[keyAt]) != key)
            return;
        for (qsizetype i = 0; i < count; ++i)
            found.append(QString::fromUtf8(values[i]));
    });
    return found;
}
