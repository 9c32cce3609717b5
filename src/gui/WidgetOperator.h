#pragma once

#include "base/Operator.h"

#include <QList>
#include <QPointer>
#include <QWidget>

class QMessageBox;

// The operator at the screen. Messages are application-modal boxes that stay
// open until the operator closes them, but showing one returns at once: the
// caller (a terminal's transfer, the scan) goes on and no event loop runs
// inside it. Only a choice, whose answer the caller needs, waits for the
// operator.
class WidgetOperator : public Operator
{
public:
    // An unattended station must not pile up boxes without end: beyond this
    // many the oldest open box is closed. Every text is in the station log.
    static constexpr int MaxOpenMessages = 20;

    ~WidgetOperator() override;

    static QString applicationTitle() { return QStringLiteral("Tarvinex"); }

    // The window the message boxes are centred on; none before it exists.
    void setParentWindow(QWidget *window) { m_parent = window; }

    void message(const QString &text) override;
    void information(const QString &caption, const QString &text) override;
    int choose(const QString &caption, const QString &prompt, const QStringList &items) override;

    // The boxes still open, oldest first.
    QList<QMessageBox *> openMessages() const;
    // Returns once the operator has closed every open box: before the program
    // ends, so that its last words are read.
    void waitUntilAcknowledged();

private:
    void show(QMessageBox *box);

    QPointer<QWidget> m_parent;
    QList<QPointer<QMessageBox>> m_open;
};
