#include "server/app/metricsport.h"

#include "server/net/connectionlimit.h"
#include "server/base/servermetrics.h"
#include "server/net/streamconnection.h"

namespace {

constexpr qsizetype maxRequestBytes = 8 * 1024;


QByteArray answer(int status, const char *reason, const QByteArray &type, const QByteArray &body,
                  bool withBody)
{
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\nContent-Type: " + type
        + "\r\nContent-Length: " + QByteArray::number(body.size())
        + "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + (withBody ? body : "");
}

} // namespace

MetricsPort::MetricsPort(ConnectionLimit::Settings limit, LogSink log, QObject *parent)
    : QObject(parent),
      m_log(std::move(log)),
      m_limit(new ConnectionLimit(limit, m_log, this)),
      m_port(new ListeningPort(QStringLiteral("metrics"), *m_limit, this))
{
    connect(m_port, &ListeningPort::accepted, this, [this](StreamConnection *connection) {
        connection->setInputLimit(maxRequestBytes + 1);
        connect(connection, &StreamConnection::readyRead, this,
                [this, connection] { read(connection); });
    });
}

// The connections go before the limit they count against.
MetricsPort::~MetricsPort()
{
    delete m_port;
}

bool MetricsPort::listen(const QHostAddress &address, quint16 port)
{
    return m_port->listen(address, port);
}

quint16 MetricsPort::port() const
{
    return m_port->port();
}

QString MetricsPort::errorString() const
{
    return m_port->errorString();
}

void MetricsPort::read(StreamConnection *connection)
{
    if (connection->isFinished())
        return;
    QByteArray &input = connection->input();
    const qsizetype end = input.indexOf("\n\r\n") >= 0 ? input.indexOf("\n\r\n")
                                                        : input.indexOf("\n\n");
    QByteArray reply;
    if (end < 0 && input.size() <= maxRequestBytes && !connection->inputEnded())
        return;
    const QList<QByteArray> line = input.left(input.indexOf('\n')).trimmed().split(' ');
    const bool head = line.value(0) == "HEAD";
    const QByteArray target = line.value(1);
    if (end < 0 || line.size() != 3 || !line[2].startsWith("HTTP/1.")) {
        reply = answer(400, "Bad Request", "text/plain", "bad request\n", true);
    } else if (line[0] != "GET" && !head) {
        reply = answer(405, "Method Not Allowed", "text/plain", "GET or HEAD\n", true);
    } else if (target == "/metrics") {
        reply = answer(200, "OK", "text/plain; version=0.0.4; charset=utf-8",
                       QByteArray::fromStdString(metrics::text()), !head);
    } else {
        reply = answer(404, "Not Found", "text/plain", "not found: try /metrics\n", !head);
    }
    metrics::requestDone("metrics", reply.mid(9, 3).toStdString());
    input.clear();
    connection->setFinished(true);
    connection->write(reply);
    connection->closeWhenWritten();
}
