#include "ui/previewwindow.h"

#include "ui/twips.h"
#include "ui/widgets/dialogs.h"
#include "ui/widgets/htmlview.h"

PreviewWindow::PreviewWindow(QWidget *owner)
    : QDialog(owner)
{
    setObjectName(QStringLiteral("previewWindow"));
    setWindowTitle(tr("Preview"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint
                   | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(px(9975), px(3630));
    m_pageView = new HtmlView(this);
    m_pageView->setObjectName(QStringLiteral("previewView"));
    m_pageView->setAccessibleName(tr("Preview of your post"));
    m_pageView->setGeometry(0, 0, width(), height() - 1);
}

void PreviewWindow::showPage(const QString &path, Dialogs &dialogs)
{
    m_pageView->navigate(path);
    dialogs.showModal(*this);
}
