#pragma once
// What the post tests do as a user does it, and loopback ports that misbehave
// in ways the fake server cannot: a connection that never opens, and one that
// the server resets before the client's request has left.

#include "platform/listbox.h"
#include "platform/memobox.h"
#include "platform/picturebutton.h"
#include "platform/textbox.h"
#include "windowfixture.h"

#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace postdriver {

inline void selectForum(Form1 &w, int index)
{
    QListWidgetItem *entry = w.List1->item(index);
    QVERIFY(entry);
    QTest::mouseClick(w.List1->viewport(), Qt::LeftButton, {}, w.List1->visualItemRect(entry).center());
    QCOMPARE(w.List1->ListIndex(), index);
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
inline void compose(Form1 &w, const QString &title, const QString &body)
{
    type(w.Text2, title);
    w.Text3->setFocus();
    const QStringList lines = body.split(u'\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (i > 0)
            QTest::keyClick(w.Text3, Qt::Key_Return);
        type(w.Text3, lines.at(i));
    }
}

inline void click(QWidget *control)
{
    QTest::mouseClick(control, Qt::LeftButton);
}

// The nine controls the busy state locks are all enabled.
inline bool unlocked(const Form1 &w)
{
    for (const QWidget *control : {static_cast<QWidget *>(w.List1), static_cast<QWidget *>(w.Text1),
                                   static_cast<QWidget *>(w.Text2), static_cast<QWidget *>(w.Text3),
                                   static_cast<QWidget *>(w.btnCheck), static_cast<QWidget *>(w.btnCreate),
                                   static_cast<QWidget *>(w.btnClear), static_cast<QWidget *>(w.btnClear2),
                                   static_cast<QWidget *>(w.btnPost)})
        if (!control->isEnabled())
            return false;
    return true;
}

// Builds the fixture's window anew with its posts going to port.
inline void pointPostsAt(WindowFixture &f, quint16 port)
{
    ServerEndpoint server = f.server.endpoint();
    server.postPort = port;
    f.window = std::make_unique<Form1>(server, f.dialogs, f.clock);
    f.window->setTiming(WindowFixture::fastTiming());
    f.window->setPreviewFolders({f.folder.path(), QString()});
}

// A listening socket on loopback, outside the event loop.
class RawPort
{
public:
    explicit RawPort(int backlog)
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (::bind(m_listener, reinterpret_cast<sockaddr *>(&address), size) == 0
            && ::listen(m_listener, backlog) == 0
            && ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &size) == 0)
            m_port = ntohs(address.sin_port);
    }
    ~RawPort()
    {
        for (int filler : m_fillers)
            ::close(filler);
        ::close(m_listener);
    }
    RawPort(const RawPort &) = delete;
    RawPort &operator=(const RawPort &) = delete;

    quint16 port() const { return m_port; }

    // Fills the queue of connections waiting to be accepted. Once it is full
    // the kernel ignores new attempts: they neither open nor fail.
    bool stall(int fillers)
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(m_port);
        for (int i = 0; i < fillers; ++i) {
            const int filler = ::socket(AF_INET, SOCK_STREAM, 0);
            m_fillers.push_back(filler);
            if (::connect(filler, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
                return false;
        }
        return QTest::qWaitFor([&] { return waiting() == fillers; }, 5000);
    }

    // Accepts the next connection and resets it at once.
    bool acceptAndReset()
    {
        pollfd ready{m_listener, POLLIN, 0};
        if (::poll(&ready, 1, 5000) != 1)
            return false;
        const int connection = ::accept(m_listener, nullptr, nullptr);
        if (connection < 0)
            return false;
        const linger hard{1, 0};
        ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        ::close(connection);
        return true;
    }

private:
    // Connections in the accept queue, as the kernel counts them.
    int waiting() const
    {
        tcp_info info{};
        socklen_t size = sizeof info;
        if (::getsockopt(m_listener, IPPROTO_TCP, TCP_INFO, &info, &size) != 0)
            return -1;
        return int(info.tcpi_unacked);
    }

    int m_listener = -1;
    quint16 m_port = 0;
    std::vector<int> m_fillers;
};

} // namespace postdriver
