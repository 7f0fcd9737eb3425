#include "ui/widgets/dialogs.h"

#include <QDialog>
#include <QInputDialog>
#include <QMessageBox>

void QtDialogs::message(const QString &text, Icon icon, const QString &title)
{
    QMessageBox box(icon == Warning ? QMessageBox::Warning : QMessageBox::Information, title, text,
                    QMessageBox::Ok, m_parent);
    box.exec();
}

QString QtDialogs::prompt(const QString &text, const QString &title, const QString &initial)
{
    bool ok = false;
    const QString answer = QInputDialog::getText(m_parent, title, text, QLineEdit::Normal, initial, &ok);
    return ok ? answer : QString();
}

void QtDialogs::showModal(QDialog &window)
{
    window.exec();
}
