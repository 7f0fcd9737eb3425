// Reading the server's "*"-separated replies: NthField, instrCount and the
// directory names taken from a list reply.
#include "directory/listreply.h"
#include "text/basstring.h"

#include <QTest>

class TestBasString : public QObject
{
    Q_OBJECT

private slots:
    void nthField_data();
    void nthField();
    void nthFieldLimits_data();
    void nthFieldLimits();
    void instrCount_data();
    void instrCount();
    void directoryNames_data();
    void directoryNames();
    void directoryNamesMatchFieldWalk_data();
    void directoryNamesMatchFieldWalk();
    void directoryNamesPastFieldLimit();
};

void TestBasString::nthField_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("delimiter");
    QTest::addColumn<int>("n");
    QTest::addColumn<QString>("field");

    const QString trailing = QStringLiteral("Ale House*Cellar*");
    QTest::newRow("trailing separator, 1") << trailing << "*" << 1 << "Ale House";
    QTest::newRow("trailing separator, 2") << trailing << "*" << 2 << "Cellar";
    QTest::newRow("trailing separator, 3") << trailing << "*" << 3 << "";
    QTest::newRow("trailing separator, 4") << trailing << "*" << 4 << "";
    QTest::newRow("trailing separator, 0") << trailing << "*" << 0 << "";
    QTest::newRow("trailing separator, -1") << trailing << "*" << -1 << "";
    QTest::newRow("last field runs to the end") << "a*bb*ccc" << "*" << 3 << "ccc";
    QTest::newRow("middle field") << "a*bb*ccc" << "*" << 2 << "bb";
    QTest::newRow("no separator, 1") << "whole text" << "*" << 1 << "whole text";
    QTest::newRow("no separator, 2") << "whole text" << "*" << 2 << "";
    QTest::newRow("empty text, 1") << "" << "*" << 1 << "";
    QTest::newRow("empty text, 2") << "" << "*" << 2 << "";
    QTest::newRow("leading separator, 1") << "*first" << "*" << 1 << "";
    QTest::newRow("leading separator, 2") << "*first" << "*" << 2 << "first";
    QTest::newRow("doubled separator") << "a**b" << "*" << 2 << "";
    QTest::newRow("after doubled separator") << "a**b" << "*" << 3 << "b";
    QTest::newRow("blanks and line breaks kept") << " a *b\r\n" << "*" << 2 << "b\r\n";
    QTest::newRow("empty delimiter") << "a*b" << "" << 1 << "";
    QTest::newRow("case matters") << "aXbxc" << "x" << 1 << "aXb";
    QTest::newRow("long delimiter, 1") << "one::two::three" << "::" << 1 << "one";
    QTest::newRow("long delimiter, 2") << "one::two::three" << "::" << 2 << "two";
    QTest::newRow("long delimiter, 3") << "one::two::three" << "::" << 3 << "three";
    QTest::newRow("long delimiter, missing") << "one::two" << "::" << 3 << "";
}

void TestBasString::nthField()
{
    QFETCH(QString, text);
    QFETCH(QString, delimiter);
    QFETCH(int, n);
    QFETCH(QString, field);
    QCOMPARE(basString::NthField(text, delimiter, qint16(n)), field);
}

// A text with "*" at the given 1-based positions and letters elsewhere.
static QString textWithStars(qsizetype length, const QList<qsizetype> &stars)
{
    QString text(length, u'x');
    for (const qsizetype position : stars)
        text[position - 1] = u'*';
    return text;
}

void TestBasString::nthFieldLimits_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("n");
    QTest::addColumn<bool>("overflows");
    QTest::addColumn<int>("fieldLength"); // when it does not overflow

    QTest::newRow("long last field") << textWithStars(40000, {10}) << 2 << false << 39990;
    QTest::newRow("short first field") << textWithStars(40000, {10}) << 1 << false << 9;
    QTest::newRow("closed past 32767") << textWithStars(40000, {10, 35000}) << 2 << true << 0;
    QTest::newRow("first field still works") << textWithStars(40000, {10, 35000}) << 1 << false << 9;
    QTest::newRow("begins past 32767") << textWithStars(40000, {10, 35000}) << 3 << true << 0;
    QTest::newRow("closed at 32767") << textWithStars(40000, {32767}) << 1 << false << 32766;
    QTest::newRow("closed at 32768") << textWithStars(40000, {32768}) << 1 << true << 0;
    QTest::newRow("preceded at 32766") << textWithStars(40000, {32766}) << 2 << false << 7234;
    QTest::newRow("preceded at 32767") << textWithStars(40000, {32767}) << 2 << true << 0;
    QTest::newRow("field 32767, last") << QString(32766, u'*') + QStringLiteral("end") << 32767 << false << 3;
    QTest::newRow("field 32767, closed") << QString(32767, u'*') << 32767 << true << 0;
    QTest::newRow("field 32767, missing") << QStringLiteral("a*b") << 32767 << false << 0;
}

void TestBasString::nthFieldLimits()
{
    QFETCH(QString, text);
    QFETCH(int, n);
    QFETCH(bool, overflows);
    QFETCH(int, fieldLength);

    if (overflows) {
        QVERIFY_THROWS_EXCEPTION(basString::FieldOverflow, basString::NthField(text, QStringLiteral("*"), qint16(n)));
        return;
    }
    const QString field = basString::NthField(text, QStringLiteral("*"), qint16(n));
    QCOMPARE(field.size(), fieldLength);
    QVERIFY(!field.contains(u'*'));
}

void TestBasString::instrCount_data()
{
    QTest::addColumn<QString>("search");
    QTest::addColumn<QString>("find");
    QTest::addColumn<int>("count");

    QTest::newRow("trailing separator") << "Ale House*Cellar*" << "*" << 2;
    QTest::newRow("three names") << "a*b*c" << "*" << 2;
    QTest::newRow("no separator") << "whole" << "*" << 0;
    QTest::newRow("empty text") << "" << "*" << -1;
    QTest::newRow("empty find") << "a*b" << "" << 0;
    QTest::newRow("both empty") << "" << "" << 0;
    QTest::newRow("separator alone") << "*" << "*" << 1;
    QTest::newRow("case matters") << "ABC" << "b" << 0;
    QTest::newRow("no overlap") << "aaa" << "aa" << 1;
    QTest::newRow("two apart") << "aaaa" << "aa" << 2;
    QTest::newRow("longer find than text") << "ab" << "abc" << 0;
}

void TestBasString::instrCount()
{
    QFETCH(QString, search);
    QFETCH(QString, find);
    QFETCH(int, count);
    QCOMPARE(::instrCount(search, find), count);
}

void TestBasString::directoryNames_data()
{
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QStringList>("names");

    QTest::newRow("empty") << "" << QStringList();
    QTest::newRow("separator alone") << "*" << QStringList();
    QTest::newRow("separators only") << "***" << QStringList();
    QTest::newRow("one name") << "Cellar" << QStringList{"Cellar"};
    QTest::newRow("leading, trailing, doubled")
        << "**Ale House*Cellar**Attic*" << QStringList{"Ale House", "Cellar", "Attic"};
    QTest::newRow("line break stays") << "Cellar*Attic\r\n" << QStringList{"Cellar", "Attic\r\n"};
    QTest::newRow("blanks kept") << " a * b " << QStringList{" a ", " b "};
    QTest::newRow("reply order, not sorted") << "zeta*Alpha*mid" << QStringList{"zeta", "Alpha", "mid"};
}

void TestBasString::directoryNames()
{
    QFETCH(QString, reply);
    QFETCH(QStringList, names);
    QCOMPARE(::directoryNames(reply), names);
}

void TestBasString::directoryNamesMatchFieldWalk_data()
{
    QTest::addColumn<QString>("reply");

    QTest::newRow("empty") << "";
    QTest::newRow("separator alone") << "*";
    QTest::newRow("one name") << "Cellar";
    QTest::newRow("trailing") << "Ale House*Cellar*";
    QTest::newRow("leading and doubled") << "**a***b*";
    QTest::newRow("line breaks") << "a\r\n*\r\n*b\n";
    QTest::newRow("non-ASCII") << QStringLiteral("Caf\u00e9*\u00dcber*\u65e5\u672c");
    QTest::newRow("last separator at 32766") << textWithStars(32766, {5, 100, 32766}) + QStringLiteral("tail");
    QTest::newRow("last field past 32767") << textWithStars(50000, {3, 20000});
}

// The directory must list what taking fields 1 .. count + 1 one by one and
// skipping the empty ones lists.
void TestBasString::directoryNamesMatchFieldWalk()
{
    QFETCH(QString, reply);

    QStringList walked;
    const qint32 last = ::instrCount(reply, QStringLiteral("*")) + 1;
    for (qint32 i = 1; i <= last; ++i) {
        const QString field = basString::NthField(reply, QStringLiteral("*"), qint16(i));
        if (!field.isEmpty())
            walked.append(field);
    }
    QCOMPARE(::directoryNames(reply), walked);
}

void TestBasString::directoryNamesPastFieldLimit()
{
    QStringList sent;
    for (int i = 0; i < 100000; ++i)
        sent.append(QStringLiteral("forum-%1").arg(i, 6, 10, QLatin1Char('0')));
    const QString reply = sent.join(u'*') + u'*';

    // Taking fields one by one cannot reach the end of such a reply...
    QVERIFY_THROWS_EXCEPTION(basString::FieldOverflow, basString::NthField(reply, QStringLiteral("*"), 32767));
    // ...the directory still gets every name.
    QCOMPARE(::directoryNames(reply), sent);
}

QTEST_APPLESS_MAIN(TestBasString)
#include "tst_basstring.moc"
