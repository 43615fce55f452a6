#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

// Which worker name a drive gets. The window, the headless runs and the station follow one set of
// rules, so that no two sticks of a farm ever carry one name.

// Whether the name holds a counter token, "(%d)" or "(%d,N)": only such a name numbers a series
// that later runs continue.
bool has_counter(const std::string& worker);

// The name a run uses when it was given one explicitly and another is saved: the saved one when
// both are of one counter series and the saved one is further on ("rig(%d)" and "rig(%d,7)");
// otherwise the given one, as written ("rig3" stays rig3, whatever the saved name).
std::string later_in_series(const std::string& given, const std::string& saved);

// Whether a counter name can ever write this name: "rig(%d)" writes rig1, rig2, ... but not rig0,
// rig01 or rigA.
bool series_can_write(const std::string& series, const std::string& name);

// The operator's list of names by USB port or serial number, from lines "port,worker" or
// "serial,worker". Empty lines, lines starting with '#' and a header line ("port,worker" /
// "serial,worker") are skipped. Every key and every name is listed once.
struct names_list {
    struct entry {
        std::string name;
        int line = 0;
    };
    std::map<std::string, entry> by_key;
    // The name for a stick: by its port first, then by its serial; "" when neither is listed.
    std::string lookup(const std::string& port, const std::string& serial, std::string* key = nullptr) const;
};

// False with a message naming the line (or both lines of a name given twice) when the text cannot
// be used; every name must pass is_valid_name (the form's rule) and carries no counter.
bool parse_names_list(const std::string& text, names_list& names, std::string& error,
                      bool (*is_valid_name)(const std::string&));
// False with a message naming the line when the series could write a listed name too.
bool names_clear_of_series(const names_list& names, const std::string& series, std::string& error);

// The names one station run has given, and the name it gives the next stick plugged in: a listed
// name goes to one stick only, a stick seen again gets its own name again, and the others are
// numbered when there is a counter name.
class station_naming {
public:
    struct given {
        std::string port, serial;
        uint64_t size = 0;
        std::string name;
        bool ended = false;
        bool ok = false;
        size_t run = 0; // the front end's own index of the stick's run
    };
    struct choice {
        enum kind { numbered, listed, again, wait, refused } how = refused;
        std::string name;  // listed and again: the name it gets
        std::string why;   // refused: why it is left alone
        size_t earlier = 0; // again: the index in given() of its earlier visit
    };

    station_naming(names_list list, bool numbered) : m_list(std::move(list)), m_numbered(numbered) {}

    // A stick of the serial number and size of an earlier one is that stick again when the last such
    // stick failed (its name is on no good stick) or when is_same_stick finds on it what an earlier
    // good one was written with. An earlier one still running makes this one wait.
    choice choose(const std::string& port, const std::string& serial, uint64_t size,
                  const std::function<bool(const given&)>& is_same_stick) const;
    void note(given stick) { m_given.push_back(std::move(stick)); }
    std::vector<given>& given_names() { return m_given; }

private:
    names_list m_list;
    bool m_numbered;
    std::vector<given> m_given;
};
