#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace Cli {

// tarvinex key show [--station-dir DIR]: prints the station's link key and
// the retired keys still valid, each with its ID; exit status 1 when the
// station has no key.
// tarvinex key new [--keep-old DURATION] [--station-dir DIR]: makes a new key
// the station's key file holds from then on; the key it replaces stays valid
// for DURATION (7d, 36h, 90m), or goes at once. Both run as the station's
// account, as scan does.
int key(const QStringList &arguments);

// What init and key new print with a key they made: the key, this once, and
// what to do with it.
QStringList newKeyLines(const QByteArray &key, const QString &keyFile, const QString &stationDir);
// What init prints with a chain's own key: where it went, not the key.
QStringList givenKeyLines(const QByteArray &key, const QString &from, const QString &keyFile);

} // namespace Cli
