// The preview: the message as one forum entry, from a file beside the program.
#include "ui/composer.h"

#include "ui/files.h"
#include "ui/previewpage.h"
#include "ui/previewwindow.h"
#include "ui/widgets/dialogs.h"
#include "ui/widgets/lineedit.h"
#include "ui/widgets/plaintextedit.h"

#include <QDir>

void Composer::showPreview()
{
    if (m_controls.body->text().isEmpty() || m_controls.title->text().isEmpty()) {
        showMessage(tr("Enter message title and body."), Dialogs::Warning);
        return;
    }
    const QString page = previewPage(m_controls.title->text(), m_controls.body->text());

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
        m_previewWindow = new PreviewWindow(m_controls.title->window());
    m_previewWindow->showPage(path, m_dialogs);
}
