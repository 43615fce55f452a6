#include "src/device/sysfs_linux.h"

#include "src/device/usb_identity.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cctype>
#include <sstream>

namespace {

std::string unescape_octal(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && std::isdigit(static_cast<unsigned char>(text[i + 1]))
            && std::isdigit(static_cast<unsigned char>(text[i + 2])) && std::isdigit(static_cast<unsigned char>(text[i + 3]))) {
            out += static_cast<char>(((text[i + 1] - '0') << 6) | ((text[i + 2] - '0') << 3) | (text[i + 3] - '0'));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

QString q(const std::string& text)
{
    return QString::fromStdString(text);
}

} // namespace

std::string trim(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return std::string();
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

std::vector<mount_entry> parse_mountinfo(const std::string& text)
{
    std::vector<mount_entry> entries;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string id, parent, numbers, root, mount_point, options;
        if (!(fields >> id >> parent >> numbers >> root >> mount_point >> options))
            continue;
        std::string field;
        while (fields >> field && field != "-") {
        } // optional fields end at the separator
        mount_entry entry;
        dev_number number;
        if (field != "-" || !parse_dev_number(numbers, number) || !(fields >> entry.fstype >> entry.source))
            continue;
        entry.major = number.first;
        entry.minor = number.second;
        entry.mount_point = unescape_octal(mount_point);
        entry.source = unescape_octal(entry.source);
        entries.push_back(entry);
    }
    return entries;
}

std::vector<std::string> parse_swaps(const std::string& text)
{
    std::vector<std::string> files;
    std::istringstream lines(text);
    std::string line;
    std::getline(lines, line); // "Filename Type Size Used Priority"
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string file;
        if (fields >> file)
            files.push_back(unescape_octal(file));
    }
    return files;
}

bool parse_dev_number(const std::string& text, dev_number& number)
{
    const std::string value = trim(text);
    const auto colon = value.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= value.size())
        return false;
    const std::string major = value.substr(0, colon), minor = value.substr(colon + 1);
    const auto digits = [](const std::string& s) {
        return s.size() <= 9 && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (!digits(major) || !digits(minor))
        return false;
    number = {static_cast<unsigned>(std::stoul(major)), static_cast<unsigned>(std::stoul(minor))};
    return true;
}

bool is_usb_device_path(const std::string& path)
{
    std::istringstream parts(path);
    std::string part;
    while (std::getline(parts, part, '/')) {
        if (part.size() > 3 && part.compare(0, 3, "usb") == 0
            && std::all_of(part.begin() + 3, part.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return true;
    }
    return false;
}

std::string usb_port_of(const std::string& path, std::string* device_path)
{
    // A USB device is "<bus>-<port>[.<port>...]"; its interfaces add ":<config>.<interface>".
    static const QRegularExpression usb_device(QStringLiteral("^\\d+-\\d+(\\.\\d+)*$"));
    std::string port;
    std::string prefix;
    for (size_t start = 0; start <= path.size();) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string part = path.substr(start, end - start);
        if (usb_device.match(q(part)).hasMatch()) {
            port = part;
            prefix = path.substr(0, end);
        }
        start = end + 1;
    }
    if (device_path)
        *device_path = prefix;
    return port;
}

std::string read_text_file(const std::string& path)
{
    QFile file(q(path));
    if (!file.open(QIODevice::ReadOnly))
        return std::string();
    return file.readAll().toStdString();
}

std::vector<std::string> sysfs_tree::disks() const
{
    std::vector<std::string> names;
    const QStringList entries = QDir(q(m_root + "/block")).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System,
                                                                      QDir::Name);
    for (const QString& entry : entries)
        names.push_back(entry.toStdString());
    return names;
}

std::string sysfs_tree::attribute(const std::string& disk, const std::string& name) const
{
    return trim(read_text_file(m_root + "/block/" + disk + "/" + name));
}

bool sysfs_tree::on_usb_bus(const std::string& disk) const
{
    const QString resolved = QFileInfo(q(m_root + "/block/" + disk + "/device")).canonicalFilePath();
    return !resolved.isEmpty() && is_usb_device_path(resolved.toStdString());
}

void sysfs_tree::usb_identity(const std::string& disk, std::string& port, std::string& serial) const
{
    const QString resolved = QFileInfo(q(m_root + "/block/" + disk + "/device")).canonicalFilePath();
    std::string device_path;
    port = resolved.isEmpty() ? std::string() : usb_port_of(resolved.toStdString(), &device_path);
    serial = port.empty() ? std::string() : trim(read_text_file(device_path + "/serial"));
    serial = printable_identity(serial);
}

std::vector<std::string> sysfs_tree::usb_disk_identities() const
{
    std::vector<std::string> identities;
    for (const std::string& disk : disks()) {
        if (!on_usb_bus(disk))
            continue;
        std::string port, serial;
        usb_identity(disk, port, serial);
        identities.push_back(disk + " " + serial + " " + attribute(disk, "size"));
    }
    return identities;
}

std::vector<dev_number> sysfs_tree::numbers_of(const std::string& disk) const
{
    std::vector<dev_number> numbers;
    dev_number number;
    if (parse_dev_number(attribute(disk, "dev"), number))
        numbers.push_back(number);
    const QStringList children = QDir(q(m_root + "/block/" + disk)).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& child : children) {
        const std::string partition = disk + "/" + child.toStdString();
        if (QFileInfo::exists(q(m_root + "/block/" + partition + "/partition"))
            && parse_dev_number(attribute(partition, "dev"), number))
            numbers.push_back(number);
    }
    return numbers;
}

std::string sysfs_tree::disk_of_partition(const std::string& partition) const
{
    for (const std::string& disk : disks()) {
        if (disk == partition)
            return disk;
        if (QFileInfo::exists(q(m_root + "/block/" + disk + "/" + partition + "/partition")))
            return disk;
    }
    return std::string();
}

std::vector<std::string> sysfs_tree::disks_under(const std::string& name, bool btrfs) const
{
    std::vector<std::string> found, pending{name};
    if (btrfs) {
        for (const QString& uuid : QDir(q(m_root + "/fs/btrfs")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            const QStringList members =
                QDir(q(m_root + "/fs/btrfs/" + uuid.toStdString() + "/devices")).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
            if (members.contains(q(name)))
                for (const QString& member : members)
                    pending.push_back(member.toStdString());
        }
    }
    for (size_t i = 0; i < pending.size() && i < 64; ++i) {
        const std::string& current = pending[i];
        if (current.empty() || current.find('/') != std::string::npos || current == "." || current == "..")
            continue;
        const std::string disk = disk_of_partition(current);
        if (!disk.empty()) {
            if (std::find(found.begin(), found.end(), disk) == found.end())
                found.push_back(disk);
            continue;
        }
        // Not a disk or partition listed here: a mapped or RAID device; what it is made of counts.
        const QStringList slaves = QDir(q(m_root + "/class/block/" + current + "/slaves"))
                                       .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
        const QStringList direct = slaves.isEmpty()
            ? QDir(q(m_root + "/block/" + current + "/slaves")).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
            : slaves;
        for (const QString& slave : direct)
            pending.push_back(slave.toStdString());
    }
    return found;
}

std::vector<std::string> mount_points_of(const std::vector<mount_entry>& table, const std::vector<dev_number>& numbers)
{
    std::vector<std::string> points;
    for (const mount_entry& entry : table)
        if (std::find(numbers.begin(), numbers.end(), dev_number(entry.major, entry.minor)) != numbers.end())
            points.push_back(entry.mount_point);
    return points;
}
