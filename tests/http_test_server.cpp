#include "http_test_server.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

const QString http_test_server::release_path = QStringLiteral("/repos/orvane/KELVRA/releases/latest");

http_test_server::http_test_server() : m_server(new QTcpServer(this))
{
    m_server->listen(QHostAddress::LocalHost, 0);
    m_port = m_server->serverPort();
    connect(m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = m_server->nextPendingConnection()) {
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { m_read_request(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
}

http_test_server::~http_test_server() = default;

QString http_test_server::base_url() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_port);
}

void http_test_server::set_response(const QString& path, const http_response& response)
{
    m_responses.insert(path, response);
}

void http_test_server::set_release(const QString& tag)
{
    http_response response;
    response.body = QJsonDocument(QJsonObject{{"tag_name", tag}, {"name", "KELVRA " + tag}}).toJson();
    set_response(release_path, response);
}

void http_test_server::stop()
{
    m_server->close();
}

void http_test_server::m_read_request(QTcpSocket* socket)
{
    if (socket->property("answered").toBool())
        return;
    QByteArray request = socket->property("request").toByteArray() + socket->readAll();
    socket->setProperty("request", request);
    if (!request.contains("\r\n\r\n"))
        return;
    socket->setProperty("answered", true);

    const QList<QByteArray> request_line = request.left(request.indexOf("\r\n")).split(' ');
    const QString path = request_line.size() >= 2 ? QString::fromUtf8(request_line[1]) : QString();
    m_requests << path;

    http_response not_found;
    not_found.status = 404;
    not_found.body = "{\"message\": \"Not Found\"}";
    m_answer(socket, m_responses.value(path, not_found));
}

void http_test_server::m_answer(QTcpSocket* socket, const http_response& response)
{
    // The phrases real servers send: clients show them.
    const QByteArray reason = response.status == 200 ? "OK"
        : response.status == 404                      ? "Not Found"
        : response.status == 500                      ? "Internal Server Error"
                                                      : "Scripted";
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + " " + reason + "\r\nConnection: close\r\n";
    if (response.framing == http_response::framing::content_length)
        head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    else if (response.framing == http_response::framing::chunked)
        head += "Transfer-Encoding: chunked\r\n";
    for (const auto& header : response.headers)
        head += header.first + ": " + header.second + "\r\n";
    socket->write(head + "\r\n");
    m_send_body(socket, response, 0);
}

void http_test_server::m_send_body(QTcpSocket* socket, const http_response& response, qint64 sent)
{
    const bool chunked = response.framing == http_response::framing::chunked;
    const qint64 limit = response.drop_after >= 0 ? qMin<qint64>(response.body.size(), response.drop_after)
                                                  : response.body.size();
    const qint64 size = qMin(response.piece_size > 0 ? response.piece_size : limit - sent, limit - sent);
    const QByteArray piece = response.body.mid(static_cast<int>(sent), static_cast<int>(size));
    if (size > 0)
        socket->write(chunked ? QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n" : piece);
    if ((sent += size) >= limit) {
        if (chunked && response.drop_after < 0)
            socket->write("0\r\n\r\n");
        socket->disconnectFromHost(); // sends what is queued first
        return;
    }
    QPointer<QTcpSocket> alive(socket);
    QTimer::singleShot(response.piece_interval_ms, this, [this, alive, response, sent] {
        if (alive && alive->state() == QAbstractSocket::ConnectedState)
            m_send_body(alive, response, sent);
    });
}
