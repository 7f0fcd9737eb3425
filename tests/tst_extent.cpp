// The list's horizontal extent: the width in pixels, rounding by pattern, the walk.
#include "ui/extent.h"

#include <QTest>

class TestExtent : public QObject
{
    Q_OBJECT

private slots:
    void roundByPattern_data();
    void roundByPattern();
    void widthInPixels_data();
    void widthInPixels();
    void horizontalExtent_data();
    void horizontalExtent();
    void extentMeasuresUpToFirstWiderEntry();
};

// Floats produced by reading back a decimal text must equal that text's float exactly.
#define COMPARE_FLOAT(actual, expected)                                                             \
    QVERIFY2((actual) == (expected), qPrintable(QStringLiteral("%1 != %2")                           \
                                                    .arg(double(actual), 0, 'g', 9)                  \
                                                    .arg(double(expected), 0, 'g', 9)))

void TestExtent::roundByPattern_data()
{
    QTest::addColumn<float>("value");
    QTest::addColumn<int>("decimals");
    QTest::addColumn<float>("rounded");

    QTest::newRow("down") << 0.0104166f << 5 << 0.01042f;
    QTest::newRow("already short") << 225.0f << 4 << 225.0f;
    QTest::newRow("half goes up") << 0.03125f << 4 << 0.0313f;
    QTest::newRow("negative half goes away from zero") << -0.03125f << 4 << -0.0313f;
    QTest::newRow("carry into whole part") << 9.99996f << 4 << 10.0f;
    QTest::newRow("rounds to zero") << 0.00004f << 4 << 0.0f;
    QTest::newRow("large value keeps its digits") << 123456789.0f << 4 << 123456789.0f;
}

void TestExtent::roundByPattern()
{
    QFETCH(float, value);
    QFETCH(int, decimals);
    QFETCH(float, rounded);
    COMPARE_FLOAT(extent::roundByPattern(value, decimals), rounded);
}

void TestExtent::widthInPixels_data()
{
    QTest::addColumn<float>("width");
    QTest::addColumn<float>("pixels");

    QTest::newRow("twips") << 3375.0f << 225.0f;
    QTest::newRow("twips, fractional") << 1000.0f << 66.6667f;
    QTest::newRow("no width") << 0.0f << 0.0f;
}

void TestExtent::widthInPixels()
{
    QFETCH(float, width);
    QFETCH(float, pixels);
    COMPARE_FLOAT(extent::widthInPixels(width, 15.0f), pixels);
}

void TestExtent::horizontalExtent_data()
{
    QTest::addColumn<float>("widthPx");
    QTest::addColumn<float>("lbWidth");
    QTest::addColumn<float>("unitsPerCharacter"); // the test measure: characters times this
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<int>("extent"); // -1: nothing to send

    // A 3375-twip list box holds 15 characters of 225 twips; the measured text
    // carries one trailing blank, so 14 characters already fill it.
    const QString fits = QString(13, u'w');
    const QString exactlyAsWide = QString(14, u'w');
    const QString wider = QString(15, u'w');

    QTest::newRow("twips, one wider") << 225.0f << 3375.0f << 225.0f << QStringList{fits, wider} << 275;
    QTest::newRow("other units, one wider") << 224.928f << 2.34375f << 2.34375f / 15.0f << QStringList{wider} << 275;
    QTest::newRow("empty list") << 225.0f << 3375.0f << 225.0f << QStringList() << -1;
    QTest::newRow("all fit") << 225.0f << 3375.0f << 225.0f << QStringList{fits, fits, QStringLiteral("a")} << -1;
    QTest::newRow("exactly as wide") << 225.0f << 3375.0f << 225.0f << QStringList{exactlyAsWide} << -1;
    QTest::newRow("no width in pixels, empty list")
        << 0.0f << 1000.0f << 225.0f << QStringList() << int(extent::fallbackExtent);
    QTest::newRow("no width in pixels, entries fit")
        << 0.0f << 1000.0f << 1.0f << QStringList{QStringLiteral("a")} << int(extent::fallbackExtent);
    QTest::newRow("half to even, down") << 224.5f << 3375.0f << 225.0f << QStringList{wider} << 274;
    QTest::newRow("half to even, up") << 225.5f << 3375.0f << 225.0f << QStringList{wider} << 276;
    QTest::newRow("too wide for an extent") << 3.0e9f << 3375.0f << 225.0f << QStringList{wider} << -1;
    QTest::newRow("infinite width")
        << std::numeric_limits<float>::infinity() << 3375.0f << 225.0f << QStringList{wider} << -1;
}

void TestExtent::horizontalExtent()
{
    QFETCH(float, widthPx);
    QFETCH(float, lbWidth);
    QFETCH(float, unitsPerCharacter);
    QFETCH(QStringList, entries);
    QFETCH(int, extent);

    const auto measure = [unitsPerCharacter](const QString &text) {
        return float(text.size()) * unitsPerCharacter;
    };
    const std::optional<qint32> sent = extent::horizontalExtent(widthPx, lbWidth, entries, measure);
    QCOMPARE(sent.has_value(), extent != -1);
    if (sent)
        QCOMPARE(*sent, extent);
}

void TestExtent::extentMeasuresUpToFirstWiderEntry()
{
    QStringList measured;
    const auto measure = [&measured](const QString &text) {
        measured.append(text);
        return float(text.size()) * 100.0f;
    };
    const QStringList entries{QStringLiteral("ab"), QStringLiteral("long entry"), QStringLiteral("longer entry")};
    QCOMPARE(extent::horizontalExtent(225.0f, 500.0f, entries, measure), std::optional<qint32>(275));
    QCOMPARE(measured, (QStringList{QStringLiteral("ab "), QStringLiteral("long entry ")}));

    measured.clear();
    QCOMPARE(extent::horizontalExtent(0.0f, 500.0f, entries, measure), std::optional<qint32>(extent::fallbackExtent));
    QVERIFY(measured.isEmpty());
}

QTEST_APPLESS_MAIN(TestExtent)
#include "tst_extent.moc"
