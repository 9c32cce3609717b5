#pragma once

#include <QString>

// Lays out a new station folder: the settings file, the data folder tree for
// terminals 0001 to 0011 and the import folder, and both master databases
// with their tables.
class StationInit
{
public:
    enum class Result { Created, Refused, Failed };

    static inline constexpr int FirstTerminal = 1;
    static inline constexpr int LastTerminal = 11;

    // Refuses a folder that already holds a settings file, so an existing
    // station is never overwritten. message tells what was done or why not.
    static Result run(const QString &dir, QString *message);

    // The settings file text for a station folder (absolute, no trailing separator).
    static QString settingsText(const QString &dir);
};
