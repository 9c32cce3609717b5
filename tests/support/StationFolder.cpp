#include "StationFolder.h"

#include "Files.h"
#include "base/Cp932.h"
#include "station/StationState.h"

#include <QDir>
#include <QFileInfo>

StationFolder::StationFolder(const QString &root, const StationInit::Databases &databases)
{
    QString message;
    if (StationInit::run(root, &message, databases) != StationInit::Result::Created)
        qFatal("station folder: %s", qPrintable(message));
    if (!Comm::LoadSettings(root, &settings, &message))
        qFatal("station folder: %s", qPrintable(message));
}

QStringList StationFolder::backups(int terminal) const
{
    return QDir(backup(terminal)).entryList(QDir::Files, QDir::Name);
}

QStringList StationFolder::stationFiles() const
{
    const QStringList own { QFileInfo(settings.settingsFile()).fileName(),
                            QFileInfo(settings.DbPath).fileName(),
                            QFileInfo(StationState::runFile(layout())).fileName(),
                            QFileInfo(StationState::appliesFile(layout())).fileName() };
    QStringList files
        = QDir(layout().transferFolder()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    for (const QString &name :
         QDir(settings.stationDir).entryList(QDir::Files | QDir::Hidden, QDir::Name)) {
        if (!own.contains(name))
            files.append(name);
    }
    return files;
}

bool StationFolder::write(const QString &terminalId,
                          const QString &fileName,
                          const QStringList &lines) const
{
    QByteArray bytes;
    for (const QString &line : lines)
        bytes += Cp932::encode(line) + "\r\n";
    return writeBytes(terminalId, fileName, bytes);
}

bool StationFolder::writeBytes(const QString &terminalId,
                               const QString &fileName,
                               const QByteArray &bytes) const
{
    return QDir().mkpath(receiveFolder(terminalId)) && writeFile(path(terminalId, fileName), bytes);
}

QByteArray StationFolder::bytes(const QString &terminalId, const QString &fileName) const
{
    QFile file(path(terminalId, fileName));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList StationFolder::lines(const QString &terminalId, const QString &fileName) const
{
    QStringList result;
    for (const QByteArray &line : bytes(terminalId, fileName).split('\n')) {
        if (line.isEmpty())
            continue;
        result.append(line.endsWith('\r') ? Cp932::decode(line.chopped(1))
                                          : QStringLiteral("<no CR LF>"));
    }
    return result;
}

bool StationFolder::exists(const QString &terminalId, const QString &fileName) const
{
    return QFile::exists(path(terminalId, fileName));
}
