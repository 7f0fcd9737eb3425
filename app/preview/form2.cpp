#include "app/preview/form2.h"

#include "app/twips.h"
#include "platform/htmlview.h"

Form2::Form2(QWidget *owner)
    : QDialog(owner)
{
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(tr("Preview"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint
                   | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(px(9975), px(3630));
    Web2 = new HtmlView(this);
    Web2->setObjectName(QStringLiteral("Web2"));
    Web2->setAccessibleName(tr("Preview of your post"));
    Web2->setGeometry(0, 0, width(), height() - 1);
}
