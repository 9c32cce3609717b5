#pragma once

#include "base/Operator.h"

#include <QPointer>
#include <QWidget>

// The operator at the screen: message boxes and a small chooser dialog. Each
// runs its own event loop, so timer ticks and the communication control's
// events go on being handled while it is open.
class WidgetOperator : public Operator
{
public:
    static QString applicationTitle() { return QStringLiteral("Tarvinex"); }

    // The window the message boxes are centred on; none before it exists.
    void setParentWindow(QWidget *window) { m_parent = window; }

    void message(const QString &text) override;
    void information(const QString &caption, const QString &text) override;
    int choose(const QString &caption, const QString &prompt, const QStringList &items) override;

private:
    QPointer<QWidget> m_parent;
};
