#include "ui/directory.h"

#include "protocol/listexchange.h"
#include "protocol/pageaddress.h"
#include "ui/files.h"
#include "ui/forumchecker.h"
#include "ui/listextent.h"
#include "ui/widgets/listwidget.h"

#include <QDir>
#include <QFile>
#include <QTimer>

namespace {

constexpr qint64 fileCapBytes = 1024 * 1024; // fifty forums take a few KiB

} // namespace

Directory::Directory(ListWidget &list, const ServerEndpoint &server, QObject *parent)
    : QObject(parent)
    , m_list(list)
    , m_server(server)
    , m_refreshTimer(new QTimer(this))
    , m_listExchange(new ListExchange(this))
    , m_checker(new ForumChecker(this))
{
    m_refreshTimer->setObjectName(QStringLiteral("refreshTimer"));
    m_listExchange->setObjectName(QStringLiteral("listExchange"));
    connect(m_refreshTimer, &QTimer::timeout, this, &Directory::refresh);
    // Handled once the exchange's signal has returned: a box opened on a
    // failure runs an event loop of its own, and no socket event may be under one.
    connect(m_listExchange, &ListExchange::finished, this, &Directory::show, Qt::QueuedConnection);
    connect(m_listExchange, &ListExchange::failed, this, &Directory::failed, Qt::QueuedConnection);
    connect(m_checker, &ForumChecker::checked, this, &Directory::onChecked);
    connect(m_checker, &ForumChecker::roundEnded, this, &Directory::checksEnded);
    connect(&m_list, &ListWidget::entryOpened, this, &Directory::openSelected);
    connect(&m_list, &ListWidget::mouseMoved, this, &Directory::showTip);
}

void Directory::setTiming(int quietMs, int limitMs, int refreshMs)
{
    m_listExchange->setQuietMs(quietMs);
    m_listExchange->setLimitMs(limitMs);
    m_refreshTimer->setInterval(refreshMs);
}

void Directory::setDataFolder(const QString &folder)
{
    m_dataFile = QDir(folder).filePath(QStringLiteral("watched.json"));
    QFile file(m_dataFile);
    m_watched = file.open(QIODevice::ReadOnly) ? WatchedForums::fromJson(file.read(fileCapBytes)) : WatchedForums();
    showMarks();
}

void Directory::refresh()
{
    m_listExchange->start(m_server.host, m_server.listPort);
}

void Directory::stop()
{
    m_refreshTimer->stop();
    m_listExchange->abandon();
    m_checker->stop();
}

void Directory::show(const QStringList &names)
{
    // The range depends on the names alone, and most refreshes bring the same
    // ones: measuring every name of a large directory again would cost more
    // than all the rest of the refresh.
    const bool sameNames = names == m_list.entries();
    const QString selected = m_list.selectedEntry();
    m_list.setEntries(names);
    if (!sameNames)
        fitHorizontalExtent(m_list);
    // The forum the reader has selected stays so while it is listed, wherever it now stands.
    if (!selected.isEmpty())
        select(selected);
    showMarks();
    checkWatched();
}

QString Directory::selectedForum() const
{
    return m_list.selectedEntry();
}

int Directory::selectedIndex() const
{
    return m_list.selectedIndex();
}

bool Directory::isListed(const QString &forum) const
{
    return m_list.entries().contains(forum);
}

void Directory::openForum(const QString &forum)
{
    select(forum);
    openSelected();
}

void Directory::select(const QString &forum)
{
    const int row = int(m_list.entries().indexOf(forum));
    m_list.setSelectedIndex(row);
    if (row >= 0)
        showTip();
}

// A post goes to the selected forum, so the selection names the page the
// reader sees, however the view got there (a link on another forum's page too).
void Directory::followPage(const QUrl &address)
{
    const QUrl server = m_server.startPage();
    std::optional<QString> forum;
    if (address.scheme() == server.scheme() && address.host() == server.host() && address.port() == server.port())
        forum = pageaddress::forumFromPath(address.path(QUrl::FullyEncoded).toUtf8());
    m_reading = forum.value_or(QString());
    select(m_reading);
}

void Directory::openSelected()
{
    const QString forum = m_list.selectedEntry();
    if (forum.isEmpty())
        return;
    m_watched.open(forum);
    m_opening = forum;
    m_reading.clear(); // the view leaves the page it showed
    save();
    showMarks();
    Q_EMIT pageRequested(m_server.forumPage(forum));
}

void Directory::notePageShown(const QUrl &address, const QByteArray &etag, const QByteArray &body)
{
    if (m_opening.isEmpty() || address != m_server.forumPage(m_opening))
        return;
    m_watched.setSeen(m_opening, pageSeen(etag, body));
    m_opening.clear();
    save();
}

void Directory::showTip()
{
    const QString forum = m_list.selectedEntry();
    if (!forum.isEmpty())
        m_list.setToolTip(tr(" Double-Click to view the ''%1'' forum ").arg(forum));
}

// The watched forums the server still lists; a marked one stays marked until
// opened, so asking again would only cost the server.
void Directory::checkWatched()
{
    const QStringList listed = m_list.entries();
    QList<ForumChecker::Page> pages;
    for (const QString &forum : m_watched.forums()) {
        if (!m_watched.isMarked(forum) && listed.contains(forum))
            pages.append({forum, m_server.forumPage(forum), m_watched.seen(forum)});
    }
    m_checker->check(pages);
}

void Directory::onChecked(const QString &forum, const PageSeen &now, bool changed)
{
    if (!m_watched.isWatched(forum) || m_watched.isMarked(forum) || forum == m_opening)
        return;
    if (changed && forum == m_reading) {
        // The reader sees the new messages in the page itself: no mark.
        m_watched.setSeen(forum, now);
        save();
        Q_EMIT readingChanged();
        return;
    }
    if (changed)
        m_watched.mark(forum);
    else if (!m_watched.seen(forum).isKnown())
        m_watched.setSeen(forum, now); // never shown whole: this is the page from now on
    else
        return;
    save();
    showMarks();
}

// A marked entry is emphasised and says why; its text stays the server's.
void Directory::showMarks()
{
    for (int row = 0; row < m_list.count(); ++row) {
        QListWidgetItem *entry = m_list.item(row);
        const bool marked = m_watched.isMarked(entry->text());
        if (marked == entry->data(Qt::FontRole).isValid())
            continue;
        if (marked) {
            QFont font = m_list.font();
            font.setBold(true);
            font.setUnderline(true);
            entry->setFont(font);
            entry->setToolTip(tr("New messages since you last read this forum"));
            entry->setData(Qt::AccessibleDescriptionRole, tr("Has new messages"));
        } else {
            entry->setData(Qt::FontRole, QVariant());
            entry->setData(Qt::ToolTipRole, QVariant());
            entry->setData(Qt::AccessibleDescriptionRole, QVariant());
        }
    }
}

void Directory::save()
{
    if (!m_dataFile.isEmpty() && QDir().mkpath(QFileInfo(m_dataFile).path()))
        writeBytesFile(m_dataFile, m_watched.toJson());
}
