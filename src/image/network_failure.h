#pragma once

#include <QNetworkReply>
#include <QString>

// What ended a request, as the reply left it.
struct network_outcome {
    QString url;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    int http_status = 0;          // 0 when no HTTP answer came
    QString http_reason;          // the status line's phrase, "Not Found"
    bool stopped_by_caller = false; // the run itself aborted the request (cancel)
    int timeout_seconds = 0;      // the request's transfer limit
    QString error_text;           // Qt's own words, for errors without words of ours
};

network_outcome outcome_of(const QNetworkReply& reply, bool stopped_by_caller, int timeout_seconds);

// The reason in words with the URL, for operators and the log: "HTTP 404 Not Found from <url>",
// "connection refused by <url>", "timed out after 60 s waiting for <url>".
QString describe_network_failure(const network_outcome& outcome);
