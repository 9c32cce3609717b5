#pragma once

#include "base/Operator.h"

#include <QList>
#include <QStringList>

#include <functional>

// Stands in for the operator: records every message and answers every choice
// as the test says.
class TestOperator : public Operator
{
public:
    struct Shown
    {
        QString caption; // empty for plain messages
        QString text;
    };

    void message(const QString &text) override;
    void information(const QString &caption, const QString &text) override;
    int choose(const QString &caption, const QString &prompt, const QStringList &items) override;

    QStringList messages() const;
    QList<Shown> shown;
    QList<QStringList> choicesOffered;
    // The index to pick, or -1 to decline.
    int answer = -1;
    // Runs while a message is "open", the way events run while a box waits.
    std::function<void(const QString &)> whileOpen;
};
