#pragma once

#include <QByteArray>

#include <memory>
#include <string>

// The six first-boot values of the form, UTF-8.
struct settings {
    std::string btc;
    std::string worker;
    std::string group;
    std::string ssh_key;
    std::string ssid;
    std::string wireless_key;
};

bool operator==(const settings& a, const settings& b);

// The settings document in Qt's indented JSON form; 258 bytes when every value is empty.
QByteArray settings_document(const settings& values);

// Reads folder + "/configuration.txt"; anything missing, malformed or wrongly typed reads as "".
std::unique_ptr<settings> load_settings(const std::string& folder);

// Replaces folder + "/configuration.txt" as a whole; an unwritable file is left as it was and
// false is returned.
bool save_settings(const std::string& folder, settings values);

// Worker names with counter tokens: "(%d)" writes 1, "(%d,N)" writes N+1.
std::string expand_worker_name(const std::string& worker);
// After a successful flash: every token moves on by one, a plain name counts its trailing number up.
void advance_worker_name(settings* values);

constexpr int configuration_size = 2048;

// The 2048-byte text for the image: the document with the worker name expanded, padded with line
// feeds; empty when it does not fit. Touches no file.
QByteArray configuration_text(const settings& values);

// The 2048-byte text embedded into the image, or an empty array when the values do not fit.
// Saves the values (worker name unexpanded) when they fit.
QByteArray configure_image(const std::string& folder, settings values);
