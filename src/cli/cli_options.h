#pragma once

#include <QStringList>

#include <string>
#include <utility>
#include <vector>

// What the operator asked the headless front end to do.
struct cli_request {
    std::string folder;                                           // "" for the application folder
    std::vector<std::pair<std::string, std::string>> overrides;   // option name, value
    std::string image;                                            // a local archive instead of the latest release
    std::vector<std::string> devices;
    std::vector<std::string> targets;
    bool yes = false;
    bool verify = false;
    bool list = false;
    bool help = false;
    bool version = false;
};

// Parses the arguments (without the program name); false with a one-line message on a usage error.
bool parse_cli(const QStringList& arguments, cli_request& request, std::string& error);
std::string cli_usage();
