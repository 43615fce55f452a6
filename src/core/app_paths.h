#pragma once

#include "src/core/version.h"

#include <string>

constexpr const char* application_name = "KELVRA Flash Tool";

// The user's own local application-data folder. Asked before any QCoreApplication exists, so
// Qt appends no organisation or application name to it.
std::string local_data_location();

// local_data_location() + "/KELVRA Flash Tool", no trailing slash; run as root on a user's behalf
// (sudo, pkexec), that user's.
std::string application_folder();

// Creates the folder's downloads folder, an empty configuration.txt and an empty log when missing;
// failures are left to the steps that use them. What root makes in a user's folder is the user's.
void create_folder_items(const std::string& folder);
