#pragma once

#include "base/Comm.h"
#include "base/Console.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QStringList>

#include <cstdio>

// The commands run without windows. Each takes the arguments after the
// command's name and returns the process's exit status: 0 done, 1 failed,
// 2 a usage or settings error.
namespace Cli {

QString helpText();

int init(const QStringList &arguments);

// The station folder for --station-dir, or the folder of the executable.
QString stationDir(const QString &option);

// The --station-dir option every station command takes.
QCommandLineOption stationDirOption();

// Reads the settings of the station folder the parsed --station-dir names;
// on failure writes why to standard error and returns false (exit status 2).
bool loadSettings(const QCommandLineParser &parser,
                  Comm::Settings *settings,
                  QString *error = nullptr);

} // namespace Cli
