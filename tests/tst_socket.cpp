// The socket layer as the client relies on it.
#include "protocol/socket.h"
#include "rawport.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <sys/socket.h>

class SocketTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void closeEndsTheConnectionAtOnce();
    void sendsUtf8AndCompletesOnceAllIsWritten();
    void largeSendCompletesOnce();
    void receivesWhatArrives();
    void peerCloseIsNotAnError();
    void failuresAreErrors_data();
    void failuresAreErrors();
    void closedSocketReportsNothingMore();
    void endSendingIsSeenByThePeer_data();
    void endSendingIsSeenByThePeer();
    void closeBeforeTheRequestArrived();

private:
    QTcpSocket *acceptOne();
    QTcpServer *m_server = nullptr;
};

void SocketTest::init()
{
    m_server = new QTcpServer(this);
    QVERIFY(m_server->listen(QHostAddress::LocalHost, 0));
}

void SocketTest::cleanup()
{
    delete m_server;
}

QTcpSocket *SocketTest::acceptOne()
{
    if (!m_server->hasPendingConnections() && !m_server->waitForNewConnection(5000))
        return nullptr;
    return m_server->nextPendingConnection();
}

void SocketTest::closeEndsTheConnectionAtOnce()
{
    Socket socket;
    QCOMPARE(socket.state(), QAbstractSocket::UnconnectedState);
    QSignalSpy connected(&socket, &Socket::connected);
    socket.connectToHost(QStringLiteral("127.0.0.1"), m_server->serverPort());
    QVERIFY(socket.state() != QAbstractSocket::UnconnectedState);
    QTRY_COMPARE(connected.size(), 1);
    QCOMPARE(socket.state(), QAbstractSocket::ConnectedState);
    socket.close();
    QCOMPARE(socket.state(), QAbstractSocket::UnconnectedState);
}

void SocketTest::sendsUtf8AndCompletesOnceAllIsWritten()
{
    Socket socket;
    QSignalSpy complete(&socket, &Socket::sendCompleted);
    connect(&socket, &Socket::connected, this, [&] { socket.send(QStringLiteral("Bière*<b>été</b>")); });
    socket.connectToHost(QStringLiteral("127.0.0.1"), m_server->serverPort());
    QTRY_COMPARE(complete.size(), 1);
    QTcpSocket *peer = acceptOne();
    QVERIFY(peer);
    QTRY_COMPARE(peer->bytesAvailable(), qint64(QByteArray("Bière*<b>été</b>").size()));
    QCOMPARE(peer->readAll(), QByteArray("Bière*<b>été</b>"));
}

void SocketTest::largeSendCompletesOnce()
{
    Socket socket;
    QSignalSpy complete(&socket, &Socket::sendCompleted);
    const QString text(4 * 1024 * 1024, QLatin1Char('x'));
    connect(&socket, &Socket::connected, this, [&] { socket.send(text); });
    socket.connectToHost(QStringLiteral("127.0.0.1"), m_server->serverPort());
    QTcpSocket *peer = acceptOne();
    QVERIFY(peer);
    QByteArray received;
    QTRY_VERIFY_WITH_TIMEOUT((received += peer->readAll()).size() == text.size(), 10000);
    QTRY_COMPARE(complete.size(), 1);
    QTest::qWait(20);
    QCOMPARE(complete.size(), 1);
}

void SocketTest::receivesWhatArrives()
{
    Socket socket;
    QSignalSpy arrival(&socket, &Socket::dataReceived);
    socket.connectToHost(QStringLiteral("127.0.0.1"), m_server->serverPort());
    QTcpSocket *peer = acceptOne();
    QVERIFY(peer);
    peer->write("Ale*Mead");
    QTRY_VERIFY(!arrival.isEmpty());
    QByteArray got = socket.readAll();
    QTRY_COMPARE(got += socket.readAll(), QByteArray("Ale*Mead"));
}

void SocketTest::peerCloseIsNotAnError()
{
    Socket socket;
    QSignalSpy errors(&socket, &Socket::error);
    QSignalSpy closed(&socket, &Socket::peerClosed);
    QSignalSpy arrival(&socket, &Socket::dataReceived);
    socket.connectToHost(QStringLiteral("127.0.0.1"), m_server->serverPort());
    QTcpSocket *peer = acceptOne();
    QVERIFY(peer);
    peer->write("EXISTS");
    peer->disconnectFromHost();
    QTRY_COMPARE(closed.size(), 1);
    QCOMPARE(errors.size(), 0);
    QVERIFY(!arrival.isEmpty());
    QCOMPARE(socket.readAll(), QByteArray("EXISTS"));
}

void SocketTest::failuresAreErrors_data()
{
    QTest::addColumn<bool>("refuse");
    QTest::newRow("refused") << true;
    QTest::newRow("reset") << false;
}

void SocketTest::failuresAreErrors()
{
    QFETCH(bool, refuse);
    Socket socket;
    QSignalSpy errors(&socket, &Socket::error);
    QSignalSpy closed(&socket, &Socket::peerClosed);
    const quint16 port = m_server->serverPort();
    if (refuse)
        m_server->close();
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!refuse) {
        QTcpSocket *peer = acceptOne();
        QVERIFY(peer);
        QTRY_COMPARE(socket.state(), QAbstractSocket::ConnectedState);
        const struct linger hard{1, 0};
        ::setsockopt(int(peer->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        peer->abort();
    }
    // Only a build that can tell a reset from a close reports it as an error.
    const bool error = refuse || Socket::tellsResetFromClose();
    QTRY_COMPARE(errors.size() + closed.size(), 1);
    QCOMPARE(errors.size(), error ? 1 : 0);
}

void SocketTest::closedSocketReportsNothingMore()
{
    Socket socket;
    QSignalSpy all(&socket, &Socket::dataReceived);
    QSignalSpy errors(&socket, &Socket::error);
    QSignalSpy closed(&socket, &Socket::peerClosed);
    socket.connectToHost(QStringLiteral("127.0.0.1"), m_server->serverPort());
    QTcpSocket *peer = acceptOne();
    QVERIFY(peer);
    QTRY_COMPARE(socket.state(), QAbstractSocket::ConnectedState);
    socket.close();
    peer->write("late");
    peer->disconnectFromHost();
    QTest::qWait(50); // nothing may arrive; there is no event to wait for
    QCOMPARE(all.size(), 0);
    QCOMPARE(errors.size(), 0);
    QCOMPARE(closed.size(), 0);
}

void SocketTest::endSendingIsSeenByThePeer_data()
{
    QTest::addColumn<int>("size");          // bytes sent before the end
    QTest::addColumn<QByteArray>("answer"); // what the peer says after reading the end
    QTest::addColumn<bool>("reset");        // then the peer resets instead of closing

    QTest::newRow("closed") << 16 << QByteArray() << false;
    // Written in many pieces: the end waits for the last of them.
    QTest::newRow("large, closed") << 4 * 1024 * 1024 << QByteArray() << false;
    QTest::newRow("answered, then closed") << 16 << QByteArray("OK") << false;
    QTest::newRow("reset") << 16 << QByteArray() << true;
    QTest::newRow("answered, then reset") << 16 << QByteArray("OK") << true;
}

// A half-close: the peer reads everything and then the end, the client can
// still hear from it, and how the peer then ends the connection is told apart
// where the platform can (a close after our end leaves the same TCP state as a
// reset does).
void SocketTest::endSendingIsSeenByThePeer()
{
    QFETCH(int, size);
    QFETCH(QByteArray, answer);
    QFETCH(bool, reset);

    RawPort raw(1);
    Socket socket;
    QSignalSpy complete(&socket, &Socket::sendCompleted);
    QSignalSpy errors(&socket, &Socket::error);
    QSignalSpy closed(&socket, &Socket::peerClosed);
    const QString text(size, QLatin1Char('x'));
    connect(&socket, &Socket::connected, this, [&] {
        socket.send(text);
        socket.endSending(); // at once, with all of it still unwritten
    });
    socket.connectToHost(QStringLiteral("127.0.0.1"), raw.port());
    const int peer = raw.accept();
    QVERIFY(peer >= 0);

    QByteArray received;
    const auto readToEnd = [&] {
        char buffer[65536];
        ssize_t got = 0;
        while ((got = ::recv(peer, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
            received.append(buffer, got);
        return got == 0;
    };
    const bool ended = QTest::qWaitFor(readToEnd, 10000);
    QCOMPARE(received.size(), qsizetype(size));
    QVERIFY(received == text.toUtf8());
    QVERIFY(ended);
    QCOMPARE(complete.size(), 1);
    QVERIFY(socket.sendingEnded());
    QCOMPARE(socket.state(), QAbstractSocket::ConnectedState);
    QCOMPARE(errors.size() + closed.size(), 0);

    if (!answer.isEmpty()) {
        QCOMPARE(::send(peer, answer.constData(), size_t(answer.size()), MSG_NOSIGNAL), ssize_t(answer.size()));
        QByteArray heard;
        QTRY_COMPARE(heard += socket.readAll(), answer);
    }
    if (reset) {
        const struct linger hard{1, 0};
        ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    ::close(peer);
    QTRY_COMPARE(errors.size() + closed.size(), 1);
    QCOMPARE(errors.size(), reset && Socket::tellsResetFromClose() ? 1 : 0);
    QCOMPARE(complete.size(), 1);
}

// The peer closes before the request reaches it, which then meets a reset:
// a close that came before our end, never one after it (the client writes
// before it reads the close).
void SocketTest::closeBeforeTheRequestArrived()
{
    RawPort raw(1);
    Socket socket;
    QSignalSpy errors(&socket, &Socket::error);
    QSignalSpy closed(&socket, &Socket::peerClosed);
    bool closedAfterOurEnd = false;
    connect(&socket, &Socket::connected, this, [&] {
        QVERIFY(raw.acceptAndClose());
        socket.send(QStringLiteral("Ale*<b>T</b>*B"));
        socket.endSending();
    });
    connect(&socket, &Socket::peerClosed, this, [&] { closedAfterOurEnd = socket.sendingEnded(); });
    socket.connectToHost(QStringLiteral("127.0.0.1"), raw.port());
    QTRY_COMPARE(errors.size() + closed.size(), 1);
    // Where a reset passes for a close, the client cannot know better.
    if (Socket::tellsResetFromClose())
        QVERIFY(!closedAfterOurEnd);
}

QTEST_GUILESS_MAIN(SocketTest)
#include "tst_socket.moc"
