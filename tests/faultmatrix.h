#pragma once
// What every row of the fault matrix shares: the window as the user left it
// before an exchange meets a misbehaving server, a watch on the directory and
// the busy state while the exchange runs, and the proof afterwards that the
// window still works.

#include "ui/widgets/htmlview.h"
#include "protocol/socket.h"
#include "postdriver.h"

#include <QTimer>

Q_DECLARE_METATYPE(FakeServer::Behaviour)

namespace faultmatrix {

using Action = FakeServer::Behaviour::Action;
using postdriver::unlocked;

inline const QString connectionError = QStringLiteral(
    "Connection error.  Check your internet connection or visit http://tavernly.test/ for maintenance schedules.");
inline const QStringList previous{QStringLiteral("Ale"), QStringLiteral("Mead")};
inline const QString typedName = QStringLiteral("Brewers");
inline const QString typedTitle = QStringLiteral("Hello");
inline const QString typedBody = QStringLiteral("line one\nline two");
inline const QString keptBody = QStringLiteral("line one<br>\r\nline two"); // as the body field holds it

// The list exchange's quiet time, long enough that a reply trickling in a
// byte every few milliseconds is never taken as whole on a loaded machine;
// its limit, short enough for a server that never ends.
inline Timing matrixTiming()
{
    Timing timing = WindowFixture::fastTiming();
    timing.listQuietMs = 250;
    timing.listLimitMs = 1500;
    return timing;
}

// The longest a create or post may keep the window locked: the window's own
// limit, and slack for a loaded machine.
inline int lockBudgetMs()
{
    return WindowFixture::fastTiming().requestLimitMs + 1000;
}

// A byte literal with every byte, NULs too.
template<std::size_t N>
QByteArray bytes(const char (&text)[N])
{
    return QByteArray(text, qsizetype(N - 1));
}

inline QList<QByteArray> bytewise(const QByteArray &text)
{
    QList<QByteArray> pieces;
    for (const char c : text)
        pieces.append(QByteArray(1, c));
    return pieces;
}

// The window loaded, the directory showing the previous entries, and the
// forum name, title and body typed as a user types them.
inline void prepare(WindowFixture &f)
{
    f.server.setPage("/tav/Mead.htm", "<p>Mead page</p>");
    f.server.setPage("/tav/Stout.htm", "<p>Stout page</p>");
    f.load();
    MainWindow &w = *f.window;
    QVERIFY(f.fillDirectory(previous));
    postdriver::type(MainWindowProbe::forumNameEdit(w), typedName); // start-up selected the hint: typing replaces it
    postdriver::compose(w, typedTitle, typedBody);
    QCOMPARE(MainWindowProbe::forumNameEdit(w)->text(), typedName);
    QCOMPARE(MainWindowProbe::bodyEdit(w)->text(), keptBody);
}

inline void openForum(MainWindow &w, int row)
{
    QListWidgetItem *entry = MainWindowProbe::directoryList(w)->item(row);
    QVERIFY(entry);
    QTest::mouseDClick(MainWindowProbe::directoryList(w)->viewport(), Qt::LeftButton, {}, MainWindowProbe::directoryList(w)->visualItemRect(entry).center());
}

// Samples what the user can see, every few milliseconds and after every event
// of the list socket and every box: the directory is always one of the
// allowed states, never part of a reply.
class Watch : public QObject
{
public:
    Watch(WindowFixture &f, const QList<QStringList> &allowed, bool busyAllowed)
        : m_f(f)
        , m_allowed(allowed)
        , m_busyAllowed(busyAllowed)
    {
        const Socket *list = &MainWindowProbe::listExchange(*f.window)->socket();
        connect(list, &Socket::dataReceived, this, &Watch::sample);
        connect(list, &Socket::peerClosed, this, &Watch::sample);
        connect(list, &Socket::error, this, &Watch::sample);
        connect(&m_timer, &QTimer::timeout, this, &Watch::sample);
        f.dialogs.whileOpen = [this](const ScriptedDialogs::Box &) { sample(); };
        m_timer.start(2);
        sample();
    }
    ~Watch() override { stop(); }

    void stop()
    {
        m_timer.stop();
        disconnect(&MainWindowProbe::listExchange(*m_f.window)->socket(), nullptr, this, nullptr);
        m_f.dialogs.whileOpen = nullptr;
    }

    QList<QStringList> strays; // directory states that were none of the allowed ones
    int lockedSamples = 0;     // samples with the window locked, where it never may be
    int samples = 0;

private:
    void sample()
    {
        ++samples;
        const QStringList shown = MainWindowProbe::directoryList(*m_f.window)->entries();
        if (!m_allowed.contains(shown) && strays.size() < 3)
            strays.append(shown.mid(0, 5));
        if (!m_busyAllowed && !unlocked(*m_f.window))
            ++lockedSamples;
    }

    WindowFixture &m_f;
    QList<QStringList> m_allowed;
    bool m_busyAllowed;
    QTimer m_timer;
};

inline void checkWatch(Watch &watch)
{
    watch.stop();
    if (!watch.strays.isEmpty())
        QFAIL(qPrintable(QStringLiteral("the directory showed %1").arg(watch.strays.first().join(u'|'))));
    QCOMPARE(watch.lockedSamples, 0);
}

// After the fault the window goes on as before: a refresh fills the
// directory, a double click shows a forum's page, the option picture reacts,
// and nothing left over from the fault raises another box.
inline void stillWorks(WindowFixture &f)
{
    MainWindow &w = *f.window;
    const qsizetype boxes = f.dialogs.boxes.size();
    QVERIFY(f.fillDirectory({QStringLiteral("Porter"), QStringLiteral("Stout")}));
    openForum(w, 1);
    QTRY_VERIFY(MainWindowProbe::pageView(w)->toPlainText().contains(QStringLiteral("Stout page")));
    const bool option = MainWindowProbe::stampWanted(w);
    postdriver::click(MainWindowProbe::stampOption(w));
    QVERIFY(MainWindowProbe::stampWanted(w) != option);
    QCOMPARE(f.dialogs.boxes.size(), boxes);
}

} // namespace faultmatrix
