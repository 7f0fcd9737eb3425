#pragma once
// The forum directory: the list exchange and its refresh, the list's entries
// and horizontal extent, opening a forum's page, and the forums the user
// reads with the marks of those that changed since. Lives on the
// user-interface thread.

#include "protocol/endpoint.h"
#include "ui/watchedforums.h"

#include <QObject>
#include <QUrl>

class ForumChecker;
class ListExchange;
class ListWidget;
class QTimer;

class Directory : public QObject
{
    Q_OBJECT
public:
    Directory(ListWidget &list, const ServerEndpoint &server, QObject *parent = nullptr);

    void setTiming(int quietMs, int limitMs, int refreshMs);
    // Keeps the watched forums in a file of folder, read now (none when never set).
    void setDataFolder(const QString &folder);

    // Abandons any list exchange under way and starts a new one.
    void refresh();
    // The refresh timer; whoever makes the directory starts it.
    QTimer *refreshTimer() const { return m_refreshTimer; }
    ListExchange *exchange() const { return m_listExchange; }
    // Nothing more is asked of the server.
    void stop();

    ListWidget &list() const { return m_list; }
    QString selectedForum() const;
    int selectedIndex() const;
    bool isListed(const QString &forum) const;
    // Selects the forum's entry (none when it is not listed) and opens its page.
    void openForum(const QString &forum);
    void openSelected();
    // The view shows the page at address: the forum it is, if listed, is the
    // one selected; any other page leaves nothing selected.
    void followPage(const QUrl &address);

    const WatchedForums &watched() const { return m_watched; }
    // The page view has shown address as the server gave it.
    void notePageShown(const QUrl &address, const QByteArray &etag, const QByteArray &body);

Q_SIGNALS:
    // The view is to show this forum page.
    void pageRequested(const QUrl &address);
    void failed();
    // Every watched forum of the last refresh has been checked.
    void checksEnded();
    // The forum being read has changed on the server: the view is to load it again.
    void readingChanged();

private:
    void show(const QStringList &names);
    void select(const QString &forum);
    void showTip();
    void checkWatched();
    void onChecked(const QString &forum, const PageSeen &now, bool changed);
    void showMarks();
    void save();

    ListWidget &m_list;
    ServerEndpoint m_server;
    QTimer *m_refreshTimer;
    ListExchange *m_listExchange;
    ForumChecker *m_checker;
    WatchedForums m_watched;
    QString m_dataFile;
    QString m_opening; // the forum whose page the view is loading
    QString m_reading; // the forum whose page the view shows
};
