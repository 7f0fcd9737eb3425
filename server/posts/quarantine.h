#pragma once
// The posts the database refuses while it stores others: each kept whole in
// one file of the data folder (quarantine.posts) until an operator restores
// it, so that an acknowledged post is always spooled, stored or here.
//
// An entry is a line
//   post SPOOL-ID SEQUENCE ARRIVAL-MS REQUEST-BYTES PEER WHY
// (PEER and WHY percent-encoded), then the request's bytes and a line end.
// A torn entry (a write cut short) ends the file. Writers and the restoring
// command take a lock (quarantine.lock) around each change.

#include <QByteArray>
#include <QList>
#include <QString>

// Used by one thread at a time; processes share the file through its lock.
class Quarantine
{
public:
    struct Entry
    {
        QString spoolId;
        quint64 sequence = 0;
        qint64 arrived = 0; // ms since the epoch
        QString peer;
        QByteArray request;
        QString why; // the database's words
    };

    explicit Quarantine(const QString &dataDir);
    QString path() const { return m_path; }

    // Appended and flushed to the disk before it returns true.
    bool add(const Entry &entry, QString *error) const;
    // Every whole entry, in the order added; *warning names a torn end.
    QList<Entry> entries(QString *warning = nullptr) const;
    // The file made to hold exactly these entries, in one step.
    bool replace(const QList<Entry> &entries, QString *error) const;

    // Held across a read and a replace, so that no entry is added between.
    class Lock
    {
    public:
        explicit Lock(const Quarantine &quarantine);
        ~Lock();
        Lock(const Lock &) = delete;
        Lock &operator=(const Lock &) = delete;
        bool isHeld() const { return m_fd >= 0; }

    private:
        int m_fd = -1;
    };

private:
    QString m_path;
    QString m_lockPath;
};
