#pragma once

#include "src/core/version.h"

#include <string>

constexpr const char* application_name = "KELVRA Flash Tool";

// The user's own local application-data folder. Asked before any QCoreApplication exists, so
// Qt appends no organisation or application name to it.
std::string local_data_location();

// local_data_location() + "/KELVRA Flash Tool", no trailing slash.
std::string application_folder();

// Creates the folder's downloads folder, an empty configuration.txt and an empty log when missing;
// failures are left to the steps that use them.
void create_folder_items(const std::string& folder);
