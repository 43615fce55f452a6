#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>

class QTcpServer;
class QTcpSocket;

// One scripted answer of the test server.
struct http_response {
    enum class framing { content_length, close_delimited, chunked };

    int status = 200;
    QByteArray body;
    framing framing = framing::content_length;
    QList<QPair<QByteArray, QByteArray>> headers;
    int piece_size = 0;             // > 0: the body goes out in pieces of this many bytes ...
    int piece_interval_ms = 0;      // ... this far apart
    qint64 drop_after = -1;         // >= 0: the connection closes after this many body bytes
};
Q_DECLARE_METATYPE(http_response)

// Where the image server keeps a release's archive.
inline QString release_archive_path(const QString& tag)
{
    return "/orvminer/kelvra/kelvra-" + tag + "/image/kelvra-" + tag + ".img.gz";
}

// A small HTTP/1.1 server on 127.0.0.1 and a free port, answering each path as scripted.
// Unscripted paths get 404. Every answer closes its connection.
class http_test_server : public QObject {
    Q_OBJECT

public:
    http_test_server();
    ~http_test_server() override;

    QString base_url() const;
    void set_response(const QString& path, const http_response& response);
    // The release lookup's answer: {"tag_name": tag}
    void set_release(const QString& tag);
    // Paths requested so far, in order.
    QStringList requests() const { return m_requests; }
    // Stops listening: later connections are refused.
    void stop();

    static const QString release_path;

private:
    void m_read_request(QTcpSocket* socket);
    void m_answer(QTcpSocket* socket, const http_response& response);
    void m_send_body(QTcpSocket* socket, const http_response& response, qint64 sent);

    QTcpServer* m_server;
    QHash<QString, http_response> m_responses;
    QStringList m_requests;
    quint16 m_port = 0;
};
