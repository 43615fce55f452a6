#include "src/cli/cli_options.h"

#include "src/config/field_rules.h"

#include <QCommandLineParser>

namespace {

QList<QCommandLineOption> options()
{
    QList<QCommandLineOption> list = {
        {"folder", "Working folder for settings, downloads and log (default: the application folder).", "dir"},
        {"image", "Flash this local .gz archive instead of the latest release.", "file"},
        {"device", "A USB disk to flash (repeatable); see --list.", "path"},
        {"target", "A disk-image file to flash (repeatable); created or grown as needed.", "file"},
        {QStringList{"y", "yes"}, "Write devices without asking."},
        {"verify", "Read every target back and compare it with what was written."},
        {"list", "List the USB disks that can be flashed."},
        {"station", "Wait, and flash every USB disk plugged in from now on, each with the next worker name, until "
                    "Ctrl-C."},
        {"max-size", "With --station: leave disks larger than this alone (default 64 GiB).", "bytes"},
        {"names", "With --station: a CSV file of port,worker or serial,worker lines; a stick found there gets "
                  "that name instead of the next number.", "file"},
        {"json", "Print --list and the summary as JSON (an array of objects), for scripts."},
        {QStringList{"h", "help"}, "Show this help."},
        {"version", "Show the program's name and version."},
    };
    for (const field_rule& rule : field_rules())
        list << QCommandLineOption(rule.option, QString("%1: %2.").arg(rule.label, rule.allowed), "value");
    return list;
}

} // namespace

bool parse_cli(const QStringList& arguments, cli_request& request, std::string& error)
{
    QCommandLineParser parser;
    parser.addOptions(options());
    if (!parser.parse(QStringList{"kelvra-flash-cli"} + arguments)) {
        error = parser.errorText().toStdString();
        return false;
    }
    if (!parser.positionalArguments().isEmpty()) {
        error = "Unexpected argument: " + parser.positionalArguments().first().toStdString();
        return false;
    }
    request.folder = parser.value("folder").toStdString();
    request.image = parser.value("image").toStdString();
    for (const QString& device : parser.values("device"))
        request.devices.push_back(device.toStdString());
    for (const QString& target : parser.values("target"))
        request.targets.push_back(target.toStdString());
    request.yes = parser.isSet("yes");
    request.verify = parser.isSet("verify");
    request.list = parser.isSet("list");
    request.help = parser.isSet("help");
    request.version = parser.isSet("version");
    request.station = parser.isSet("station");
    request.json = parser.isSet("json");
    request.names = parser.value("names").toStdString();
    if (parser.isSet("max-size")) {
        bool number = false;
        request.max_size = parser.value("max-size").toULongLong(&number);
        if (!number || request.max_size == 0) {
            error = "--max-size takes a number of bytes";
            return false;
        }
    }
    if (!request.station && (parser.isSet("max-size") || parser.isSet("names"))) {
        error = "--max-size and --names belong to --station";
        return false;
    }
    if (request.station && (!request.devices.empty() || !request.targets.empty() || request.list)) {
        error = "--station finds its drives itself: no --device, --target or --list with it";
        return false;
    }
    for (const field_rule& rule : field_rules())
        if (parser.isSet(rule.option))
            request.overrides.emplace_back(rule.option, parser.value(rule.option).toStdString());
    if (!request.help && !request.version && !request.list && !request.station && request.devices.empty()
        && request.targets.empty()) {
        error = "Nothing to flash: give --device or --target (or --list).";
        return false;
    }
    if (!request.image.empty() && (request.image.size() < 4 || request.image.substr(request.image.size() - 3) != ".gz")) {
        error = "--image must name a gzip archive ending in .gz";
        return false;
    }
    return true;
}

std::string cli_usage()
{
    QCommandLineParser parser;
    parser.setApplicationDescription("Flash KELVRA onto USB disks or disk-image files, several at once.");
    parser.addOptions(options());
    // Qt names the program as it was started, a build folder's path included; the help (and the
    // manual page made from it) names it as it is installed.
    QString text = parser.helpText();
    const int usage_end = text.indexOf('\n');
    if (text.startsWith(QLatin1String("Usage: ")) && usage_end > 0)
        text.replace(0, usage_end, QStringLiteral("Usage: kelvra-flash-cli [options]"));
    return text.toStdString();
}
