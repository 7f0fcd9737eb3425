#include "ui/clock.h"
#include "ui/files.h"
#include "ui/mainwindow.h"
#include "ui/widgets/dialogs.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tavernly"));
    QApplication::setOrganizationDomain(QStringLiteral("tavernly.org"));
    QApplication::setDesktopFileName(QStringLiteral("org.tavernly.Tavernly"));

    QtDialogs dialogs;
    Clock clock;
    MainWindow window(ServerEndpoint::standard(), dialogs, clock);
    dialogs.setParent(&window);
    window.setPreviewFolders({applicationFolder(), userCacheFolder()});
    if (const QString cache = userCacheFolder(); !cache.isEmpty())
        window.setPageCacheFolder(cache + QStringLiteral("/pages"));
    if (const QString data = userDataFolder(); !data.isEmpty())
        window.setDataFolder(data);
    window.start();
    return app.exec();
}
