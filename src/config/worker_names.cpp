#include "src/config/worker_names.h"

#include <algorithm>
#include <cctype>
#include <regex>
#include <sstream>
#include <utility>

namespace {

const std::regex& any_token()
{
    static const std::regex token(R"(\(%d(,([0-9]+))?\))");
    return token;
}

// a < b for decimal digit strings of any length.
bool number_less(std::string a, std::string b)
{
    a.erase(0, std::min(a.find_first_not_of('0'), a.size()));
    b.erase(0, std::min(b.find_first_not_of('0'), b.size()));
    return a.size() != b.size() ? a.size() < b.size() : a < b;
}

std::string trimmed(const std::string& text)
{
    const size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos)
        return std::string();
    return text.substr(begin, text.find_last_not_of(" \t\r\n") - begin + 1);
}

} // namespace

bool has_counter(const std::string& worker)
{
    return std::regex_search(worker, any_token());
}

std::string later_in_series(const std::string& given, const std::string& saved)
{
    std::smatch a, b;
    if (!std::regex_search(given, a, any_token()) || !std::regex_search(saved, b, any_token()))
        return given;
    const bool one_series = std::regex_replace(given, any_token(), "(%d)") == std::regex_replace(saved, any_token(), "(%d)");
    const std::string given_number = a[2].matched ? a[2].str() : "0";
    const std::string saved_number = b[2].matched ? b[2].str() : "0";
    return one_series && number_less(given_number, saved_number) ? saved : given;
}

bool series_can_write(const std::string& series, const std::string& name)
{
    if (!has_counter(series))
        return false;
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    std::string pattern;
    auto position = series.cbegin();
    for (std::sregex_iterator it(series.cbegin(), series.cend(), any_token()), end; it != end; ++it) {
        pattern += std::regex_replace(std::string(position, (*it)[0].first), special, R"(\$&)");
        pattern += "[1-9][0-9]*";
        position = (*it)[0].second;
    }
    pattern += std::regex_replace(std::string(position, series.cend()), special, R"(\$&)");
    return std::regex_match(name, std::regex(pattern));
}

std::string names_list::lookup(const std::string& port, const std::string& serial, std::string* key) const
{
    for (const std::string* wanted : {&port, &serial}) {
        if (wanted->empty())
            continue;
        const auto found = by_key.find(*wanted);
        if (found == by_key.end())
            continue;
        if (key)
            *key = *wanted;
        return found->second.name;
    }
    return std::string();
}

bool parse_names_list(const std::string& text, names_list& names, std::string& error,
                      bool (*is_valid_name)(const std::string&))
{
    // Spreadsheets save "CSV UTF-8" with a byte order mark: it is no part of the first key.
    static const std::string byte_order_mark = "\xef\xbb\xbf";
    std::istringstream lines(text.compare(0, 3, byte_order_mark) == 0 ? text.substr(3) : text);
    std::map<std::string, int> line_of_name;
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        line = trimmed(line);
        if (line.empty() || line[0] == '#')
            continue;
        const size_t comma = line.find(',');
        const std::string key = trimmed(line.substr(0, comma));
        const std::string name = comma == std::string::npos ? std::string() : trimmed(line.substr(comma + 1));
        if (names.by_key.empty() && (key == "port" || key == "serial") && name == "worker")
            continue;
        const auto where = "line " + std::to_string(number) + ": ";
        if (key.empty() || name.empty() || name.find(',') != std::string::npos) {
            error = where + "expected port,worker or serial,worker";
            return false;
        }
        if (has_counter(name) || !is_valid_name(name)) {
            error = where + "\"" + name + "\" is not a worker name that can be given as it stands";
            return false;
        }
        const auto key_seen = names.by_key.find(key);
        if (key_seen != names.by_key.end()) {
            error = "lines " + std::to_string(key_seen->second.line) + " and " + std::to_string(number) + ": " + key
                + " is listed twice";
            return false;
        }
        const auto name_seen = line_of_name.emplace(name, number);
        if (!name_seen.second) {
            error = "lines " + std::to_string(name_seen.first->second) + " and " + std::to_string(number) + ": "
                + name + " is given twice; two sticks would carry one name";
            return false;
        }
        names.by_key.emplace(key, names_list::entry{name, number});
    }
    return true;
}

bool names_clear_of_series(const names_list& names, const std::string& series, std::string& error)
{
    for (const auto& listed : names.by_key) {
        if (series_can_write(series, listed.second.name)) {
            error = "line " + std::to_string(listed.second.line) + ": " + listed.second.name
                + " is also a name of the series " + series + "; two sticks could carry it";
            return false;
        }
    }
    return true;
}

station_naming::choice station_naming::choose(const std::string& port, const std::string& serial, uint64_t size,
                                              const std::function<bool(const given&)>& is_same_stick) const
{
    choice made;
    // Earlier visits of a stick of this serial number and size, the last first: the same stick again,
    // or one that only reports the same serial number (some makers give a whole batch one).
    bool last = true;
    for (size_t i = m_given.size(); !serial.empty() && i-- > 0;) {
        const given& earlier = m_given[i];
        if (earlier.serial != serial || earlier.size != size)
            continue;
        if (!earlier.ended) {
            made.how = choice::wait;
            made.why = "a stick of the same serial number is still being flashed as " + earlier.name;
            return made;
        }
        if ((last && !earlier.ok) || (earlier.ok && is_same_stick(earlier))) {
            made.how = choice::again;
            made.name = earlier.name;
            made.earlier = i;
            return made;
        }
        last = false;
    }
    std::string key;
    made.name = m_list.lookup(port, serial, &key);
    if (!made.name.empty()) {
        const auto holder = std::find_if(m_given.begin(), m_given.end(),
                                         [&](const given& earlier) { return earlier.name == made.name; });
        if (holder == m_given.end()) {
            made.how = choice::listed;
            return made;
        }
        made.how = choice::refused;
        made.why = made.name + ", listed for " + key + ", went to the stick "
            + (holder->serial.empty() ? "in port " + holder->port : holder->serial)
            + " already; a listed name goes to one stick";
        return made;
    }
    if (m_numbered) {
        made.how = choice::numbered;
        return made;
    }
    made.how = choice::refused;
    made.why = "no name to give: it is not in --names, and the worker name has no counter such as rig(%d)";
    return made;
}
