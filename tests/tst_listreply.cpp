// The directory names taken from a list reply.
#include "protocol/listreply.h"

#include <QTest>

class TestListReply : public QObject
{
    Q_OBJECT

private slots:
    void directoryNames_data();
    void directoryNames();
    void everyNameOfAVeryLongReply();
};

void TestListReply::directoryNames_data()
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
    QTest::newRow("line breaks alone are names") << "a\r\n*\r\n*b\n" << QStringList{"a\r\n", "\r\n", "b\n"};
    QTest::newRow("blanks kept") << " a * b " << QStringList{" a ", " b "};
    QTest::newRow("reply order, not sorted") << "zeta*Alpha*mid" << QStringList{"zeta", "Alpha", "mid"};
    QTest::newRow("non-ASCII") << QStringLiteral("Caf\u00e9*\u00dcber*\u65e5\u672c")
                               << QStringList{QStringLiteral("Caf\u00e9"), QStringLiteral("\u00dcber"),
                                              QStringLiteral("\u65e5\u672c")};
}

void TestListReply::directoryNames()
{
    QFETCH(QString, reply);
    QFETCH(QStringList, names);
    QCOMPARE(::directoryNames(reply), names);
}

// Far past any 16-bit position or count, every name still arrives.
void TestListReply::everyNameOfAVeryLongReply()
{
    QStringList sent;
    for (int i = 0; i < 100000; ++i)
        sent.append(QStringLiteral("forum-%1").arg(i, 6, 10, QLatin1Char('0')));
    const QString reply = sent.join(u'*') + u'*';
    QCOMPARE(::directoryNames(reply), sent);
}

QTEST_APPLESS_MAIN(TestListReply)
#include "tst_listreply.moc"
