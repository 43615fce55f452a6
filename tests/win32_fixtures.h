// Machines the Windows tests start from, on the simulated layer of win32sim/, and the fixture
// every Windows test derives from.
#pragma once

#include "image_builder.h"
#include "log_reader.h"
#include "win32_machine.h"

#include "src/core/logger.h"
#include "src/device/device_manager.h"
#include "src/device/device_windows.h"

#include <QtTest>

#include <string>

namespace win32sim {

// Waits of a device manager that never looks at the devices in the middle of the calls a test reads.
const device_options quiet = {3600000, 80, 400, 50};

inline sim_disk usb_stick(DWORD number, const std::string& friendly_name = "SanDisk Cruzer USB Device")
{
    sim_disk disk;
    disk.interface_path = "\\\\?\\usbstor#disk&ven_x&prod_y#" + std::to_string(number) + "#{53f56307}";
    disk.device_number = number;
    disk.friendly_name = friendly_name;
    return disk;
}

// 1958 x 255 x 63 sectors of 512 bytes, or 245 cylinders of 4096-byte sectors: neither a whole
// number of 4096-byte pages nor of the burner's blocks.
inline sim_disk usb_stick_of_sectors(DWORD number, DWORD sector)
{
    sim_disk disk = usb_stick(number);
    disk.bytes_per_sector = sector;
    disk.cylinders = sector == 512 ? 1958 : 245;
    return disk;
}

inline sim_volume volume(char letter, DWORD number, UINT type = DRIVE_REMOVABLE)
{
    return sim_volume{letter, type, number};
}

inline sim_disk internal_disk(DWORD number, STORAGE_BUS_TYPE bus)
{
    sim_disk disk = usb_stick(number, "Internal disk");
    disk.interface_path = "\\\\?\\scsi#disk#" + std::to_string(number);
    disk.bus_type = bus;
    return disk;
}

// Adds disks and volumes to the machine.
inline void plug(std::initializer_list<sim_disk> disks, std::initializer_list<sim_volume> volumes = {})
{
    auto guard = lock();
    state().disks.insert(state().disks.end(), disks);
    state().volumes.insert(state().volumes.end(), volumes);
}

// What a test leaves behind: handles, device information sets, closes of a non-handle.
inline QStringList leftovers()
{
    auto guard = lock();
    QStringList left;
    for (const std::string& path : open_handle_paths())
        left << QString::fromStdString(path);
    if (open_info_sets())
        left << QString("%1 device information sets").arg(open_info_sets());
    if (state().invalid_closes)
        left << QString("%1 closes of no handle").arg(state().invalid_closes);
    return left;
}

inline QStringList qt_calls(const std::string& function = std::string())
{
    QStringList out;
    for (const std::string& call : calls(function))
        out << QString::fromStdString(call);
    return out;
}

inline QByteArray bytes(const std::vector<unsigned char>& content)
{
    return QByteArray(reinterpret_cast<const char*>(content.data()), static_cast<int>(content.size()));
}

inline QByteArray disk_content(DWORD number)
{
    auto guard = lock();
    return bytes(disk_with_number(number)->content);
}

// Lets go of what a preparation or an open left in the record, as a burner does at its end.
inline void close_handles(device& target)
{
    device_windows& disk = windows_record(target);
    for (HANDLE handle : disk.handles)
        CloseHandle(handle);
    disk.handles.clear();
    if (disk.run_lock)
        CloseHandle(disk.run_lock);
    disk.run_lock = nullptr;
}

} // namespace win32sim

// Every case starts on a machine with Windows on disk 0 (C:) and an empty log, and leaves nothing open.
class win32_test : public QObject {
    Q_OBJECT

protected:
    QTemporaryDir m_dir;
    QString log_path() const { return m_dir.path() + "/KELVRA Flash Tool.log"; }
    QByteArray log() const { return image_builder::read_file(log_path()); }
    QStringList log_of(const QString& function) const { return ::log_of(log_path(), function); }

private slots:
    void initTestCase() { logger::init(m_dir.path().toStdString()); }
    void init()
    {
        QFile(log_path()).resize(0);
        win32sim::reset();
        win32sim::plug({win32sim::internal_disk(0, BusTypeSata)}, {win32sim::volume('C', 0, DRIVE_FIXED)});
    }
    void cleanup()
    {
        const QStringList left = win32sim::leftovers();
        QVERIFY2(left.isEmpty(), qPrintable("left open: " + left.join(", ")));
    }
};
