// Splitting a list reply at the size the old 16-bit field walk topped out at:
// 32767 names of 20 characters. The directory refreshes every minute on the
// user-interface thread, so this should stay well under 5 ms.
#include "protocol/listreply.h"

#include <QTest>

class BenchListReply : public QObject
{
    Q_OBJECT

private slots:
    void split()
    {
        QStringList names;
        for (int i = 0; i < 32767; ++i)
            names.append(QString(20, QChar(u'a' + i % 26)));
        const QString reply = names.join(u'*');
        QStringList split;
        QBENCHMARK {
            split = directoryNames(reply);
        }
        QCOMPARE(split.size(), names.size());
    }
};

QTEST_APPLESS_MAIN(BenchListReply)
#include "bench_listreply.moc"
