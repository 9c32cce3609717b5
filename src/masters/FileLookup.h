#pragma once

#include <QString>
#include <QStringList>

// Master and import files are looked up as the station's original file
// system found them: ignoring letter case, so that "BUNMAS.DAT" in a receive
// folder is the category master file. Names a terminal sends are another
// matter and stay exact.
namespace FileLookup {

struct Match
{
    // The entry to use, whatever it is (a folder or a FIFO too, for the
    // reader to refuse); empty when there is none.
    QString path;
    // Further entries whose names differ from it only in letter case.
    QStringList others;
};

// Every entry of folder, of every kind, so that a folder or FIFO with a
// master's name is found and refused rather than passed over in silence.
QStringList entries(const QString &folder);

// Looks for fileName among the entries of folder ignoring letter case. Of
// several spellings the exact one comes first, then the rest in code-point
// order.
Match ignoringCase(const QString &folder, const QStringList &entries, const QString &fileName);
Match ignoringCase(const QString &folder, const QString &fileName);

} // namespace FileLookup
