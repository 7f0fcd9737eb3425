// The directory list's horizontal extent, in the real window after a refresh.
#include "ui/widgets/listbox.h"
#include "ui/listextent.h"
#include "windowfixture.h"

#include <QFontMetricsF>
#include <QRandomGenerator>
#include <QScreen>
#include <QScrollBar>
#include <QTest>

namespace {

// Wider than the list (225 pixels) in the window's font, trailing space included.
const QString wide = QStringLiteral("The Long Table of the Northern Brewers' Guild");

bool widerThanTheList(const QFont &font, const QString &entry)
{
    return QFontMetricsF(font).horizontalAdvance(entry + u' ') > 225.0;
}

void layOut(ListBox &list)
{
    list.doItemsLayout();
    QCoreApplication::processEvents();
}

} // namespace

class ListBoxTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void noSidewaysScrollBeforeAnyExtent();
    void wideEntryGivesTheExtent();
    void entriesThatFitKeepTheExtentThatWas();
    void entriesAreMeasuredInTheWindowsFont();
    void listWithoutParentGetsTheFallbackExtent();
    void quickWalkAgreesWithMeasuringEveryEntry();
};

void ListBoxTest::noSidewaysScrollBeforeAnyExtent()
{
    WindowFixture f;
    f.load();
    ListBox &list = *MainWindowProbe::directoryList(*f.window);
    // Entries added without the extent: the list does not scroll sideways of its own accord.
    list.addItem(wide + wide);
    layOut(list);
    QCOMPARE(list.horizontalExtent(), 0);
    QCOMPARE(list.horizontalScrollBar()->maximum(), 0);
    QVERIFY(!list.horizontalScrollBar()->isVisible());
}

void ListBoxTest::wideEntryGivesTheExtent()
{
    WindowFixture f;
    f.load();
    MainWindow &w = *f.window;
    QCOMPARE(MainWindowProbe::directoryList(w)->screen()->logicalDotsPerInchX(), 96.0);
    QCOMPARE(MainWindowProbe::directoryList(w)->width(), 225);
    QVERIFY(widerThanTheList(w.font(), wide));

    QVERIFY(f.fillDirectory({"Ale", wide, "Mead"}));
    QCOMPARE(MainWindowProbe::directoryList(w)->horizontalExtent(), 275);
    QTRY_VERIFY(MainWindowProbe::directoryList(w)->horizontalScrollBar()->isVisible());
    QTRY_COMPARE(MainWindowProbe::directoryList(w)->horizontalScrollBar()->maximum(), 275 - MainWindowProbe::directoryList(w)->viewport()->width());

    // Scrolled fully right, the entries start that far left of the view.
    MainWindowProbe::directoryList(w)->horizontalScrollBar()->setValue(MainWindowProbe::directoryList(w)->horizontalScrollBar()->maximum());
    QCOMPARE(MainWindowProbe::directoryList(w)->visualItemRect(MainWindowProbe::directoryList(w)->item(1)).left(), -MainWindowProbe::directoryList(w)->horizontalScrollBar()->maximum());
}

void ListBoxTest::entriesThatFitKeepTheExtentThatWas()
{
    WindowFixture f;
    f.load();
    MainWindow &w = *f.window;
    QVERIFY(f.fillDirectory({"Ale", "Mead"}));
    layOut(*MainWindowProbe::directoryList(w));
    QCOMPARE(MainWindowProbe::directoryList(w)->horizontalExtent(), 0);
    QVERIFY(!MainWindowProbe::directoryList(w)->horizontalScrollBar()->isVisible());

    QVERIFY(f.fillDirectory({wide}));
    QCOMPARE(MainWindowProbe::directoryList(w)->horizontalExtent(), 275);
    QTRY_COMPARE(MainWindowProbe::directoryList(w)->horizontalScrollBar()->maximum(), 275 - MainWindowProbe::directoryList(w)->viewport()->width());
    const int maximum = MainWindowProbe::directoryList(w)->horizontalScrollBar()->maximum();

    QVERIFY(f.fillDirectory({"Stout"}));
    layOut(*MainWindowProbe::directoryList(w));
    QCOMPARE(MainWindowProbe::directoryList(w)->horizontalExtent(), 275);
    QCOMPARE(MainWindowProbe::directoryList(w)->horizontalScrollBar()->maximum(), maximum);
}

// The window's font, not the list's bold Arial, decides: find an entry the two
// fonts disagree on, and check that the window's font wins.
void ListBoxTest::entriesAreMeasuredInTheWindowsFont()
{
    WindowFixture f;
    f.load();
    MainWindow &w = *f.window;
    QVERIFY(w.font() != MainWindowProbe::directoryList(w)->font());
    QString entry;
    for (const QChar c : QStringLiteral("WMmwi0a.")) {
        for (int n = 1; n < 120 && entry.isEmpty(); ++n) {
            const QString candidate(n, c);
            if (widerThanTheList(w.font(), candidate) != widerThanTheList(MainWindowProbe::directoryList(w)->font(), candidate))
                entry = candidate;
        }
    }
    QVERIFY2(!entry.isEmpty(), "the two fonts agree on every entry tried");

    QVERIFY(f.fillDirectory({entry}));
    QCOMPARE(MainWindowProbe::directoryList(w)->horizontalExtent(), widerThanTheList(w.font(), entry) ? 275 : 0);
}

void ListBoxTest::listWithoutParentGetsTheFallbackExtent()
{
    WindowFixture f;
    ListBox orphan;
    fitHorizontalExtent(orphan);
    QCOMPARE(orphan.horizontalExtent(), 100000000);
}

// Entries far narrower than the list are settled without shaping them; the
// answer must be the one measuring every entry gives, kerning pairs included.
void ListBoxTest::quickWalkAgreesWithMeasuringEveryEntry()
{
    WindowFixture f;
    MainWindow &w = *f.window;
    ListBox probe(&w);
    probe.resize(225, 100);
    // Kerning pairs, ligatures, narrow and wide letters, Latin-1 beyond ASCII.
    const QString alphabet = QStringLiteral("AVTWYLPFfiljo.,'\"-«»ÆæßÿÀéñ WMmw AVAT To Ty LT ff fl 0123 ¿¡");
    QRandomGenerator random(20261207);
    int wider = 0;
    for (int i = 0; i < 3000; ++i) {
        QString entry;
        const int length = 20 + int(random.bounded(40));
        for (int k = 0; k < length; ++k)
            entry += alphabet.at(int(random.bounded(alphabet.size())));
        const bool expected = float(QFontMetricsF(w.font()).horizontalAdvance(entry + u' ')) * 15.0f > 3375.0f;
        wider += expected;
        probe.setEntries({entry});
        probe.setHorizontalExtent(0);
        fitHorizontalExtent(probe);
        QVERIFY2((probe.horizontalExtent() == 275) == expected, qPrintable(entry));
    }
    // Both answers came up often enough to mean something.
    QVERIFY(wider > 300 && wider < 2700);
}

QTEST_MAIN(ListBoxTest)
#include "tst_listbox.moc"
