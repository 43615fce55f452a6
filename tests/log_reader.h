#pragma once

#include <QFile>
#include <QRegularExpression>
#include <QStringList>

// The lines one function wrote into a log file, reduced to "<severity> <text>".
inline QStringList log_of(const QString& log_path, const QString& function)
{
    QFile file(log_path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList found;
    const QRegularExpression pattern("^\\[(\\w+)\\] \\[[^\\]]+\\] \\[" + function + "\\] (.*)$");
    for (const QByteArray& line : file.readAll().split('\n')) {
        const auto match = pattern.match(QString::fromUtf8(line.mid(26))); // past the time stamp
        if (match.hasMatch())
            found << match.captured(1) + " " + match.captured(2);
    }
    return found;
}
