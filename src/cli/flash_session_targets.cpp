#include "src/cli/flash_drive.h"

#include "src/core/app_paths.h"
#include "src/core/file_io.h"
#include "src/core/log_location.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr uint64_t smallest_usable_drive = 2000000000; // bytes; the window's limit

std::string megabytes(uint64_t bytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

// Whether path, however it is named, is one of the folder's own files (the settings, the log, the
// station's record) or lies in its downloads folder (archives, the image cache, its lock). Written
// as a target, it would lose the worker numbers, or be swapped or removed by the cache under the
// run that writes it.
bool is_folder_item(const std::string& folder, const std::string& path)
{
    const std::string identity = drive_identity(path);
    for (const std::string& name : {std::string("/configuration.txt"), "/" + std::string(application_name) + ".log",
                                    "/" + std::string(results_file_name), "/" + std::string(results_file_name) + ".lock",
                                    "/" + std::string(former_results_file_name)})
        if (drive_identity(folder + name) == identity)
            return true;
    const QString downloads = QDir(QString::fromStdString(folder + "/downloads")).canonicalPath();
    const QFileInfo file(QDir::cleanPath(QFileInfo(QString::fromStdString(path)).absoluteFilePath()));
    const QString place = file.exists() ? file.canonicalFilePath() : QFileInfo(file.absolutePath()).canonicalFilePath();
    return !downloads.isEmpty() && (place == downloads || place.startsWith(downloads + "/"));
}

} // namespace

int flash_session::m_list_devices()
{
    device_manager manager(m_options);
    const auto listed = manager.get_devices();
    QJsonArray disks;
    if (listed.empty() && !m_request.json)
        std::fprintf(m_io.out, "No USB disk found.\n");
    // Tab-separated: path, USB port, serial number ("-" when unknown), name, size.
    for (const auto& disk : listed) {
        const bool too_small = disk->size <= smallest_usable_drive;
        disks.append(QJsonObject{{"path", QString::fromStdString(disk->path)},
                                 {"port", QString::fromStdString(disk->port)},
                                 {"serial", QString::fromStdString(disk->serial)},
                                 {"name", QString::fromStdString(disk->name)},
                                 {"size", static_cast<qint64>(disk->size)},
                                 {"system_disk", disk->is_system},
                                 {"too_small", too_small}});
        if (!m_request.json)
            std::fprintf(m_io.out, "%s\t%s\t%s\t%s\t%s%s\n", disk->path.c_str(), disk->port.empty() ? "-" : disk->port.c_str(),
                         disk->serial.empty() ? "-" : disk->serial.c_str(), disk->name.c_str(), megabytes(disk->size).c_str(),
                         disk->is_system ? "\t(system disk)" : too_small ? "\t(too small)" : "");
    }
    if (m_request.json)
        std::fprintf(m_io.out, "%s", QJsonDocument(disks).toJson().constData());
    std::fflush(m_io.out);
    const std::string refusal = process_disk_refusal();
    if (!refusal.empty())
        m_say("note: " + refusal); // the list may lack every disk
    return 0;
}

bool flash_session::m_resolve_targets()
{
    // Operators name hub ports by /dev/disk/by-path and friends: a target is the drive it names.
    for (size_t i = 0; i < m_drives.size(); ++i) {
        drive& run = *m_drives[i];
        if (run.is_file && QFileInfo(QString::fromStdString(run.target)).isDir()) {
            m_say("error: --target " + run.target + " is a folder, not a disk-image file");
            return false;
        }
        if (run.is_file && is_folder_item(m_folder, run.target)) {
            m_say("error: --target " + run.target + " is in " + m_folder
                  + ", which holds this program's own files (settings, log, downloads); choose another place");
            return false;
        }
        run.identity = drive_identity(run.target);
        if (!m_request.image.empty() && drive_identity(m_request.image) == run.identity) {
            m_say("error: " + run.target + " is the archive named by --image; it is only read, never written");
            return false;
        }
        for (size_t j = 0; j < i; ++j) {
            if (m_drives[j]->identity == run.identity) {
                m_say("error: " + m_drives[j]->target + " and " + run.target
                      + " are the same drive; name each drive once");
                return false;
            }
        }
    }
    std::vector<std::shared_ptr<device>> listed;
    if (!m_request.devices.empty()) {
        m_devices = std::make_unique<device_manager>(m_options);
        listed = m_devices->get_devices();
    }
    return m_confirm_devices(listed);
}

bool flash_session::m_confirm_devices(const std::vector<std::shared_ptr<device>>& listed)
{
    for (auto& run : m_drives) {
        if (run->is_file)
            continue;
        const auto found = std::find_if(listed.begin(), listed.end(), [&](const std::shared_ptr<device>& d) {
            return d->path == run->target || drive_identity(d->path) == run->identity;
        });
        if (found == listed.end()) {
            m_say("error: " + run->target + " is not a USB disk that can be flashed (see --list)");
            return false;
        }
        if ((*found)->is_system) {
            m_say("error: " + run->target + " is the disk of the running system; it is never written");
            return false;
        }
        if ((*found)->size <= smallest_usable_drive) {
            m_say("error: " + run->target + " is too small (" + megabytes((*found)->size) + "; more than 2 GB needed)");
            return false;
        }
        // Found out now, not after a download of a gigabyte.
        const std::string refusal = disk_write_refusal((*found)->path);
        if (!refusal.empty()) {
            m_say("error: cannot write " + run->target + ": " + refusal);
            return false;
        }
        run->disk = *found;
        if (m_request.yes)
            continue;
        const std::string answer = m_io.ask ? m_io.ask("All data on " + run->target + " (" + (*found)->name + ", "
                                                       + megabytes((*found)->size)
                                                       + ") will be lost. Type its path to confirm: ")
                                            : std::string();
        if (stopped())
            return false;
        if (answer != run->target) {
            m_say("error: " + run->target + " not confirmed; nothing was written (use --yes to skip the question)");
            return false;
        }
    }
    return true;
}

bool flash_session::m_archive_readable()
{
    // The user's own file: checked before anything is written, and never touched.
    // A pipe or a device would block the open itself: only a plain file is opened at all.
    const std::string& archive = m_request.image;
    const QFileInfo info(QString::fromStdString(archive));
    if (info.exists() && !info.isFile()) {
        m_say("error: cannot read --image " + archive + ": not a plain file");
        return false;
    }
    FILE* stream = open_file(archive, "rb");
    const int error = errno;
    if (stream) {
        std::fclose(stream);
        return true;
    }
    m_say("error: cannot read --image " + archive + ": " + std::strerror(error));
    return false;
}
