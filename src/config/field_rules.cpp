#include "src/config/field_rules.h"

#include <cctype>
#include <map>
#include <mutex>
#include <regex>

const std::vector<field_rule>& field_rules()
{
    static const std::vector<field_rule> rules = {
        {&settings::btc, "BTC Address", "btc", "^[13][a-km-zA-HJ-NP-Z1-9]{25,34}$", "Invalid BTC Address",
         "26 to 35 characters starting with 1 or 3, from the Base58 alphabet (no 0, O, I or l)"},
        {&settings::worker, "Worker name", "worker", "^(\\(%d\\)|\\(%d,[0-9]+\\)|[a-zA-Z0-9-_]){0,15}$",
         "Invalid Worker name",
         "up to 15 units, each a letter a-z or A-Z, a digit, '-', '_' or a counter (%d) or (%d,N); with counters, "
         "at most 15 characters counting each (%d) as 1 and each (%d,N) as the digits of N. A stick gets 1 for "
         "(%d) and N+1 for (%d,N), so aaaaaaaaaaaa(%d,999) is allowed and gives the 16 characters aaaaaaaaaaaa1000"},
        {&settings::group, "Group name", "group", "^[a-zA-Z0-9-_]{0,15}$", "Invalid Group name",
         "up to 15 of a-z, A-Z, 0-9, '-', '_'"},
        {&settings::ssid, "Wireless ssid", "ssid", "^[^!#;\\s\\t][^+[\\]\\/\"?$]{0,30}[^\\t\\s]$", "Invalid SSID",
         "2 to 32 bytes of UTF-8 (a character outside ASCII takes 2 to 4), not starting with '!', '#', ';' or "
         "white space, none of + [ ] / \" ? $ inside, not ending in white space"},
        {&settings::wireless_key, "Wireless key", "wireless-key", ".*", "Invalid wireless key", "anything on one line"},
        {&settings::ssh_key, "SSH key", "ssh-key", "^ssh-rsa AAAA[0-9A-Za-z+/]+$", "Invalid SSH key",
         "\"ssh-rsa AAAA\" followed by Base64 characters, without '=' padding or a comment"},
    };
    return rules;
}

const field_rule& btc_rule()
{
    return field_rules().front();
}

int template_length(const std::string& text)
{
    int count = 0;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '(') {
            ++count;
            ++i;
            continue;
        }
        i += 3; // "(%d"
        if (i < text.size() && text[i] == ')') {
            ++count;
            ++i;
            continue;
        }
        while (i < text.size() && text[i] != ')') {
            if (std::isdigit(static_cast<unsigned char>(text[i])))
                ++count;
            ++i;
        }
        ++i; // past ")"
    }
    return count;
}

bool text_is_valid(const std::string& pattern, const std::string& text)
{
    if (text.empty())
        return true;
    static std::mutex cache_mutex;
    static std::map<std::string, std::regex> cache;
    bool matches = false;
    {
        std::lock_guard<std::mutex> lock(cache_mutex);
        auto it = cache.find(pattern);
        if (it == cache.end())
            it = cache.emplace(pattern, std::regex(pattern)).first;
        matches = std::regex_match(text, it->second);
    }
    if (!matches)
        return false;
    return text.find('%') == std::string::npos || template_length(text) <= 15;
}
