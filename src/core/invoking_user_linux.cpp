#include "src/core/invoking_user.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::string home_from_passwd(const std::string& uid_or_name)
{
    const bool is_number = !uid_or_name.empty() && uid_or_name.find_first_not_of("0123456789") == std::string::npos;
    const passwd* entry = is_number ? getpwuid(static_cast<uid_t>(std::strtoul(uid_or_name.c_str(), nullptr, 10)))
                                    : getpwnam(uid_or_name.c_str());
    return entry && entry->pw_dir ? std::string(entry->pw_dir) : std::string();
}

// Gives what root made in the folder to owner: never through a link, never a file with other names
// elsewhere (a hard link to a system file would hand that file over).
void hand_over_entries(int folder, uid_t owner, gid_t group)
{
    const int listing_descriptor = dup(folder);
    DIR* listing = listing_descriptor < 0 ? nullptr : fdopendir(listing_descriptor);
    if (!listing) {
        if (listing_descriptor >= 0)
            close(listing_descriptor);
        return;
    }
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        struct stat info;
        if (name == "." || name == ".." || fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        const bool handed = S_ISDIR(info.st_mode) || (S_ISREG(info.st_mode) && info.st_nlink == 1);
        if (info.st_uid == 0 && handed)
            fchownat(folder, name.c_str(), owner, group, AT_SYMLINK_NOFOLLOW);
    }
    closedir(listing);
}

} // namespace

std::string invoking_user_home(bool is_root, const std::function<const char*(const char*)>& get_env,
                               const std::function<std::string(const std::string&)>& home_of)
{
    if (!is_root)
        return std::string();
    for (const char* variable : {"SUDO_UID", "SUDO_USER", "PKEXEC_UID"}) {
        const char* value = get_env(variable);
        if (!value || !*value || std::string(value) == "0" || std::string(value) == "root")
            continue;
        return home_of(value);
    }
    return std::string();
}

std::string invoking_user_home()
{
    return invoking_user_home(geteuid() == 0, [](const char* name) { return std::getenv(name); }, home_from_passwd);
}

bool make_folder(const std::string& path)
{
    std::vector<std::string> missing;
    for (std::string folder = path; !folder.empty() && access(folder.c_str(), F_OK) != 0;) {
        missing.push_back(folder);
        const size_t slash = folder.find_last_of('/');
        folder = slash == std::string::npos ? std::string() : folder.substr(0, slash);
    }
    for (auto folder = missing.rbegin(); folder != missing.rend(); ++folder) {
        if (mkdir(folder->c_str(), 0777) != 0 && errno != EEXIST)
            return false;
        const size_t slash = folder->find_last_of('/');
        struct stat parent;
        const std::string above = slash == std::string::npos ? std::string(".")
            : slash == 0                                      ? std::string("/")
                                                              : folder->substr(0, slash);
        if (geteuid() == 0 && stat(above.c_str(), &parent) == 0 && parent.st_uid != 0)
            lchown(folder->c_str(), parent.st_uid, parent.st_gid);
    }
    struct stat made;
    return stat(path.c_str(), &made) == 0 && S_ISDIR(made.st_mode);
}

void hand_over_to_folder_owner(const std::string& folder)
{
    if (geteuid() != 0)
        return;
    const int descriptor = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat owner;
    if (descriptor < 0)
        return;
    if (fstat(descriptor, &owner) == 0 && owner.st_uid != 0) {
        hand_over_entries(descriptor, owner.st_uid, owner.st_gid);
        const int downloads = openat(descriptor, "downloads", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (downloads >= 0) {
            hand_over_entries(downloads, owner.st_uid, owner.st_gid);
            close(downloads);
        }
    }
    close(descriptor);
}
