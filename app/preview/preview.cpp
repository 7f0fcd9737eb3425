// The preview: the message as one forum entry, from a file beside the program.
#include "app/form1.h"
#include "app/preview/form2.h"
#include "app/preview/previewpage.h"
#include "platform/dialogs.h"
#include "platform/files.h"
#include "platform/htmlview.h"
#include "platform/memobox.h"
#include "platform/textbox.h"

#include <QDir>

void Form1::btnView_Click()
{
    if (Text3->Text().isEmpty() || Text2->Text().isEmpty()) {
        showMessage(tr("Enter message title and body."), Dialogs::Warning);
        return;
    }
    const QString page = previewPage(Text2->Text(), Text3->Text());

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

    if (!m_form2)
        m_form2 = new Form2(this);
    m_form2->Web2->Navigate(path);
    m_dialogs.showModal(*m_form2);
}
