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
    if (response.framing == http_response::framing::content_length) {
        const qint64 length = response.declared_length >= 0 ? response.declared_length : response.body.size();
        head += "Content-Length: " + QByteArray::number(length) + "\r\n";
    } else if (response.framing == http_response::framing::chunked) {
        head += "Transfer-Encoding: chunked\r\n";
    }
    for (const auto& header : response.headers)
        head += header.first + ": " + header.second + "\r\n";
    socket->write(head + "\r\n");
    m_send_body(socket, response, 0);
}

void http_test_server::m_send_body(QTcpSocket* socket, const http_response& response, qint64 sent)
{
    qint64 limit = response.body.size();
    if (response.drop_after >= 0)
        limit = qMin(limit, response.drop_after);
    const qint64 piece = response.piece_size > 0 ? response.piece_size : limit - sent;
    const qint64 size = qMin(piece, limit - sent);
    if (size > 0)
        m_write_piece(socket, response, response.body.mid(static_cast<int>(sent), static_cast<int>(size)));
    sent += size;
    if (sent >= limit) {
        m_finish(socket, response);
        return;
    }
    QPointer<QTcpSocket> alive(socket);
    QTimer::singleShot(response.piece_interval_ms, this, [this, alive, response, sent] {
        if (alive && alive->state() == QAbstractSocket::ConnectedState)
            m_send_body(alive, response, sent);
    });
}

void http_test_server::m_write_piece(QTcpSocket* socket, const http_response& response, const QByteArray& piece)
{
    if (response.framing == http_response::framing::chunked)
        socket->write(QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n");
    else
        socket->write(piece);
}

void http_test_server::m_finish(QTcpSocket* socket, const http_response& response)
{
    if (response.framing == http_response::framing::chunked && response.drop_after < 0)
        socket->write("0\r\n\r\n");
    socket->disconnectFromHost(); // sends what is queued first
}
