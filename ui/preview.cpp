// The preview: the message as one forum entry, from a file beside the program.
#include "ui/mainwindow.h"

#include "ui/files.h"
#include "ui/previewpage.h"
#include "ui/previewwindow.h"
#include "ui/widgets/dialogs.h"
#include "ui/widgets/lineedit.h"
#include "ui/widgets/plaintextedit.h"

#include <QDir>

void MainWindow::showPreview()
{
    if (m_bodyEdit->text().isEmpty() || m_titleEdit->text().isEmpty()) {
        showMessage(tr("Enter message title and body."), Dialogs::Warning);
        return;
    }
    const QString page = previewPage(m_titleEdit->text(), m_bodyEdit->text());

    // The program's folder is often not writable once installed: the cache folder then.
    QString path;
    for (const QString &folder : {m_previewFolders.primary, m_previewFolders.fallback}) {
        if (folder.isEmpty() || !QDir().mkpath(folder))
            continue;
        const QString candidate = QDir(folder).filePath(QStringLiteral("prev.htm"));
        if (writeTextFile(candidate, page)) {
            path = candidate;
            break;
        }
    }
    if (path.isEmpty()) {
        showMessage(tr("The preview could not be written."), Dialogs::Warning);
        return;
    }

    if (!m_previewWindow)
        m_previewWindow = new PreviewWindow(this);
    m_previewWindow->showPage(path, m_dialogs);
}
