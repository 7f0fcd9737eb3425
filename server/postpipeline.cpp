#include "server/postpipeline.h"

#include "server/forumstore.h"
#include "server/postwriter.h"
#include "server/requestrules.h"
#include "server/sanitizer.h"

#include <QDateTime>
#include <QDeadlineTimer>

namespace {
// Posts waiting for a worker hold their bytes; past this much, taking in
// more waits for the workers, so memory stays bounded under any flood.
constexpr qint64 maxPendingBytes = 64 * 1024 * 1024;
} // namespace

PostPipeline::PostPipeline(ForumStore &store, const DatabaseUrl &database, LogSink log,
                           QObject *parent)
    : QObject(parent),
      m_store(store),
      m_log(std::move(log)),
      m_writer(std::make_unique<PostWriter>(database))
{
    connect(m_writer.get(), &PostWriter::stored, this,
            [this](const QStringList &lines, quint64 upTo) {
                for (const QString &line : lines)
                    m_log(line);
                m_storedUpTo = std::max(m_storedUpTo, upTo);
                emit storedUpTo(m_storedUpTo);
            });
}

PostPipeline::~PostPipeline()
{
    m_workers.waitForDone();
    m_writer.reset(); // stores what the workers handed over, then ends
}

void PostPipeline::start()
{
    m_writer->start();
}

std::optional<qint64> PostPipeline::forumId(const QString &name)
{
    const auto known = m_forumIds.constFind(name);
    if (known != m_forumIds.cend())
        return *known;
    const std::optional<qint64> id = m_store.forumId(name);
    if (id)
        m_forumIds.insert(name, *id);
    return id;
}

void PostPipeline::take(const QString &peer, const QByteArray &request)
{
    auto drop = [&](const QString &reason) {
        m_log(QStringLiteral("post dropped %1: %2").arg(peer, reason));
    };
    const auto fields = requestrules::splitPost(request);
    if (!fields) {
        drop(QStringLiteral("fewer than two \"*\" in %1 bytes").arg(request.size()));
        return;
    }
    const QString forum = QString::fromUtf8(fields->forum);
    const auto id = forum.toUtf8() == fields->forum ? forumId(forum) : std::nullopt;
    if (!id && !m_store.isAvailable()) {
        drop(m_store.lastError());
        return;
    }
    if (!id) {
        drop(QStringLiteral("unknown forum \"%1\"").arg(requestrules::printable(fields->forum)));
        return;
    }
    if (m_pendingBytes.load() > maxPendingBytes) {
        m_log(QStringLiteral("posts waiting for the workers exceed %1 bytes: taking in waits")
                  .arg(maxPendingBytes));
        while (m_pendingBytes.load() > maxPendingBytes / 2)
            m_workers.waitForDone(10);
    }
    const quint64 sequence = ++m_taken;
    const qint64 size = request.size();
    m_pendingBytes += size;
    const QString head = QStringLiteral("post %1 to \"%2\": ").arg(peer, forum);
    m_workers.start([this, sequence, size, head, id = *id, title = fields->title,
                     body = fields->body] {
        bool titleEscaped = false;
        bool bodyEscaped = false;
        NewMessage message{id,
                           title,
                           body,
                           sanitizeHtml(title, &titleEscaped),
                           sanitizeHtml(body, &bodyEscaped),
                           QDateTime::currentMSecsSinceEpoch()};
        QString tail = QStringLiteral(", %1 bytes").arg(size);
        if (titleEscaped || bodyEscaped)
            tail += QStringLiteral(" (markup over the parse budget: kept as escaped text)");
        m_writer->hand(sequence, std::move(message), head, tail);
        m_pendingBytes -= size;
    });
}

