#include "windowfixture.h"

#include "ui/widgets/listwidget.h"

#include <QTest>

Timing WindowFixture::fastTiming()
{
    Timing timing;
    timing.listQuietMs = 50;
    timing.requestLimitMs = 1500;
    timing.refreshMs = 60000;
    return timing;
}

WindowFixture::WindowFixture(const Timing &timing)
{
    server.reply(FakeServer::List, QByteArray());
    window = std::make_unique<MainWindow>(server.endpoint(), dialogs, clock);
    window->setTiming(timing);
    window->setPreviewFolders({folder.path(), QString()});
}

WindowFixture::~WindowFixture() = default;

void WindowFixture::load()
{
    window->start();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
}

bool WindowFixture::fillDirectory(const QStringList &names)
{
    server.reply(FakeServer::List, names.join(QLatin1Char('*')).toUtf8());
    MainWindowProbe::refreshDirectory(*window);
    return QTest::qWaitFor([&] { return MainWindowProbe::directoryList(*window)->entries() == names; }, 5000);
}
