#pragma once

#include "Cli.h"

#include <QString>

// scan and import are the station account's work: what they create (exports,
// applied files, the log) must stay the station's to replace. Run as root on
// a station another account owns, they become that account first; run by an
// account that cannot write the station folder, they stop and say who can.
namespace StationAccount {

// Becomes the owner of stationDir when running as root (its groups, then its
// IDs), and checks that this account may write there. A folder that does not
// exist is left for the settings check to report. On failure sets problem to
// a message naming the account and the command to use, and returns false.
bool actFor(const QString &stationDir, const QString &command, QString *problem);

// actFor on the station folder a command's options choose; on failure writes
// the problem to standard error (exit status 2).
bool actForCommand(const QCommandLineParser &parser,
                   Cli::Process process,
                   const QStringList &commandLine);

} // namespace StationAccount
