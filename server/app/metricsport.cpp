#include "server/app/metricsport.h"

#include "server/base/servermetrics.h"
#include "server/http/httpdate.h"
#include "server/http/requestreader.h"
#include "server/net/connectionlimit.h"
#include "server/net/streamconnection.h"

namespace {

constexpr qsizetype maxRequestBytes = 8 * 1024;

QByteArray answer(int status, const QByteArray &type, const QByteArray &body, bool withBody)
{
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + http::reasonPhrase(status)
        + "\r\nContent-Type: " + type + "\r\nContent-Length: " + QByteArray::number(body.size())
        + "\r\nCache-Control: no-store\r\n" + http::dateLine()
        + (status == 405 ? "Allow: GET, HEAD\r\n" : "") + "Connection: close\r\n\r\n"
        + (withBody ? body : "");
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
    const http::ReadResult parsed = http::readRequest(input, {maxRequestBytes, maxRequestBytes});
    const http::RequestHead &request = parsed.head;
    const bool head = request.method == "HEAD";
    if (parsed.kind == http::ReadResult::Kind::NeedMore && !connection->inputEnded())
        return;
    QByteArray reply;
    if (parsed.kind != http::ReadResult::Kind::Request) {
        // Refused, or ended before it was whole.
        reply = answer(parsed.status ? parsed.status : 400, "text/plain", "bad request\n", true);
    } else if (request.method != "GET" && !head) {
        reply = answer(405, "text/plain", "GET or HEAD\n", true);
    } else if (request.target == "/metrics") {
        reply = answer(200, "text/plain; version=0.0.4; charset=utf-8",
                       QByteArray::fromStdString(metrics::text()), !head);
    } else {
        reply = answer(404, "text/plain", "not found: try /metrics\n", !head);
    }
    metrics::requestDone("metrics", reply.mid(9, 3).toStdString());
    input.clear();
    connection->setFinished(true);
    connection->write(reply);
    connection->closeWhenWritten();
}
