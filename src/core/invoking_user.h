#pragma once

#include <functional>
#include <string>

// Root running a program on a user's behalf (sudo, pkexec) works in that user's application folder,
// as the window does once it has started itself again through pkexec, and leaves what it made there
// to that user: one folder, one series of worker numbers, files the user's own runs can write.

// The home folder of the user on whose behalf root runs: sudo's SUDO_UID (or SUDO_USER), pkexec's
// PKEXEC_UID, looked up with home_of (a user id or name to its home, "" when unknown). "" when the
// process is not root, or runs for nobody else.
std::string invoking_user_home(bool is_root, const std::function<const char*(const char*)>& get_env,
                               const std::function<std::string(const std::string& uid_or_name)>& home_of);
// The same for this process.
std::string invoking_user_home();

// Makes the folder and the folders above it that are missing; run as root, each one made takes the
// owner of the folder it was made in. False when the folder is not there afterwards.
bool make_folder(const std::string& path);

// Run as root in a folder that belongs to someone else: gives the folder's own items and those of
// its downloads folder that root made (plain files and folders) to the folder's owner. Elsewhere
// nothing.
void hand_over_to_folder_owner(const std::string& folder);
