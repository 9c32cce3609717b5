#include "WidgetOperator.h"

#include <QEventLoop>
#include <QInputDialog>
#include <QMessageBox>

WidgetOperator::~WidgetOperator()
{
    for (const QPointer<QMessageBox> &box : std::as_const(m_open))
        delete box.data();
}

void WidgetOperator::message(const QString &text)
{
    show(new QMessageBox(QMessageBox::NoIcon, applicationTitle(), text, QMessageBox::Ok, m_parent));
}

void WidgetOperator::information(const QString &caption, const QString &text)
{
    show(new QMessageBox(QMessageBox::Information, caption, text, QMessageBox::Ok, m_parent));
}

void WidgetOperator::show(QMessageBox *box)
{
    // Texts come from terminals and files too: a name is shown as it is.
    box->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    m_open.removeIf([](const QPointer<QMessageBox> &open) { return !open || open->isHidden(); });
    while (m_open.size() >= MaxOpenMessages)
        m_open.takeFirst()->close();
    m_open.append(box);
    box->show();
}

QList<QMessageBox *> WidgetOperator::openMessages() const
{
    QList<QMessageBox *> boxes;
    for (const QPointer<QMessageBox> &box : m_open) {
        if (box && box->isVisible())
            boxes.append(box);
    }
    return boxes;
}

void WidgetOperator::waitUntilAcknowledged()
{
    QEventLoop loop;
    for (QMessageBox *box : openMessages())
        QObject::connect(box, &QMessageBox::finished, &loop, [this, &loop] {
            if (openMessages().isEmpty())
                loop.quit();
        });
    if (!openMessages().isEmpty())
        loop.exec();
}

int WidgetOperator::choose(const QString &caption, const QString &prompt, const QStringList &items)
{
    QInputDialog dialog(m_parent);
    dialog.setWindowTitle(caption);
    dialog.setLabelText(prompt);
    dialog.setComboBoxItems(items);
    dialog.setComboBoxEditable(false);
    dialog.setOption(QInputDialog::UseListViewForComboBoxItems);
    dialog.setWindowModality(Qt::ApplicationModal);
    if (dialog.exec() != QDialog::Accepted)
        return -1;
    return int(items.indexOf(dialog.textValue()));
}
