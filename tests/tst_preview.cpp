// The preview: the page file it writes, the window it shows, and what it
// leaves alone.
#include "ui/previewpage.h"
#include "ui/previewwindow.h"
#include "ui/widgets/htmlview.h"
#include "ui/widgets/lineedit.h"
#include "ui/widgets/listwidget.h"
#include "ui/widgets/picturebutton.h"
#include "ui/widgets/plaintextedit.h"
#include "windowfixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

namespace {

QByteArray page(const QByteArray &title, const QByteArray &body)
{
    return "<table width=\"100%\" border=\"0\"><tr><td bgcolor=\"#666666\"><b><font color=\"#FFFFFF\">" + title
           + "</b></td></tr><tr><td bgcolor=\"#EAEAEA\"><font color=\"#000000\">" + body
           + "</font></td></tr></table><br>";
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

// What the preview window holds while it is open.
struct Seen
{
    QString caption;
    QSize size;
    bool fixedWithoutMinMax;
    QRect viewGeometry;
    QString address;
    QString text;
};

void watchPreview(ScriptedDialogs &dialogs, QList<Seen> &seen)
{
    dialogs.whileModal = [&seen](QDialog &window) {
        auto *view = window.findChild<HtmlView *>(QStringLiteral("previewView"));
        const Qt::WindowFlags minMax = Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint;
        const bool fixed = window.minimumSize() == window.maximumSize() && !(window.windowFlags() & minMax);
        seen.append({window.windowTitle(), window.size(), fixed, view ? view->geometry() : QRect(),
                     view ? view->address().toLocalFile() : QString(), view ? view->toPlainText() : QString()});
    };
}

void preview(MainWindow &w, const QString &title, const QString &body)
{
    MainWindowProbe::titleEdit(w)->setText(title);
    MainWindowProbe::bodyEdit(w)->setText(body);
    QTest::mouseClick(MainWindowProbe::previewButton(w), Qt::LeftButton);
}

// A plain file: no folder can be made under it.
QString fileInTheWay(const WindowFixture &f)
{
    const QString path = QDir(f.folder.path()).filePath(QStringLiteral("a-file"));
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.close();
    return path;
}

} // namespace

class PreviewTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void pageIsTheMessageAsOneEntry();
    void writesThePageAndShowsIt();
    void emptyTitleOrBodyIsRefused_data();
    void emptyTitleOrBodyIsRefused();
    void blankTitleAndStampOptionChangeNothing();
    void secondPreviewShowsTheNewText();
    void unwritableFolderFallsBack();
    void nothingWritableGivesAWarning();
};

void PreviewTest::pageIsTheMessageAsOneEntry()
{
    const QString page = ::previewPage(QStringLiteral("Hi & <i>you</i>"), QStringLiteral("a<br>b</table>"));
    QCOMPARE(page, QStringLiteral("<table width=\"100%\" border=\"0\"><tr><td bgcolor=\"#666666\"><b><font color=\"#FFFFFF\">"
                   "Hi & <i>you</i></b></td></tr><tr><td bgcolor=\"#EAEAEA\"><font color=\"#000000\">"
                   "a<br>b</table></font></td></tr></table><br>"));
    QCOMPARE(::previewPage(QStringLiteral("   "), QStringLiteral("x")),
             QStringLiteral("<table width=\"100%\" border=\"0\"><tr><td bgcolor=\"#666666\"><b><font color=\"#FFFFFF\">"
             "   </b></td></tr><tr><td bgcolor=\"#EAEAEA\"><font color=\"#000000\">x</font></td></tr></table><br>"));
}

void PreviewTest::writesThePageAndShowsIt()
{
    WindowFixture f;
    f.load();
    MainWindow &w = *f.window;
    QVERIFY(f.fillDirectory({QStringLiteral("Ale")})); // listed, none selected
    QList<Seen> seen;
    watchPreview(f.dialogs, seen);
    MainWindowProbe::bodyEdit(w)->setFocus();

    preview(w, QStringLiteral("Caf\u00e9 & <i>mead</i>"), QStringLiteral("First line<br>\r\n<b>bold</b> \u2615"));
    const QString file = QDir(f.folder.path()).filePath(QStringLiteral("prev.htm"));
    QCOMPARE(contents(file), page("Caf\xc3\xa9 & <i>mead</i>", "First line<br>\r\n<b>bold</b> \xe2\x98\x95"));

    QCOMPARE(f.dialogs.messages().size(), 0);
    QCOMPARE(seen.size(), 1);
    QCOMPARE(seen.first().caption, QStringLiteral("Preview"));
    QCOMPARE(seen.first().size, QSize(665, 242));
    QVERIFY(seen.first().fixedWithoutMinMax);
    QCOMPARE(seen.first().viewGeometry, QRect(0, 0, 665, 241));
    QCOMPARE(seen.first().address, file);
    // The tags are rendered, not shown as text.
    QVERIFY2(seen.first().text.contains(QStringLiteral("Caf\u00e9 & mead")), qPrintable(seen.first().text));
    QVERIFY(seen.first().text.contains(QStringLiteral("bold \u2615")));
    QVERIFY(!seen.first().text.contains(QLatin1Char('<')));

    // Nothing in the main window moved or changed, and the server heard nothing.
    QCOMPARE(QApplication::focusWidget(), MainWindowProbe::bodyEdit(w));
    QCOMPARE(MainWindowProbe::titleEdit(w)->text(), QStringLiteral("Caf\u00e9 & <i>mead</i>"));
    QCOMPARE(MainWindowProbe::bodyEdit(w)->text(), QStringLiteral("First line<br>\r\n<b>bold</b> \u2615"));
    QCOMPARE(MainWindowProbe::draft(w).storedTitle, QString());
    QCOMPARE(MainWindowProbe::directoryList(w)->selectedIndex(), -1);
    QVERIFY(MainWindowProbe::postButton(w)->isEnabled());
    QCOMPARE(f.server.connectionCount(FakeServer::Post), 0);
    QCOMPARE(f.server.connectionCount(FakeServer::Create), 0);
}

void PreviewTest::emptyTitleOrBodyIsRefused_data()
{
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("body");
    QTest::newRow("no title") << QString() << QStringLiteral("body");
    QTest::newRow("no body") << QStringLiteral("title") << QString();
    QTest::newRow("neither") << QString() << QString();
}

void PreviewTest::emptyTitleOrBodyIsRefused()
{
    QFETCH(QString, title);
    QFETCH(QString, body);
    WindowFixture f;
    f.load();
    MainWindow &w = *f.window;
    MainWindowProbe::bodyEdit(w)->setFocus();
    preview(w, title, body);

    QCOMPARE(f.dialogs.boxes.size(), 1); // the box, and no window
    const ScriptedDialogs::Box box = f.dialogs.boxes.first();
    QCOMPARE(box.kind, ScriptedDialogs::Box::Message);
    QCOMPARE(box.text, QStringLiteral("Enter message title and body."));
    QCOMPARE(box.icon, Dialogs::Warning);
    QCOMPARE(box.title, QStringLiteral("Tavernly"));
    QVERIFY(!QFile::exists(QDir(f.folder.path()).filePath(QStringLiteral("prev.htm"))));
    QCOMPARE(QApplication::focusWidget(), MainWindowProbe::bodyEdit(w));
}

// A title of blanks is a title; the stamp option and the stored title play no part.
void PreviewTest::blankTitleAndStampOptionChangeNothing()
{
    WindowFixture f;
    f.load();
    MainWindow &w = *f.window;
    QTest::mouseClick(MainWindowProbe::stampOption(w), Qt::LeftButton);
    QCOMPARE(MainWindowProbe::stampWanted(w), true);
    MainWindowProbe::draft(w).storedTitle = QStringLiteral("<b>earlier</b>");
    QList<Seen> seen;
    watchPreview(f.dialogs, seen);

    preview(w, QStringLiteral("   "), QStringLiteral("x"));
    QCOMPARE(contents(QDir(f.folder.path()).filePath(QStringLiteral("prev.htm"))), page("   ", "x"));
    QCOMPARE(seen.size(), 1);
    QCOMPARE(MainWindowProbe::stampWanted(w), true);
    QCOMPARE(MainWindowProbe::stampOption(w)->picture().toImage(), MainWindowProbe::faces(w).checkDown.toImage());
    QCOMPARE(MainWindowProbe::draft(w).storedTitle, QStringLiteral("<b>earlier</b>"));
}

void PreviewTest::secondPreviewShowsTheNewText()
{
    WindowFixture f;
    f.load();
    MainWindow &w = *f.window;
    QList<Seen> seen;
    watchPreview(f.dialogs, seen);
    const QString file = QDir(f.folder.path()).filePath(QStringLiteral("prev.htm"));

    preview(w, QStringLiteral("First title"), QStringLiteral("A rather longer first body"));
    preview(w, QStringLiteral("Second"), QStringLiteral("B"));
    QCOMPARE(contents(file), page("Second", "B"));
    QCOMPARE(seen.size(), 2);
    QVERIFY(seen.at(0).text.contains(QStringLiteral("First title")));
    QVERIFY(seen.at(1).text.contains(QStringLiteral("Second")));
    QVERIFY(!seen.at(1).text.contains(QStringLiteral("First")));
    QVERIFY(!seen.at(1).text.contains(QStringLiteral("longer")));
}

// An installed program's folder is not writable: the page goes to the second folder.
void PreviewTest::unwritableFolderFallsBack()
{
    WindowFixture f;
    f.load();
    MainWindow &w = *f.window;
    const QString blocker = fileInTheWay(f);
    QVERIFY(QFileInfo(blocker).isFile());
    const QString fallback = QDir(f.folder.path()).filePath(QStringLiteral("cache/tavernly"));
    w.setPreviewFolders({blocker + QStringLiteral("/program"), fallback});
    QList<Seen> seen;
    watchPreview(f.dialogs, seen);

    preview(w, QStringLiteral("T"), QStringLiteral("B"));
    const QString written = QDir(fallback).filePath(QStringLiteral("prev.htm"));
    QCOMPARE(contents(written), page("T", "B"));
    QCOMPARE(seen.size(), 1);
    QCOMPARE(seen.first().address, written);
    QVERIFY(seen.first().text.contains(QLatin1Char('T')));
    QVERIFY(f.dialogs.messages().isEmpty());
}

void PreviewTest::nothingWritableGivesAWarning()
{
    WindowFixture f;
    f.load();
    MainWindow &w = *f.window;
    const QString blocker = fileInTheWay(f);
    QVERIFY(QFileInfo(blocker).isFile());
    w.setPreviewFolders({blocker + QStringLiteral("/program"), blocker + QStringLiteral("/cache")});

    preview(w, QStringLiteral("T"), QStringLiteral("B"));
    QCOMPARE(f.dialogs.boxes.size(), 1); // no window
    const ScriptedDialogs::Box box = f.dialogs.boxes.first();
    QCOMPARE(box.kind, ScriptedDialogs::Box::Message);
    QCOMPARE(box.text, QStringLiteral("The preview could not be written."));
    QCOMPARE(box.icon, Dialogs::Warning);
    QCOMPARE(box.title, QStringLiteral("Tavernly"));
}

QTEST_MAIN(PreviewTest)
#include "tst_preview.moc"
