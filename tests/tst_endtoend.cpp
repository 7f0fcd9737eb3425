// The real window against the real forum server: create a forum, post to it,
// and read the message on the forum's page.
#include "app/form1.h"
#include "fixedclock.h"
#include "platform/htmlview.h"
#include "platform/listbox.h"
#include "platform/memobox.h"
#include "platform/picturebutton.h"
#include "platform/textbox.h"
#include "scripteddialogs.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/prctl.h>

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

private:
    bool startServer(QProcess &server, const QString &dataDir, ServerEndpoint &endpoint);
};

bool EndToEndTest::startServer(QProcess &server, const QString &dataDir, ServerEndpoint &endpoint)
{
    server.setProgram(QStringLiteral(TAVERNLY_SERVER));
    server.setArguments({QStringLiteral("--listen"), QStringLiteral("127.0.0.1"), QStringLiteral("--data"), dataDir,
                         QStringLiteral("--list-port"), QStringLiteral("0"), QStringLiteral("--create-port"),
                         QStringLiteral("0"), QStringLiteral("--post-port"), QStringLiteral("0"),
                         QStringLiteral("--http-port"), QStringLiteral("0")});
    server.setStandardErrorFile(QProcess::nullDevice());
    // The server goes with the test, however the test ends.
    server.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    server.start();
    if (!server.waitForStarted())
        return false;
    QByteArray line;
    if (!QTest::qWaitFor([&] { return (line += server.readAllStandardOutput()).contains('\n'); }, 10000))
        return false;
    const QRegularExpression ports(
        QStringLiteral("listening list=(\\d+) create=(\\d+) post=(\\d+) http=(\\d+)"));
    const QRegularExpressionMatch match = ports.match(QString::fromUtf8(line));
    if (!match.hasMatch())
        return false;
    endpoint.host = QStringLiteral("127.0.0.1");
    endpoint.listPort = match.captured(1).toUShort();
    endpoint.createPort = match.captured(2).toUShort();
    endpoint.postPort = match.captured(3).toUShort();
    endpoint.httpPort = match.captured(4).toUShort();
    endpoint.serviceUrl = QStringLiteral("http://127.0.0.1:%1/").arg(endpoint.httpPort);
    return true;
}

void EndToEndTest::createPostAndRead()
{
    QTemporaryDir data;
    QProcess server;
    ServerEndpoint endpoint;
    QVERIFY(startServer(server, data.path(), endpoint));

    ScriptedDialogs dialogs;
    FixedClock clock;
    Form1 w(endpoint, dialogs, clock);
    w.Form_Load();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QTRY_VERIFY_WITH_TIMEOUT(w.List1->entries().contains(QStringLiteral("Welcome")), 10000);
    QTRY_VERIFY(w.Web1->toPlainText().contains(QStringLiteral("Welcome")));

    // A new forum, named with a space and a letter beyond ASCII.
    const QString forum = QStringLiteral("Café Ale");
    w.Text1->setFocus();
    type(w.Text1, forum);
    QTest::keyClick(w.Text1, Qt::Key_Return);
    QTRY_COMPARE_WITH_TIMEOUT(dialogs.messageTexts().value(0),
                              QStringLiteral("You have created a new forum in Tavernly!  Begin now by posting a message."),
                              10000);
    QTRY_VERIFY_WITH_TIMEOUT(w.List1->entries().contains(forum), 10000);

    // A message with the toolbar's bold and a line break from Enter.
    const int row = int(w.List1->entries().indexOf(forum));
    QTest::mouseClick(w.List1->viewport(), Qt::LeftButton, {}, w.List1->visualItemRect(w.List1->item(row)).center());
    QTest::keyClicks(w.Text2, QStringLiteral("First round"));
    QTest::keyClick(w.Text2, Qt::Key_Return);
    QTest::mouseClick(w.btnBOLD, Qt::LeftButton);
    QTest::keyClicks(w.Text3, QStringLiteral("on the house"));
    QTest::mouseClick(w.btnBOLD, Qt::LeftButton);
    QTest::keyClick(w.Text3, Qt::Key_Return);
    QTest::keyClicks(w.Text3, QStringLiteral("tonight"));
    QTest::mouseClick(w.btnPost, Qt::LeftButton);

    QTRY_VERIFY_WITH_TIMEOUT(dialogs.messageTexts().contains(QStringLiteral("Message posted.")), 10000);
    QCOMPARE(w.List1->Text(), forum);
    QTRY_VERIFY_WITH_TIMEOUT(w.Web1->toPlainText().contains(QStringLiteral("on the house\ntonight")), 10000);
    QVERIFY(w.Web1->toPlainText().contains(QStringLiteral("First round")));
    QVERIFY(w.Web1->toHtml().contains(QStringLiteral("font-weight:700")));

    server.terminate();
    QVERIFY(server.waitForFinished(5000));
}

QTEST_MAIN(EndToEndTest)
#include "tst_endtoend.moc"
