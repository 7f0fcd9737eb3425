// The title and body fields, the date-and-time-stamp option and the clear buttons.
#include "app/form1.h"
#include "app/preview/form2.h"
#include "platform/memobox.h"
#include "platform/picturebutton.h"
#include "platform/textbox.h"

#include <QApplication>

void Form1::Text2_GotFocus()
{
    Text2->selectAll();
}

void Form1::Text2_KeyPress(int &KeyAscii)
{
    if (KeyAscii == 13) {
        KeyAscii = 0;
        Text3->setFocus();
    }
}

void Form1::Text3_KeyPress(int &KeyAscii)
{
    if (KeyAscii == 13) {
        KeyAscii = 0;
        // Past the body's limit nothing goes in: the body is never cut.
        if (!Text3->setSelText(QStringLiteral("<br>\r\n")))
            QApplication::beep();
    }
}

void Form1::btnCheck_Click()
{
    toggleStampOption();
}

void Form1::Label3_Click()
{
    toggleStampOption();
}

void Form1::toggleStampOption()
{
    if (btnCheck->Tag() == QLatin1String("UN")) {
        btnCheck->setTag(QStringLiteral("CH"));
        btnCheck->setPicture(imgCheckDOWN);
    } else {
        btnCheck->setTag(QStringLiteral("UN"));
        btnCheck->setPicture(imgCheckUP);
    }
    btnCheck->setChecked(btnCheck->Tag() == QLatin1String("CH")); // what assistive tools read
}

void Form1::btnClear2_Click()
{
    Text2->setText(QString());
    Text3->setText(QString());
    Text2->setFocus();
}

void Form1::btnClear_Click()
{
    Text1->setText(QString());
    Text1->setFocus();
}
