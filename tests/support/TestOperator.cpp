#include "TestOperator.h"

void TestOperator::message(const QString &text)
{
    shown.append({ QString(), text });
    if (whileOpen)
        whileOpen(text);
}

void TestOperator::information(const QString &caption, const QString &text)
{
    shown.append({ caption, text });
    if (whileOpen)
        whileOpen(text);
}

int TestOperator::choose(const QString &, const QString &, const QStringList &items)
{
    choicesOffered.append(items);
    return answer;
}

QStringList TestOperator::messages() const
{
    QStringList texts;
    for (const Shown &s : shown)
        texts.append(s.text);
    return texts;
}
