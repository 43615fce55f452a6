#include "src/config/image_configurator.h"

#include "src/core/durable_file.h"
#include "src/core/log_location.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <algorithm>
#include <cctype>
#include <regex>
#include <utility>

namespace {

QString configuration_path(const std::string& folder)
{
    return QString::fromStdString(folder + "/configuration.txt");
}

QString q(const std::string& utf8)
{
    return QString::fromStdString(utf8);
}

// Counts a decimal number up by one without any width limit, dropping leading zeros the way
// reading it as a number would ("007" -> "8", "99" -> "100").
std::string increment_decimal(const std::string& digits)
{
    std::string number = digits;
    const auto first = number.find_first_not_of('0');
    number = first == std::string::npos ? "0" : number.substr(first);
    for (auto it = number.rbegin(); it != number.rend(); ++it) {
        if (*it != '9') {
            ++*it;
            return number;
        }
        *it = '0';
    }
    return "1" + number;
}

std::string token_number(const std::string& token)
{
    // "(%d,N)": the digits between the comma and the closing parenthesis
    const auto comma = token.find(',');
    return token.substr(comma + 1, token.size() - comma - 2);
}

std::string escape_regex(const std::string& text)
{
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, special, R"(\$&)");
}

const std::regex& numbered_token()
{
    static const std::regex pattern(R"(\(%d,[0-9]+\))");
    return pattern;
}

} // namespace

bool operator==(const settings& a, const settings& b)
{
    return a.btc == b.btc && a.worker == b.worker && a.group == b.group && a.ssh_key == b.ssh_key
        && a.ssid == b.ssid && a.wireless_key == b.wireless_key;
}

QByteArray settings_document(const settings& values)
{
    QJsonObject rig;
    rig.insert(QStringLiteral("btc"), q(values.btc));
    rig.insert(QStringLiteral("worker"), q(values.worker));
    rig.insert(QStringLiteral("group"), q(values.group));

    QJsonObject ssh;
    ssh.insert(QStringLiteral("key"), q(values.ssh_key));
    QJsonObject access;
    access.insert(QStringLiteral("ssh"), ssh);

    QJsonObject wireless;
    wireless.insert(QStringLiteral("ssid"), q(values.ssid));
    wireless.insert(QStringLiteral("key"), q(values.wireless_key));
    QJsonObject network;
    network.insert(QStringLiteral("wireless"), wireless);

    QJsonObject root;
    root.insert(QStringLiteral("rig"), rig);
    root.insert(QStringLiteral("access"), access);
    root.insert(QStringLiteral("network"), network);
    return QJsonDocument(root).toJson();
}

std::unique_ptr<settings> load_settings(const std::string& folder)
{
    auto values = std::make_unique<settings>();
    QFile file(configuration_path(folder));
    const QByteArray text = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    const QJsonObject root = QJsonDocument::fromJson(text).object();

    const QJsonObject rig = root.value(QStringLiteral("rig")).toObject();
    values->btc = rig.value(QStringLiteral("btc")).toString().toStdString();
    values->worker = rig.value(QStringLiteral("worker")).toString().toStdString();
    values->group = rig.value(QStringLiteral("group")).toString().toStdString();

    const QJsonObject ssh = root.value(QStringLiteral("access")).toObject().value(QStringLiteral("ssh")).toObject();
    values->ssh_key = ssh.value(QStringLiteral("key")).toString().toStdString();

    const QJsonObject wireless =
        root.value(QStringLiteral("network")).toObject().value(QStringLiteral("wireless")).toObject();
    values->wireless_key = wireless.value(QStringLiteral("key")).toString().toStdString();
    values->ssid = wireless.value(QStringLiteral("ssid")).toString().toStdString();
    return values;
}

bool save_settings(const std::string& folder, settings values)
{
    // A crash or power cut mid-save keeps the old settings, never an empty file.
    return write_durably(configuration_path(folder).toStdString(), settings_document(values));
}

std::string expand_worker_name(const std::string& worker)
{
    std::string working = worker;
    std::string rest = worker;
    std::smatch match;
    while (std::regex_search(rest, match, numbered_token())) {
        const std::string token = match.str();
        const std::regex same_token(escape_regex(token));
        working = std::regex_replace(working, same_token, increment_decimal(token_number(token)));
        rest = match.suffix().str();
    }
    static const std::regex first_token(R"(\(%d\))");
    return std::regex_replace(working, first_token, "1");
}

void advance_worker_name(settings* values)
{
    const std::string& name = values->worker;
    static const std::regex plain_name("^[a-zA-Z0-9-_]{0,15}$");
    if (std::regex_match(name, plain_name)) {
        size_t digits_start = name.size();
        while (digits_start > 0 && std::isdigit(static_cast<unsigned char>(name[digits_start - 1])))
            --digits_start;
        if (digits_start == name.size())
            values->worker = name + "1";
        else
            values->worker = name.substr(0, digits_start) + increment_decimal(name.substr(digits_start));
        return;
    }

    // One pass over the name as it was: a token written by this call is never looked at again.
    static const std::regex any_token(R"(\(%d,[0-9]+\)|\(%d\))");
    std::string advanced;
    auto position = name.cbegin();
    for (std::sregex_iterator it(name.cbegin(), name.cend(), any_token), end; it != end; ++it) {
        const std::smatch& match = *it;
        advanced.append(position, match[0].first);
        const std::string token = match.str();
        const std::string next = token == "(%d)" ? "1" : increment_decimal(token_number(token));
        advanced += "(%d," + next + ")";
        position = match[0].second;
    }
    advanced.append(position, name.cend());
    values->worker = advanced;
}

namespace {

// The document as it goes into the image: the worker name expanded.
QByteArray embedded_document(const settings& values)
{
    settings embedded = values;
    embedded.worker = expand_worker_name(values.worker);
    return settings_document(embedded);
}

// Padded with line feeds to the full 2048 bytes; empty when the document does not fit.
QByteArray padded(QByteArray document)
{
    if (document.size() > configuration_size)
        return QByteArray();
    document.append(QByteArray(configuration_size - document.size(), '\n'));
    return document;
}

} // namespace

QByteArray configuration_text(const settings& values)
{
    return padded(embedded_document(values));
}

QByteArray configure_image(const std::string& folder, settings values)
{
    const QByteArray document = embedded_document(values);
    KLOG(logger::debug, "Configuration file size: " << document.size());
    QByteArray text = padded(document);
    if (text.isEmpty()) {
        KLOG(logger::fatal, "Configuration file exceeds 2kB");
        return text;
    }
    save_settings(folder, values);
    return text;
}
