#include "WidgetOperator.h"

#include <QInputDialog>
#include <QMessageBox>

void WidgetOperator::message(const QString &text)
{
    QMessageBox box(QMessageBox::NoIcon, applicationTitle(), text, QMessageBox::Ok, m_parent);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

void WidgetOperator::information(const QString &caption, const QString &text)
{
    QMessageBox box(QMessageBox::Information, caption, text, QMessageBox::Ok, m_parent);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
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
