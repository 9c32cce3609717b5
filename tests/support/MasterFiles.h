#pragma once

#include "base/Comm.h"
#include "base/TextFile.h"

#include <QDir>
#include <QFile>
#include <QStringList>

// A station's data folders in a temporary folder, and the master files and
// exports in them as bytes on disk.
struct StationFolders
{
    explicit StationFolders(const QString &root)
    {
        settings.stationDir = root;
        settings.DbPath = root + QStringLiteral("/tarvinex.db");
        settings.DataRoot = root + QStringLiteral("/data/");
    }

    QString receiveFolder(const QString &terminalId) const
    {
        return settings.DataRoot + terminalId + QStringLiteral("/rcv/");
    }

    QString path(const QString &terminalId, const QString &fileName) const
    {
        return receiveFolder(terminalId) + fileName;
    }

    // Writes the lines CP932-encoded, each ended by CR LF.
    bool write(const QString &terminalId, const QString &fileName, const QStringList &lines) const
    {
        QByteArray bytes;
        for (const QString &line : lines)
            bytes += TextFile::encode(line) + "\r\n";
        return writeBytes(terminalId, fileName, bytes);
    }

    bool writeBytes(const QString &terminalId,
                    const QString &fileName,
                    const QByteArray &bytes) const
    {
        if (!QDir().mkpath(receiveFolder(terminalId)))
            return false;
        QFile file(path(terminalId, fileName));
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    }

    QByteArray bytes(const QString &terminalId, const QString &fileName) const
    {
        QFile file(path(terminalId, fileName));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // The file's lines; every line must end with CR LF.
    QStringList lines(const QString &terminalId, const QString &fileName) const
    {
        const QByteArray raw = bytes(terminalId, fileName);
        QStringList result;
        for (const QByteArray &line : raw.split('\n')) {
            if (line.isEmpty())
                continue;
            result.append(line.endsWith('\r') ? TextFile::decode(line.chopped(1))
                                              : QStringLiteral("<no CR LF>"));
        }
        return result;
    }

    bool exists(const QString &terminalId, const QString &fileName) const
    {
        return QFile::exists(path(terminalId, fileName));
    }

    Comm::Settings settings;
};

// A fixed-width line: each text placed at its 1-based position over spaces.
inline QString fixedLine(int length, const QList<QPair<int, QString>> &fields)
{
    QString line(length, u' ');
    for (const auto &field : fields)
        line.replace(field.first - 1, field.second.size(), field.second);
    return line;
}
