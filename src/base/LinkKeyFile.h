#pragma once

#include "Comm.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

namespace Comm {

// What a key file holds: the key in use, and keys it replaced that terminals
// not yet given it may still use for a while.
struct LinkKeys
{
    QByteArray current;
    QList<RetiredKey> retired;
};

// Reads a key file. Its first line is the key in use, as written, spaces and
// all: only its line end goes. Each further line that is not blank is a key
// it replaced, "retired TIME KEY", valid until TIME (ISO 8601 with its zone,
// 2026-12-16T09:00:00Z); one whose time is not after now is left out.
// Refuses, naming the file (and the line), a file that cannot be read, a
// first line that is blank, a key too long, and a line of another form.
bool readLinkKeyFile(const QString &path, const QDateTime &now, LinkKeys *keys, QString *error);

// The text of a key file, as readLinkKeyFile reads it back.
QByteArray linkKeyFileText(const LinkKeys &keys);

// Writes a key file readable by this account alone, under another name first
// and then renamed over path, so that a reader finds the old keys or the new
// ones, and a link standing at path is replaced, never its target.
bool writeLinkKeyFile(const QString &path, const LinkKeys &keys, QString *error);

// Settles where the link key lives and reads it into settings->linkKey and
// settings->retiredKeys (those still valid at now). Its home is a file of its
// own, readable by the station's account alone: link.key beside the settings,
// or the file "LINKKEYFILE" names. An older station's "LINKKEY" still works,
// with a warning when other accounts can read the settings; it has no retired
// keys. Refuses, naming the files, a key file that cannot be read or holds no
// key, and a key given in both places; warns of a key file that other
// accounts may read or write. With missingIsNoKey a LINKKEYFILE not there
// yet is a station without a key whose key goes there.
bool loadLinkKey(Settings *settings,
                 const QDateTime &now,
                 QString *error,
                 bool missingIsNoKey = false);

} // namespace Comm
