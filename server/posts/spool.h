#pragma once
// The spool: every post the server acknowledges, on its own disk before
// the acknowledgement, until the database holds it.
//
// A folder (<data>/spool/) of append-only segment files, each named by the
// sequence of its first record; a record is
//   length (u32) | sequence (u64) | arrival ms (i64) | peer length (u16) | peer
//   | request | crc32 (u32 over sequence..request)
// little-endian, length counting sequence..request. A torn or damaged record
// ends its segment. The folder's "id" file names the spool (random, made
// once); the database keeps, per spool id, the last sequence it has stored.
// Only one process uses a spool at a time (a lock on "lock").

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

// Used by one thread at a time: the main thread while the server starts, the
// spool thread afterwards.
class Spool
{
public:
    struct Record
    {
        quint64 sequence = 0;
        qint64 arrived = 0;
        QString peer;
        QByteArray request;
    };

    Spool() = default;
    ~Spool();
    Spool(Spool &&other) noexcept;
    Spool &operator=(Spool &&) = delete;
    Spool(const Spool &) = delete;

    // Makes or opens the folder, its id and its lock.
    bool open(const QString &folder, QString *error);
    QString id() const { return m_id; }
    QString folder() const { return m_folder; }

    // The segments' first sequences, ascending: each holds records from its
    // first up to the next one's, read one at a time.
    QList<quint64> segments() const;
    // A segment's whole records, in sequence order; *warning names a torn end.
    QList<Record> segment(quint64 first, QString *warning) const;

    static QByteArray encode(const Record &record);

    // Appends encoded records (sequences `first` to `last`) and flushes them
    // to the disk; a new segment when the current one is over its size. On
    // failure whatever of them reached the file is cut back out.
    bool append(const QByteArray &records, quint64 first, quint64 last, QString *error);
    // Deletes the segments whose records are all at or below `storedUpTo`;
    // the bytes they held.
    qint64 trim(quint64 storedUpTo);
    // Deletes every segment: once all the spool held is stored, before appending.
    void clear();
    qint64 bytes() const; // every segment's size together

    static constexpr qint64 segmentBytes = 1024 * 1024;

private:
    QString segmentPath(quint64 first) const;
    void closeSegment();

    QString m_folder;
    QString m_id;
    int m_lock = -1;
    int m_segment = -1; // the one appended to
    quint64 m_segmentFirst = 0;
    qint64 m_segmentSize = 0;
    quint64 m_appendedUpTo = 0; // the last record on the disk
};
