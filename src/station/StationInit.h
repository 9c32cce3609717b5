#pragma once

#include "base/AccessModel.h"
#include "base/Comm.h"

#include <QByteArray>
#include <QString>

#include <optional>

// Lays out a new station folder: the settings file, the data folder tree for
// terminals 0001 to 0011 and the import folder, and both master databases
// with their tables, each folder with the mode and group of the access model.
class StationInit
{
public:
    enum class Result { Created, Refused, Failed };

    // Where the two databases live: empty for the SQLite files in the station
    // folder, or a server URI.
    struct Databases
    {
        QString terminal;
        QString maintenance;
    };

    struct Options
    {
        // The link key written to link.key; empty for a station without one,
        // which then speaks version 1 on loopback alone (the test fixtures'
        // stations). A station with a key is written LINKV1=no: it has no
        // terminals of the older version to keep.
        QByteArray linkKey;
        // PORT when not the default: a second station on the machine.
        std::optional<quint16> port;
    };

    // Refuses a folder that already holds a settings file, so an existing
    // station is never overwritten, and one that holds a link.key when a key
    // is to be written, so that a key placed there is never lost. message
    // tells what was done or why not.
    static Result run(const QString &dir,
                      QString *message,
                      const Databases &databases = {},
                      const AccessModel::HostGroup &host = {},
                      const Options &options = {});

    // The settings file text for a station folder (absolute, no trailing
    // separator), with a key or without one.
    static QString settingsText(const QString &dir,
                                const Databases &databases = {},
                                bool keyed = false,
                                quint16 port = Comm::DefaultPort);
};
