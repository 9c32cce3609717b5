#pragma once

#include "base/AccessModel.h"

#include <QString>

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

    // Refuses a folder that already holds a settings file, so an existing
    // station is never overwritten. message tells what was done or why not.
    static Result run(const QString &dir,
                      QString *message,
                      const Databases &databases = {},
                      const AccessModel::HostGroup &host = {});

    // The settings file text for a station folder (absolute, no trailing separator).
    static QString settingsText(const QString &dir, const Databases &databases = {});
};
