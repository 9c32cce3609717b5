#pragma once

#include "StationFolder.h"

#include <QList>
#include <QPair>
#include <QString>

// A fixed-width line: each text placed at its 1-based position over spaces.
inline QString fixedLine(int length, const QList<QPair<int, QString>> &fields)
{
    QString line(length, u' ');
    for (const auto &field : fields)
        line.replace(field.first - 1, field.second.size(), field.second);
    return line;
}
