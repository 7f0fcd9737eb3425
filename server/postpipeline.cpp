#include "server/postpipeline.h"

#include "server/forumdirectory.h"
#include "server/postwriter.h"
#include "server/requestrules.h"
#include "server/sanitizer.h"
#include "server/servermetrics.h"

#include <QCoreApplication>
#include <QDateTime>

PostPipeline::PostPipeline(const ForumDirectory &directory, const DatabaseUrl &database,
                           bool directoryIsWhole, LogSink log, QObject *parent)
    : QObject(parent),
      m_directory(directory),
      m_directoryIsWhole(directoryIsWhole),
      m_log(std::move(log)),
      m_writer(std::make_unique<PostWriter>(database))
{
    connect(m_writer.get(), &PostWriter::stored, this,
            [this](const QStringList &lines, quint64 upTo, const QList<qint64> &forumIds,
                   qint64 bytes) {
                for (const QString &line : lines)
                    m_log(line);
                m_pendingBytes -= bytes;
                metrics::postBytesWaiting(m_pendingBytes);
                if (m_full && m_pendingBytes <= maxPendingBytes / 2) {
                    m_full = false;
                    emit fullChanged(false);
                }
                if (!forumIds.isEmpty())
                    emit committed(forumIds);
                m_storedUpTo = std::max(m_storedUpTo, upTo);
                m_lastTakenFor.removeIf([this](const auto &last) { return last.value() <= m_storedUpTo; });
                emit storedUpTo(m_storedUpTo);
            });
    connect(m_writer.get(), &PostWriter::lost, this, &PostPipeline::lost);
    connect(m_writer.get(), &PostWriter::back, this, &PostPipeline::back);
}

PostPipeline::~PostPipeline()
{
    m_workers.waitForDone();
    m_writer.reset(); // stores what the workers handed over, then ends
    // The last batches' lines, which the event loop will no longer deliver.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
}

void PostPipeline::start()
{
    m_writer->start();
}

void PostPipeline::take(const QString &peer, const QByteArray &request)
{
    metrics::postReceived();
    auto drop = [&](const QString &reason) {
        metrics::postRefused("malformed");
        m_log(QStringLiteral("post dropped %1: %2").arg(peer, reason));
    };
    const auto fields = requestrules::splitPost(request);
    if (!fields) {
        drop(QStringLiteral("fewer than two \"*\" in %1 bytes").arg(request.size()));
        return;
    }
    const QString forum = QString::fromUtf8(fields->forum);
    const bool exact = forum.toUtf8() == fields->forum;
    const auto id = exact ? m_directory.id(forum) : std::nullopt;
    QString unknown; // its line, if the forum turns out not to exist
    if (!id) {
        unknown = QStringLiteral("post dropped %1: unknown forum \"%2\"")
                      .arg(peer, requestrules::printable(fields->forum));
        // Another server may have created it a moment ago: the writer looks.
        if (m_directoryIsWhole || !exact) {
            metrics::postRefused("unknown_forum");
            m_log(unknown);
            return;
        }
    }
    const quint64 sequence = ++m_taken;
    m_lastTakenFor.insert(forum, sequence);
    const qint64 size = request.size();
    m_pendingBytes += size;
    metrics::postBytesWaiting(m_pendingBytes);
    if (!m_full && m_pendingBytes > maxPendingBytes) {
        m_full = true;
        m_log(QStringLiteral("posts not yet stored exceed %1 bytes: the post port waits")
                  .arg(maxPendingBytes));
        emit fullChanged(true);
    }
    const QString head = QStringLiteral("post %1 to \"%2\": ").arg(peer, forum);
    m_workers.start([this, sequence, size, head, unknown, forum, id = id.value_or(0),
                     title = fields->title, body = fields->body] {
        bool titleEscaped = false;
        bool bodyEscaped = false;
        NewMessage message{id,
                           title,
                           body,
                           sanitizeHtml(title, &titleEscaped),
                           sanitizeHtml(body, &bodyEscaped),
                           QDateTime::currentMSecsSinceEpoch()};
        QString tail = QStringLiteral(", %1 bytes").arg(size);
        if (titleEscaped || bodyEscaped) {
            metrics::postEscaped();
            tail += QStringLiteral(" (markup over the parse budget: kept as escaped text)");
        }
        m_writer->hand(sequence, {std::move(message), size, head, tail, forum, unknown});
    });
}
