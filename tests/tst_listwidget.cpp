// The directory list's horizontal range, in the real window after a refresh.
#include "ui/widgets/listwidget.h"
#include "ui/listextent.h"
#include "windowfixture.h"

#include <QFontMetricsF>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QStyle>
#include <QTest>

namespace {

// The margin an item view keeps on either side of an entry's text.
int textMargin(const ListWidget &list)
{
    return list.style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, &list) + 1;
}

void layOut(ListWidget &list)
{
    list.doItemsLayout();
    QCoreApplication::processEvents();
}

} // namespace

class ListWidgetTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void noSidewaysScrollBeforeAnyEntries();
    void endOfEveryNameScrollsIntoView_data();
    void endOfEveryNameScrollsIntoView();
    void quickWalkAgreesWithMeasuringEveryEntry();
};

void ListWidgetTest::noSidewaysScrollBeforeAnyEntries()
{
    WindowFixture f;
    f.load();
    ListWidget &list = *MainWindowProbe::directoryList(*f.window);
    // Entries added without fitting: the list does not scroll sideways of its own accord.
    list.addItem(QString(200, u'W'));
    layOut(list);
    QCOMPARE(list.horizontalScrollBar()->maximum(), 0);
    QVERIFY(!list.horizontalScrollBar()->isVisible());
}

void ListWidgetTest::endOfEveryNameScrollsIntoView_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QString>("widest"); // empty: everything fits
    const QString longest = QStringLiteral("The Long Table of the Northern Brewers' Guild, Est.");
    QTest::newRow("one long name among short ones") << QStringList{"Ale", longest, "Mead"} << longest;
    QTest::newRow("forty wide letters") << QStringList{QString(40, u'W')} << QString(40, u'W');
    QTest::newRow("long name first, longest last")
        << QStringList{QString(30, u'm'), "Ale", QString(38, u'm')} << QString(38, u'm');
    QTest::newRow("all fit") << QStringList{"Ale", "Mead"} << QString();
}

// Scrolled fully right, the widest name's last character is inside the view;
// a refill whose names all fit takes the range away again.
void ListWidgetTest::endOfEveryNameScrollsIntoView()
{
    QFETCH(QStringList, entries);
    QFETCH(QString, widest);
    WindowFixture f;
    f.load();
    ListWidget &list = *MainWindowProbe::directoryList(*f.window);
    QVERIFY(f.fillDirectory({QString(45, u'W')})); // a range from before
    QVERIFY(f.fillDirectory(entries));
    layOut(list);
    QScrollBar &bar = *list.horizontalScrollBar();
    if (widest.isEmpty()) {
        QTRY_COMPARE(bar.maximum(), 0);
        return;
    }
    QTRY_VERIFY(bar.isVisible());
    bar.setValue(bar.maximum());
    const int row = int(entries.indexOf(widest));
    const qreal textEnd = list.visualItemRect(list.item(row)).left() + textMargin(list)
                          + QFontMetricsF(list.font()).horizontalAdvance(widest);
    QVERIFY2(textEnd <= list.viewport()->width(), qPrintable(QString::number(textEnd)));
    // And no more room than that: the range ends with the name.
    QVERIFY(textEnd > list.viewport()->width() - 2 * textMargin(list) - 1);
}

// Entries far narrower than the widest so far are settled without shaping
// them; the range must be the one measuring every entry gives, kerning pairs
// and ligatures included.
void ListWidgetTest::quickWalkAgreesWithMeasuringEveryEntry()
{
    WindowFixture f;
    ListWidget probe(f.window.get());
    probe.setFont(MainWindowProbe::directoryList(*f.window)->font());
    const QFontMetricsF metrics(probe.font());
    const QString alphabet = QStringLiteral("AVTWYLPFfiljo.,'\"-«»ÆæßÿÀéñ WMmw AVAT To Ty LT ff fl 0123 ¿¡");
    QRandomGenerator random(20261207);
    for (int i = 0; i < 300; ++i) {
        QStringList entries;
        qreal widest = 0;
        for (int n = 0; n < 10; ++n) {
            QString entry;
            const int length = 20 + int(random.bounded(20));
            for (int k = 0; k < length; ++k)
                entry += alphabet.at(int(random.bounded(alphabet.size())));
            entries.append(entry);
            widest = std::max(widest, metrics.horizontalAdvance(entry));
        }
        probe.setEntries(entries);
        fitHorizontalExtent(probe);
        QCOMPARE(probe.horizontalExtent(), int(std::ceil(widest)) + 2 * textMargin(probe));
    }
}

QTEST_MAIN(ListWidgetTest)
#include "tst_listwidget.moc"
