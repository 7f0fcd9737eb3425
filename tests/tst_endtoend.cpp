// The real window against the real forum server: create a forum, post to it,
// and read the message on the forum's page.
#include "mainwindowprobe.h"
#include "fixedclock.h"
#include "ui/widgets/htmlview.h"
#include "ui/widgets/lineedit.h"
#include "ui/widgets/listwidget.h"
#include "ui/widgets/picturebutton.h"
#include "ui/widgets/plaintextedit.h"
#include "scripteddialogs.h"
#include "serverprocess.h"

#include <QTest>

namespace {

// Types text key by key, letters beyond ASCII too.
void type(QWidget *field, const QString &text)
{
    for (QChar c : text) {
        if (c.unicode() < 128)
            QTest::keyClick(field, char(c.unicode()));
        else
            QTest::sendKeyEvent(QTest::Click, field, Qt::Key_unknown, QString(c), Qt::NoModifier);
    }
}

} // namespace

class EndToEndTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void createPostAndRead();
};

void EndToEndTest::createPostAndRead()
{
    ServerProcess server(ServerProcess::Log::Dropped);
    QString error;
    QVERIFY2(server.start(QStringLiteral(TAVERNLY_SERVER), {}, &error), qPrintable(error));
    ServerEndpoint endpoint;
    endpoint.host = QStringLiteral("127.0.0.1");
    endpoint.listPort = server.ports().list;
    endpoint.createPort = server.ports().create;
    endpoint.postPort = server.ports().post;
    endpoint.httpPort = server.ports().http;
    endpoint.serviceUrl = QStringLiteral("http://127.0.0.1:%1/").arg(endpoint.httpPort);

    ScriptedDialogs dialogs;
    FixedClock clock;
    MainWindow w(endpoint, dialogs, clock);
    w.start();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QTRY_VERIFY_WITH_TIMEOUT(MainWindowProbe::directoryList(w)->entries().contains(QStringLiteral("Welcome")), 10000);
    QTRY_VERIFY(MainWindowProbe::pageView(w)->toPlainText().contains(QStringLiteral("Welcome")));

    // A new forum, named with a space and a letter beyond ASCII.
    const QString forum = QStringLiteral("Café Ale");
    MainWindowProbe::forumNameEdit(w)->setFocus();
    type(MainWindowProbe::forumNameEdit(w), forum);
    QTest::keyClick(MainWindowProbe::forumNameEdit(w), Qt::Key_Return);
    QTRY_COMPARE_WITH_TIMEOUT(dialogs.messageTexts().value(0),
                              QStringLiteral("You have created a new forum in Tavernly!  Begin now by posting a message."),
                              10000);
    QTRY_VERIFY_WITH_TIMEOUT(MainWindowProbe::directoryList(w)->entries().contains(forum), 10000);

    // A message with the toolbar's bold and a line break from Enter.
    const int row = int(MainWindowProbe::directoryList(w)->entries().indexOf(forum));
    QTest::mouseClick(MainWindowProbe::directoryList(w)->viewport(), Qt::LeftButton, {}, MainWindowProbe::directoryList(w)->visualItemRect(MainWindowProbe::directoryList(w)->item(row)).center());
    QTest::keyClicks(MainWindowProbe::titleEdit(w), QStringLiteral("First round"));
    QTest::keyClick(MainWindowProbe::titleEdit(w), Qt::Key_Return);
    QTest::mouseClick(MainWindowProbe::boldButton(w), Qt::LeftButton);
    QTest::keyClicks(MainWindowProbe::bodyEdit(w), QStringLiteral("on the house"));
    QTest::mouseClick(MainWindowProbe::boldButton(w), Qt::LeftButton);
    QTest::keyClick(MainWindowProbe::bodyEdit(w), Qt::Key_Return);
    QTest::keyClicks(MainWindowProbe::bodyEdit(w), QStringLiteral("tonight"));
    QTest::mouseClick(MainWindowProbe::postButton(w), Qt::LeftButton);

    QTRY_VERIFY_WITH_TIMEOUT(dialogs.messageTexts().contains(QStringLiteral("Message posted.")), 10000);
    QCOMPARE(MainWindowProbe::directoryList(w)->selectedEntry(), forum);
    QTRY_VERIFY_WITH_TIMEOUT(MainWindowProbe::pageView(w)->toPlainText().contains(QStringLiteral("on the house\ntonight")), 10000);
    QVERIFY(MainWindowProbe::pageView(w)->toPlainText().contains(QStringLiteral("First round")));
    QVERIFY(MainWindowProbe::pageView(w)->toHtml().contains(QStringLiteral("font-weight:700")));

    QVERIFY(server.stop());
}

QTEST_MAIN(EndToEndTest)
#include "tst_endtoend.moc"
