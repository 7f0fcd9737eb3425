// The floor for the start-up figures: a bare Qt window, the size of the
// client's, holding one text browser with a short page.

#include <QApplication>
#include <QTextBrowser>
#include <QVBoxLayout>
#include <QWidget>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Bare text browser"));
    auto *layout = new QVBoxLayout(&window);
    auto *browser = new QTextBrowser(&window);
    layout->addWidget(browser);
    browser->setHtml(QStringLiteral("<h1>Tavernly</h1><p>Welcome to Tavernly, a small forum service.</p>"));
    window.resize(682, 535);
    window.show();
    return app.exec();
}
