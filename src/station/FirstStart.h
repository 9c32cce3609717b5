#pragma once

#include <QString>

#include <functional>

class Operator;

// What the window offers when the folder it would start on holds no station,
// without the window: to make one there or in a folder the operator picks,
// by init's own code, and then the new link key and how a terminal gets it.
// The operator is never sent to a command line.
class FirstStart
{
public:
    // Why dir cannot be looked into, or empty: such a folder is not "no
    // station", and nothing is offered for it.
    static QString unreadable(const QString &dir);
    // Whether dir can be looked into and holds no station (no settings file).
    static bool wanted(const QString &dir);

    // Offers the choice to op; chooseFolder asks for another folder (empty
    // when the operator gives none). Returns the station folder made, or
    // empty when the operator declined or the station could not be made (op
    // has been told why). The folder made is remembered for the next start
    // (RememberedStation).
    static QString offer(Operator &op,
                         const QString &dir,
                         const std::function<QString()> &chooseFolder);

    static QString caption() { return QStringLiteral("ステーションの作成"); }
};
