// The list's horizontal extent: unit conversions, rounding by pattern, the walk.
#include "directory/extent.h"

#include <QTest>

class TestExtent : public QObject
{
    Q_OBJECT

private slots:
    void unitConversions();
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

void TestExtent::unitConversions()
{
    COMPARE_FLOAT(extent::charactersPerPixel(15), 0.125f);
    COMPARE_FLOAT(extent::inchesPerPixel(15), 0.01042f);
    COMPARE_FLOAT(extent::centimetersPerPixel(15), 0.02646f);
    COMPARE_FLOAT(extent::pointsPerPixel(15), 0.01042f * 72.0f);
    COMPARE_FLOAT(extent::millimetersPerPixel(15), 0.02646f * 10.0f);
    QVERIFY(qAbs(extent::pointsPerPixel(15) - 0.75024f) < 1e-6f);
    QVERIFY(qAbs(extent::millimetersPerPixel(15) - 0.2646f) < 1e-6f);
    // A 120-dpi screen: 12 twips per pixel.
    COMPARE_FLOAT(extent::charactersPerPixel(12), 0.1f);
    COMPARE_FLOAT(extent::inchesPerPixel(12), 0.00833f);
    COMPARE_FLOAT(extent::centimetersPerPixel(12), 0.02116f);
}

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
    QTest::addColumn<int>("mode");
    QTest::addColumn<float>("width");
    QTest::addColumn<float>("pixels");

    // The same 225-pixel list box measured in each unit at 15 twips per pixel.
    QTest::newRow("twips") << int(extent::Twips) << 3375.0f << 225.0f;
    QTest::newRow("points") << int(extent::Points) << 168.75f << 224.928f;
    QTest::newRow("pixels") << int(extent::Pixels) << 225.0f << 225.0f;
    QTest::newRow("characters") << int(extent::Characters) << 28.125f << 225.0f;
    QTest::newRow("inches") << int(extent::Inches) << 2.34375f << 224.928f;
    QTest::newRow("millimetres") << int(extent::Millimeters) << 59.53125f << 224.9858f;
    QTest::newRow("centimetres") << int(extent::Centimeters) << 5.953125f << 224.9858f;
    QTest::newRow("user") << int(extent::User) << 1000.0f << 0.0f;
    QTest::newRow("unknown mode") << 8 << 1000.0f << 0.0f;
    QTest::newRow("negative mode") << -1 << 1000.0f << 0.0f;
    QTest::newRow("twips, fractional") << int(extent::Twips) << 1000.0f << 66.6667f;
}

void TestExtent::widthInPixels()
{
    QFETCH(int, mode);
    QFETCH(float, width);
    QFETCH(float, pixels);
    COMPARE_FLOAT(extent::widthInPixels(qint16(mode), width, 15.0f), pixels);
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
    QTest::newRow("inches, one wider")
        << extent::widthInPixels(extent::Inches, 2.34375f, 15.0f) << 2.34375f << 2.34375f / 15.0f
        << QStringList{wider} << 275;
    QTest::newRow("empty list") << 225.0f << 3375.0f << 225.0f << QStringList() << -1;
    QTest::newRow("all fit") << 225.0f << 3375.0f << 225.0f << QStringList{fits, fits, QStringLiteral("a")} << -1;
    QTest::newRow("exactly as wide") << 225.0f << 3375.0f << 225.0f << QStringList{exactlyAsWide} << -1;
    QTest::newRow("user mode, empty list")
        << 0.0f << 1000.0f << 225.0f << QStringList() << int(extent::fallbackExtent);
    QTest::newRow("user mode, entries fit")
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
