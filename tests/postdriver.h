#pragma once
// What the post tests do as a user does it.

#include "ui/widgets/lineedit.h"
#include "ui/widgets/listwidget.h"
#include "ui/widgets/picturebutton.h"
#include "ui/widgets/plaintextedit.h"
#include "rawport.h"
#include "windowfixture.h"

#include <QTest>

namespace postdriver {

using ::RawPort;

inline void selectForum(MainWindow &w, int index)
{
    QListWidgetItem *entry = MainWindowProbe::directoryList(w)->item(index);
    QVERIFY(entry);
    QTest::mouseClick(MainWindowProbe::directoryList(w)->viewport(), Qt::LeftButton, {}, MainWindowProbe::directoryList(w)->visualItemRect(entry).center());
    QCOMPARE(MainWindowProbe::directoryList(w)->selectedIndex(), index);
}

// Types text key by key, letters beyond ASCII too.
inline void type(QWidget *field, const QString &text)
{
    for (QChar c : text) {
        if (c.unicode() < 128)
            QTest::keyClick(field, char(c.unicode()));
        else
            QTest::sendKeyEvent(QTest::Click, field, Qt::Key_unknown, QString(c), Qt::NoModifier);
    }
}

// Types the title and the body; a line break in body is typed as Enter.
inline void compose(MainWindow &w, const QString &title, const QString &body)
{
    type(MainWindowProbe::titleEdit(w), title);
    MainWindowProbe::bodyEdit(w)->setFocus();
    const QStringList lines = body.split(u'\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (i > 0)
            QTest::keyClick(MainWindowProbe::bodyEdit(w), Qt::Key_Return);
        type(MainWindowProbe::bodyEdit(w), lines.at(i));
    }
}

inline void click(QWidget *control)
{
    QTest::mouseClick(control, Qt::LeftButton);
}

// The nine controls the busy state locks are all enabled.
inline bool unlocked(const MainWindow &w)
{
    for (const QWidget *control : {static_cast<QWidget *>(MainWindowProbe::directoryList(w)), static_cast<QWidget *>(MainWindowProbe::forumNameEdit(w)),
                                   static_cast<QWidget *>(MainWindowProbe::titleEdit(w)), static_cast<QWidget *>(MainWindowProbe::bodyEdit(w)),
                                   static_cast<QWidget *>(MainWindowProbe::stampOption(w)), static_cast<QWidget *>(MainWindowProbe::createButton(w)),
                                   static_cast<QWidget *>(MainWindowProbe::clearNameButton(w)), static_cast<QWidget *>(MainWindowProbe::clearMessageButton(w)),
                                   static_cast<QWidget *>(MainWindowProbe::postButton(w))})
        if (!control->isEnabled())
            return false;
    return true;
}

// Builds the fixture's window anew with its posts going to port.
inline void pointPostsAt(WindowFixture &f, quint16 port)
{
    ServerEndpoint server = f.server.endpoint();
    server.postPort = port;
    f.window = std::make_unique<MainWindow>(server, f.dialogs, f.clock);
    f.window->setTiming(WindowFixture::fastTiming());
    f.window->setPreviewFolders({f.folder.path(), QString()});
}

} // namespace postdriver
