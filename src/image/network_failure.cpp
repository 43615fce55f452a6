#include "src/image/network_failure.h"

#include <QNetworkRequest>

network_outcome outcome_of(const QNetworkReply& reply, bool stopped_by_caller, int timeout_seconds)
{
    network_outcome outcome;
    outcome.url = reply.url().toString();
    outcome.error = reply.error();
    outcome.http_status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    outcome.http_reason = reply.attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString().trimmed();
    outcome.stopped_by_caller = stopped_by_caller;
    outcome.timeout_seconds = timeout_seconds;
    outcome.error_text = reply.errorString();
    return outcome;
}

QString describe_network_failure(const network_outcome& outcome)
{
    const QString& url = outcome.url;
    // A server that answered says best what went wrong; redirects are not followed, so a 3xx
    // is a failure as well.
    if (outcome.http_status != 0 && (outcome.http_status < 200 || outcome.http_status > 299)) {
        QString status = "HTTP " + QString::number(outcome.http_status);
        if (!outcome.http_reason.isEmpty())
            status += " " + outcome.http_reason;
        return status + " from " + url;
    }
    switch (outcome.error) {
    case QNetworkReply::ConnectionRefusedError:
        return "connection refused by " + url;
    case QNetworkReply::HostNotFoundError:
        return "host not found: " + url;
    case QNetworkReply::RemoteHostClosedError:
        return "the server closed the connection early: " + url;
    case QNetworkReply::TimeoutError:
        return "timed out waiting for " + url;
    case QNetworkReply::OperationCanceledError:
        // Qt ends a request that outlived its transfer limit as if it had been aborted.
        if (outcome.stopped_by_caller)
            return "stopped: " + url;
        return "timed out after " + QString::number(outcome.timeout_seconds) + " s waiting for " + url;
    case QNetworkReply::NoError:
        return "no usable answer from " + url;
    default:
        break;
    }
    if (outcome.error == QNetworkReply::SslHandshakeFailedError)
        return "secure connection failed (" + outcome.error_text + "): " + url;
    return "network error " + QString::number(outcome.error) + " (" + outcome.error_text + "): " + url;
}
