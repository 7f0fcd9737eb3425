// The title and body fields, the date-and-time-stamp option and the clear buttons.
#include "ui/mainwindow.h"

#include "ui/widgets/lineedit.h"
#include "ui/widgets/picturebutton.h"
#include "ui/widgets/plaintextedit.h"

#include <QApplication>

// Enter in the body writes an HTML line break as well as a real one.
void MainWindow::breakLine()
{
    // Past the body's limit nothing goes in: the body is never cut.
    if (!m_bodyEdit->replaceSelection(QStringLiteral("<br>\r\n")))
        QApplication::beep();
}

void MainWindow::toggleStamp()
{
    m_stampWanted = !m_stampWanted;
    m_stampOption->setPicture(m_stampWanted ? m_faces.checkDown : m_faces.checkUp);
    m_stampOption->setChecked(m_stampWanted); // what assistive tools read
}

void MainWindow::clearMessage()
{
    m_titleEdit->setText(QString());
    m_bodyEdit->setText(QString());
    m_titleEdit->setFocus();
}

void MainWindow::clearForumName()
{
    m_forumNameEdit->setText(QString());
    m_forumNameEdit->setFocus();
}
