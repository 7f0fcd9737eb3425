#include "app/form1.h"
#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/files.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tavernly"));
    QApplication::setOrganizationDomain(QStringLiteral("tavernly.org"));
    QApplication::setDesktopFileName(QStringLiteral("org.tavernly.Tavernly"));

    QtDialogs dialogs;
    Clock clock;
    Form1 window(ServerEndpoint::standard(), dialogs, clock);
    dialogs.setParent(&window);
    window.setPreviewFolders({applicationFolder(), userCacheFolder()});
    window.Form_Load();
    return app.exec();
}
