#include "server/posts/postpipeline.h"

#include "server/base/mainthread.h"

#include "server/store/forumdirectory.h"
#include "server/posts/postwriter.h"
#include "server/wire/requestrules.h"
#include "server/posts/sanitizer.h"
#include "server/base/servermetrics.h"

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

namespace {

// On a pool thread: makes one post's markup safe and hands it to the writer
// in its place in the order of arrival.
void publish(PostWriter *writer, quint64 sequence, PostWriter::Post post,
             const QByteArray &title, const QByteArray &body)
{
    bool titleEscaped = false;
    bool bodyEscaped = false;
    post.message.title = title;
    post.message.body = body;
    post.message.titleHtml = sanitizeHtml(title, &titleEscaped);
    post.message.bodyHtml = sanitizeHtml(body, &bodyEscaped);
    post.message.arrived = QDateTime::currentMSecsSinceEpoch();
    post.tail = QStringLiteral(", %1 bytes").arg(post.bytes);
    if (titleEscaped || bodyEscaped) {
        metrics::postEscaped();
        post.tail += QStringLiteral(" (markup over the parse budget: kept as escaped text)");
    }
    writer->hand(sequence, std::move(post));
}

} // namespace

void PostPipeline::take(const QString &peer, const QByteArray &request)
{
    TAVERNLY_ASSERT_MAIN_THREAD();
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
                      .arg(peer, logtext::printable(fields->forum));
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
    PostWriter::Post post;
    post.message.forumId = id.value_or(0);
    post.bytes = size;
    post.head = QStringLiteral("post %1 to \"%2\": ").arg(peer, forum);
    post.forum = forum;
    post.unknown = unknown;
    m_workers.start([writer = m_writer.get(), sequence, post = std::move(post),
                     title = fields->title, body = fields->body]() mutable {
        publish(writer, sequence, std::move(post), title, body);
    });
}
