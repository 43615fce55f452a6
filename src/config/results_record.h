#pragma once

#include <QElapsedTimer>

#include <cstdint>
#include <string>

// Every drive that any run takes up, the window's, a headless run's or the station's, adds one line
// to results.csv in the application folder: which stick got which name, from which release, and
// how it ended. Farms find a stick's name there long after the run.

constexpr const char* results_file_name = "results.csv";
// The station's record before every run kept one; its lines open results.csv when that is new.
constexpr const char* former_results_file_name = "station.csv";

struct flash_result {
    std::string time; // ISO 8601, local time with its offset
    std::string port, serial;
    uint64_t size = 0;
    std::string tag, worker;
    std::string result = "failed"; // "ok" or "failed: <reason>"
    double seconds = 0;
    std::string target; // the device or file written, as the run named it
    QElapsedTimer began;
};

extern const char* const results_header; // "time,port,serial,size,tag,worker,result,seconds,target"
// One line of the record, without its line end; fields quoted where they need it.
std::string results_line(const flash_result& result);

// The release an archive holds, in one form whatever the archive is called: the cache's "2.7.0.gz"
// and the user's "kelvra-2.7.0.img.gz" both give "2.7.0".
std::string release_tag(const std::string& archive_path);

// A result for a drive taken up now; its time and seconds are filled in at its end.
flash_result begin_result(const std::string& target, const std::string& port, const std::string& serial,
                          uint64_t size, const std::string& archive_path, const std::string& worker);

// Ends the result now and adds its line to folder/results.csv (the header first in a new file),
// pushed to the disk at once; every run on the folder takes turns through a lock beside it.
bool add_result(const std::string& folder, flash_result& result);
