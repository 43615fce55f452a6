#pragma once

#include <QStringList>

#include <cstdint>
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
    // Flash every USB disk plugged in from now on, until Ctrl-C.
    bool station = false;
    uint64_t max_size = 68719476736ULL; // 64 GiB: larger disks are left alone by the station
    std::string names;                  // CSV of port or serial to worker name, for the station
    bool version = false;
    bool json = false;                  // --list and the summary as JSON, for scripts
};

// Parses the arguments (without the program name); false with a one-line message on a usage error.
bool parse_cli(const QStringList& arguments, cli_request& request, std::string& error);
std::string cli_usage();
