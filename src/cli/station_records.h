#pragma once

#include <cstdint>
#include <map>
#include <string>

// The station's two files, as plain text in and out: the operator's names file and the line each
// finished stick adds to station.csv.

// Worker names by USB port or serial number, from lines "port,worker" or "serial,worker". Empty
// lines, lines starting with '#' and a header line ("port,worker" / "serial,worker") are skipped.
struct station_names {
    std::map<std::string, std::string> by_key;
    // The name for a stick: by its port first, then by its serial; "" when neither is listed.
    std::string lookup(const std::string& port, const std::string& serial) const;
};
// False with a message naming the line when the text cannot be used; every name must pass
// is_valid_name (the form's rule) and carries no counter: it is given as it stands.
bool parse_station_names(const std::string& text, station_names& names, std::string& error,
                         bool (*is_valid_name)(const std::string&));

struct station_record {
    std::string time; // ISO 8601, local time with its offset
    std::string port, serial;
    uint64_t size = 0;
    std::string tag, worker;
    std::string result; // "ok" or "failed: <reason>"
    double seconds = 0;
};

extern const char* const station_csv_header; // "time,port,serial,size,tag,worker,result,seconds"
// One line of station.csv, without its line end; fields quoted where they need it.
std::string station_csv_line(const station_record& record);
// Adds the line to the file (with the header first when the file is new or empty) and pushes it
// to the disk at once; stations and runs on one folder take turns through a lock beside it.
bool append_station_record(const std::string& csv_path, const station_record& record);
