#pragma once
// A scriptable stand-in for the forum server on loopback: one listener per
// request kind and a tiny HTTP responder. It records every request's bytes.

#include "protocol/endpoint.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTcpServer>

class QTcpSocket;

class FakeServer : public QObject
{
    Q_OBJECT
public:
    enum Kind { List, Create, Post };

    struct Behaviour
    {
        enum Action {
            Reply,  // send the pieces (after the request arrived), then close unless keepOpen
            Silent, // accept and read, never answer, never close (not even at the peer's end)
            Reset,  // reset the connection as soon as the request arrives, or,
                    // with pieces, pieceDelayMs after the last of them (a reply cut off)
            Close,  // close without a reply as soon as the request arrives
            Refuse, // nothing listens: connections are refused
        };
        Action action = Reply;
        QList<QByteArray> pieces;
        int pieceDelayMs = 0;
        bool keepOpen = false;
        // Reply only once this many bytes arrived (0: at the first data).
        int requestBytes = 0;
        // At or above 0: act only once the peer has ended its side (read to the
        // end of the request), this many ms later, however long that holds the
        // connection open. Reply and Reset send their pieces at once, then end.
        int afterPeerEndMs = -1;
    };

    explicit FakeServer(QObject *parent = nullptr);
    ~FakeServer() override;

    // The endpoint a window under test connects to.
    ServerEndpoint endpoint() const;

    void script(Kind kind, const Behaviour &behaviour);
    void script(Kind kind, Behaviour::Action action)
    {
        Behaviour behaviour;
        behaviour.action = action;
        script(kind, behaviour);
    }
    void reply(Kind kind, const QByteArray &text, bool keepOpen = false)
    {
        Behaviour behaviour;
        behaviour.pieces = {text};
        behaviour.keepOpen = keepOpen;
        script(kind, behaviour);
    }

    // The bytes received on each connection of a kind, in order of connection.
    QList<QByteArray> requests(Kind kind) const;
    int connectionCount(Kind kind) const { return m_lanes[kind].connections.size(); }
    // Connections of a kind that the client has closed or ended its side of
    // (or that ended); a silent server still holds those the client only ended.
    int closedCount(Kind kind) const;

    // Resets every connection of a kind that is still open (a reply cut off midway).
    void resetOpenConnections(Kind kind);

    // HTTP: the paths requested, raw (still percent-encoded), and the pages served.
    QStringList httpPaths() const { return m_httpPaths; }
    // Each request's head: request line and headers.
    QList<QByteArray> httpHeads() const { return m_httpHeads; }
    void setPage(const QByteArray &path, const QByteArray &html) { m_pages.insert(path, html); }
    // A page with a validator: a request that names it gets 304 and no body.
    void setPage(const QByteArray &path, const QByteArray &html, const QByteArray &etag)
    {
        m_pages.insert(path, html);
        m_etags.insert(path, etag);
    }
    // A page whose headers come but whose body never ends.
    void setHangingPage(const QByteArray &path) { m_hanging.append(path); }
    void stopHanging(const QByteArray &path) { m_hanging.removeAll(path); } // for later requests
    // A page answered as scripted; its pieces are the raw HTTP reply (status
    // line, headers and body). Silent, Close and Reset work as for requests.
    void scriptPage(const QByteArray &path, const Behaviour &behaviour) { m_pageScripts.insert(path, behaviour); }
    // Page connections not yet closed by either side.
    int openPageConnections() const { return m_httpOpen; }
    // While refused, nothing listens on the page port.
    void refusePages(bool refused);

private:
    struct Connection
    {
        QPointer<QTcpSocket> socket;
        QByteArray received;
        bool answered = false;
        bool ended = false;
        int held = -1; // a descriptor of the connection kept past Qt's close at the peer's end
    };
    struct Lane
    {
        QTcpServer listener;
        quint16 port = 0;
        Behaviour behaviour;
        QList<Connection *> connections;
    };

    void listen(Lane &lane);
    void accept(Lane &lane);
    void onData(Lane &lane, Connection *connection);
    void answer(Connection *connection, const Behaviour &behaviour);
    static void answerHeld(Connection *connection, const Behaviour &behaviour);
    void acceptHttp();

    Lane m_lanes[3];
    QTcpServer m_http;
    QStringList m_httpPaths;
    QList<QByteArray> m_httpHeads;
    QHash<QByteArray, QByteArray> m_pages;
    QHash<QByteArray, QByteArray> m_etags;
    QList<QByteArray> m_hanging;
    QHash<QByteArray, Behaviour> m_pageScripts;
    quint16 m_pagePort = 0; // kept while the page port is refused
    int m_httpOpen = 0;

    void answerPage(QTcpSocket *socket, const Behaviour &behaviour);
};

// One scripted behaviour, for the tables that list many.
inline FakeServer::Behaviour serve(FakeServer::Behaviour::Action action,
                                   const QList<QByteArray> &pieces = {}, int pieceDelayMs = 0,
                                   bool keepOpen = false)
{
    FakeServer::Behaviour behaviour;
    behaviour.action = action;
    behaviour.pieces = pieces;
    behaviour.pieceDelayMs = pieceDelayMs;
    behaviour.keepOpen = keepOpen;
    return behaviour;
}

// A behaviour that waits for the peer's end, then delayMs more.
inline FakeServer::Behaviour serveAfterPeerEnd(FakeServer::Behaviour::Action action, int delayMs = 0,
                                               const QList<QByteArray> &pieces = {})
{
    FakeServer::Behaviour behaviour = serve(action, pieces);
    behaviour.afterPeerEndMs = delayMs;
    return behaviour;
}
