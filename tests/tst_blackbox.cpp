// The real program under a real X server (Xvfb), seen from outside: what the
// server receives, the window the desktop shows, where the keyboard goes.

#include "missingtool.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

namespace {

QString run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    process.waitForFinished(5000);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

// The mapped top-level windows titled exactly "Tavernly", with their sizes.
QList<QPair<QString, QSize>> tavernlyWindows()
{
    QList<QPair<QString, QSize>> found;
    const QStringList ids = run(QStringLiteral("xdotool"),
                                {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                 QStringLiteral("--name"), QStringLiteral("^Tavernly$")})
                                .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &id : ids) {
        const QString info = run(QStringLiteral("xwininfo"), {QStringLiteral("-id"), id});
        QSize size;
        for (const QString &line : info.split(QLatin1Char('\n'))) {
            if (line.trimmed().startsWith(QLatin1String("Width:")))
                size.setWidth(line.section(QLatin1Char(':'), 1).trimmed().toInt());
            if (line.trimmed().startsWith(QLatin1String("Height:")))
                size.setHeight(line.section(QLatin1Char(':'), 1).trimmed().toInt());
        }
        found.append({id, size});
    }
    return found;
}

} // namespace

class BlackBoxTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void startsAsksForTheListAndFocusesTheName();
    void nothingListeningGivesTheConnectionErrorBox();

private:
    void startClient();
    QProcess m_client;
    QTemporaryDir m_home; // the client's cache and preview land here, not in the user's own folders
};

void BlackBoxTest::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        SKIP_FOR_MISSING("needs an X display (run under xvfb-run)");
}

void BlackBoxTest::cleanup()
{
    m_client.kill();
    m_client.waitForFinished();
}

void BlackBoxTest::startClient()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), m_home.filePath(QStringLiteral("cache")));
    m_client.setProcessEnvironment(environment);
    m_client.setProgram(QStringLiteral(TAVERNLY_CLIENT));
    m_client.start();
    QVERIFY(m_client.waitForStarted());
}

void BlackBoxTest::startsAsksForTheListAndFocusesTheName()
{
    QTcpServer list;
    QTcpServer pages;
    if (!list.listen(QHostAddress::LocalHost, 8478) || !pages.listen(QHostAddress::LocalHost, 6340))
        SKIP_FOR_MISSING("the forum server's ports are in use on this machine");

    startClient(); // how soon it asks is bench_startup's figure, not a test's

    QTRY_VERIFY_WITH_TIMEOUT(list.hasPendingConnections(), 5000);
    QTcpSocket *request = list.nextPendingConnection();
    QByteArray received;
    QTRY_COMPARE_WITH_TIMEOUT(received += request->readAll(), QByteArray("GETLIST"), 5000);

    QTRY_VERIFY_WITH_TIMEOUT(pages.hasPendingConnections(), 5000);
    QTcpSocket *page = pages.nextPendingConnection();
    QTRY_VERIFY_WITH_TIMEOUT(page->bytesAvailable() > 0, 5000);
    QVERIFY(page->readAll().startsWith("GET /dn.htm HTTP/1.1"));

    QList<QPair<QString, QSize>> windows;
    QTRY_VERIFY_WITH_TIMEOUT(!(windows = tavernlyWindows()).isEmpty(), 5000);
    QCOMPARE(windows.size(), 1);
    QCOMPARE(windows.first().second, QSize(682, 535));

    // The hint is focused and wholly selected: copying takes all of it.
    run(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("--window"), windows.first().first,
                                    QStringLiteral("ctrl+c")});
    QTRY_COMPARE_WITH_TIMEOUT(run(QStringLiteral("xclip"), {QStringLiteral("-o"), QStringLiteral("-selection"),
                                                            QStringLiteral("clipboard")}),
                              QStringLiteral("<Enter the name of your forum here>"), 5000);
}

void BlackBoxTest::nothingListeningGivesTheConnectionErrorBox()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 8478))
        SKIP_FOR_MISSING("the forum server's ports are in use on this machine");
    probe.close(); // now nothing listens there

    startClient();
    // The main window and the connection-error box, both titled "Tavernly".
    QTRY_COMPARE_WITH_TIMEOUT(tavernlyWindows().size(), 2, 5000);
}

QTEST_GUILESS_MAIN(BlackBoxTest)
#include "tst_blackbox.moc"
