#pragma once

#include "base/Comm.h"
#include "station/StationInit.h"

#include <QStringList>

// A station folder as `tarvinex init` lays it out, with its settings read
// back, and the files in it as bytes on disk.
class StationFolder
{
public:
    explicit StationFolder(const QString &root, const StationInit::Databases &databases = {});

    StationLayout layout() const { return settings.layout(); }

    // A file where terminals' files land and masters are staged for them.
    QString path(const QString &name) const { return layout().inTransfer(name); }
    QString unfiled() const { return layout().unfiledFolder(); }
    QString rcv(int terminal) const { return layout().receiveFolder(terminal); }
    QString snd(int terminal) const { return layout().sendFolder(terminal); }
    QString kept(int terminal) const { return layout().keptFolder(terminal); }
    QString staged(int terminal, const QString &name) const
    {
        return StationLayout::join(layout().stagingFolder(terminal), name);
    }
    QString backup(int terminal) const { return layout().backupFolder(terminal); }
    // A file in one of them.
    QString unfiled(const QString &name) const { return StationLayout::join(unfiled(), name); }
    QString rcv(int terminal, const QString &name) const
    {
        return StationLayout::join(rcv(terminal), name);
    }
    QString snd(int terminal, const QString &name) const
    {
        return StationLayout::join(snd(terminal), name);
    }
    QString backup(int terminal, const QString &name) const
    {
        return StationLayout::join(backup(terminal), name);
    }
    QStringList backups(int terminal) const;
    // What terminals' traffic left in the station, temporary files included:
    // every file of the transfer folder, and any file of the station folder
    // itself but the station's own settings and databases.
    QStringList stationFiles() const;

    // A file in the receive folder of a terminal ID (any text: "0003", "12").
    QString receiveFolder(const QString &terminalId) const
    {
        return layout().receiveFolder(terminalId);
    }
    QString path(const QString &terminalId, const QString &fileName) const
    {
        return StationLayout::join(receiveFolder(terminalId), fileName);
    }
    // Writes the lines CP932-encoded, each ended by CR LF.
    bool write(const QString &terminalId, const QString &fileName, const QStringList &lines) const;
    bool writeBytes(const QString &terminalId,
                    const QString &fileName,
                    const QByteArray &bytes) const;
    QByteArray bytes(const QString &terminalId, const QString &fileName) const;
    // The file's lines; every line must end with CR LF.
    QStringList lines(const QString &terminalId, const QString &fileName) const;
    bool exists(const QString &terminalId, const QString &fileName) const;

    Comm::Settings settings;
};
