// The title and body fields, the date-and-time-stamp option and the clear buttons.
#include "ui/mainwindow.h"

#include "ui/widgets/memobox.h"
#include "ui/widgets/picturebutton.h"
#include "ui/widgets/textbox.h"

#include <QApplication>

void MainWindow::moveToBodyOnEnter(int &keyCode)
{
    if (keyCode == 13) {
        keyCode = 0;
        m_bodyEdit->setFocus();
    }
}

void MainWindow::breakLineOnEnter(int &keyCode)
{
    if (keyCode == 13) {
        keyCode = 0;
        // Past the body's limit nothing goes in: the body is never cut.
        if (!m_bodyEdit->replaceSelection(QStringLiteral("<br>\r\n")))
            QApplication::beep();
    }
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
