#include "src/device/device_manager.h"

#include "src/core/log_location.h"
#include "src/device/device_windows.h"
#include "src/device/listener_windows.h"
#include "src/device/usb_identity.h"
#include "src/device/listener_threads.h"
#include "src/device/volumes_windows.h"

#include <QEventLoop>
#include <QMetaObject>
#include <QPointer>
#include <QString>
#include <QThread>
#include <QTimer>

#include <windows.h>
#include <setupapi.h>
#include <winioctl.h>

#include <cstring>
#include <algorithm>
#include <string>

namespace {

// GUID_DEVINTERFACE_DISK
const GUID disk_interface = {0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};

static_assert(sizeof(void*) != 8 || sizeof(SP_DEVICE_INTERFACE_DATA) == 32, "SDK layout");
static_assert(sizeof(void*) != 8 || sizeof(SP_DEVINFO_DATA) == 32, "SDK layout");
static_assert(sizeof(void*) != 8 || sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8, "SDK layout");
static_assert(sizeof(STORAGE_PROPERTY_QUERY) == 12, "SDK layout");
static_assert(sizeof(STORAGE_DEVICE_DESCRIPTOR) == 40, "SDK layout");
static_assert(sizeof(STORAGE_DEVICE_NUMBER) == 12, "SDK layout");
static_assert(sizeof(DISK_GEOMETRY) == 24, "SDK layout");

// A device information set, released when it goes out of scope.
class info_set {
public:
    explicit info_set(HDEVINFO set) : m_set(set) {}
    ~info_set()
    {
        if (valid())
            SetupDiDestroyDeviceInfoList(m_set);
    }
    info_set(const info_set&) = delete;
    info_set& operator=(const info_set&) = delete;
    bool valid() const { return m_set != INVALID_HANDLE_VALUE; }
    HDEVINFO get() const { return m_set; }

private:
    HDEVINFO m_set;
};

bool control(HANDLE handle, DWORD code, void* out = nullptr, DWORD out_size = 0, void* in = nullptr, DWORD in_size = 0)
{
    DWORD returned = 0;
    return DeviceIoControl(handle, code, in, in_size, out, out_size, &returned, nullptr) != FALSE;
}

DWORD system_disk_number()
{
    char directory[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryA(directory, sizeof directory);
    if (length == 0 || length >= sizeof directory)
        return 0xFFFFFFFF;
    scoped_handle volume(open_shared(std::string("\\\\?\\") + directory[0] + directory[1]));
    DWORD number = 0xFFFFFFFF;
    if (volume.valid() && !query_device_number(volume.get(), number))
        number = 0xFFFFFFFF;
    return number;
}

// One run at a time prepares and writes a disk, whichever program and session it belongs to. The
// disk and its volumes are opened shared, so Windows alone would let a second run delete the
// layout of a stick that a first one is writing. The named object exists while any run holds it
// open, and goes with a process that dies holding it. Null when another run has it.
HANDLE take_run_lock(const std::string& disk_path, DWORD& error)
{
    const QString disk = QString::fromStdString(disk_path.substr(disk_path.find_last_of('\\') + 1));
    const std::wstring name = (QStringLiteral("Global\\kelvra-flash-tool-") + disk).toStdWString();
    SetLastError(ERROR_SUCCESS);
    HANDLE lock = CreateMutexW(nullptr, FALSE, name.c_str());
    error = GetLastError();
    if (lock && error == ERROR_ALREADY_EXISTS) {
        CloseHandle(lock);
        return nullptr;
    }
    return lock;
}

} // namespace

class device_manager::impl {
public:
    impl(device_manager* owner, const device_options& options);
    ~impl();

    std::vector<std::shared_ptr<device>> get_devices();
    void unmount_device(device& dev, bool log_only);
    void stop_preparations()
    {
        for (const QPointer<QThread>& check : m_checks)
            if (check)
                check->requestInterruption();
    }

private:
    void m_enumerate_devices();
    void m_wait(int milliseconds);
    // Ends a preparation that cannot go on; the reason goes into the record.
    void m_give_up(device_windows& disk, const std::string& reason);

    device_manager* m_owner;
    std::vector<std::shared_ptr<device>> m_devices;
    device_options m_options;
    // Kept only to stop the poller when the manager goes away.
    QThread* m_listener_thread;
    std::vector<QPointer<QThread>> m_checks; // volume checks that may still run
};

device_manager::impl::impl(device_manager* owner, const device_options& options)
    : m_owner(owner), m_options(options), m_listener_thread(start_listener_thread<listener_windows>(owner, options))
{
}

device_manager::impl::~impl()
{
    stop_listener_thread(m_listener_thread);
}

std::vector<std::shared_ptr<device>> device_manager::impl::get_devices()
{
    m_enumerate_devices();
    return m_devices;
}

void device_manager::impl::m_enumerate_devices()
{
    m_devices.clear();
    info_set set(SetupDiGetClassDevsA(&disk_interface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!set.valid())
        return;

    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA interface_data{};
        interface_data.cbSize = sizeof interface_data;
        if (!SetupDiEnumDeviceInterfaces(set.get(), nullptr, &disk_interface, index, &interface_data))
            break;

        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailA(set.get(), &interface_data, nullptr, 0, &required, nullptr);
        if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
            continue;
        std::vector<DWORD> detail_storage((required + sizeof(DWORD) - 1) / sizeof(DWORD), 0);
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(detail_storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (!SetupDiGetDeviceInterfaceDetailA(set.get(), &interface_data, detail, required, nullptr, nullptr))
            continue;

        scoped_handle disk(CreateFileA(detail->DevicePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!disk.valid())
            continue;
        if (!control(disk.get(), IOCTL_DISK_IS_WRITABLE)) {
            const DWORD error = GetLastError(); // ERROR_WRITE_PROTECT for a locked stick
            KLOG(logger::fatal, error);
            continue;
        }
        STORAGE_PROPERTY_QUERY query{};
        query.PropertyId = StorageDeviceProperty;
        query.QueryType = PropertyStandardQuery;
        STORAGE_DEVICE_DESCRIPTOR descriptor{};
        if (!control(disk.get(), IOCTL_STORAGE_QUERY_PROPERTY, &descriptor, sizeof descriptor, &query, sizeof query)
            || descriptor.BusType != BusTypeUsb)
            continue;

        auto record = std::make_shared<device_windows>();
        STORAGE_DEVICE_NUMBER number{};
        if (!control(disk.get(), IOCTL_STORAGE_GET_DEVICE_NUMBER, &number, sizeof number)) {
            const DWORD error = GetLastError();
            KLOG(logger::fatal, error);
            continue;
        }
        DISK_GEOMETRY geometry{};
        if (!control(disk.get(), IOCTL_DISK_GET_DRIVE_GEOMETRY, &geometry, sizeof geometry)) {
            const DWORD error = GetLastError();
            KLOG(logger::fatal, error);
            continue;
        }
        record->sector_size = geometry.BytesPerSector;
        record->size = static_cast<uint64_t>(geometry.SectorsPerTrack) * geometry.TracksPerCylinder
            * geometry.BytesPerSector * static_cast<uint64_t>(geometry.Cylinders.QuadPart);
        CloseHandle(disk.release()); // done with the disk: nothing below needs it open

        char name[1024] = {};
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof info;
        if (SetupDiEnumDeviceInfo(set.get(), index, &info)) {
            if (!SetupDiGetDeviceRegistryPropertyA(set.get(), &info, SPDRP_FRIENDLYNAME, nullptr,
                                                   reinterpret_cast<PBYTE>(name), sizeof name, nullptr)
                && !SetupDiGetDeviceRegistryPropertyA(set.get(), &info, SPDRP_DEVICEDESC, nullptr,
                                                      reinterpret_cast<PBYTE>(name), sizeof name, nullptr))
                continue;
            name[sizeof name - 1] = '\0'; // the registry need not end what it stores
            // Which stick it is physically, where Windows tells; unknown otherwise.
            char location[256] = {};
            if (SetupDiGetDeviceRegistryPropertyA(set.get(), &info, SPDRP_LOCATION_INFORMATION, nullptr,
                                                  reinterpret_cast<PBYTE>(location), sizeof location - 1, nullptr))
                record->port = printable_identity(location);
            char instance[512] = {};
            if (SetupDiGetDeviceInstanceIdA(set.get(), &info, instance, sizeof instance - 1, nullptr))
                record->serial = usb_serial_from_instance_id(instance);
        }
        // The A calls answer in the ANSI code page, not UTF-8: "Pamięć" on a Polish Windows.
        record->name = QString::fromLocal8Bit(name).toStdString();
        KLOG(logger::info, "USB dev: " << record->name);
        record->path = "\\\\.\\PhysicalDrive" + std::to_string(number.DeviceNumber);
        record->number = static_cast<uint16_t>(number.DeviceNumber & 0xFFFF);
        record->is_system = number.DeviceNumber == system_disk_number();

        removable_volume_walk walk;
        for (std::string path; walk.next(path);) {
            scoped_handle volume(open_shared(path));
            DWORD volume_number = 0;
            if (volume.valid() && query_device_number(volume.get(), volume_number) && volume_number == record->number)
                record->volumes.push_back(path);
        }
        m_devices.push_back(record);
    }
}

void device_manager::impl::m_give_up(device_windows& disk, const std::string& reason)
{
    // The volumes and the disk's lock are let go, and the run ends: the burner finds no disk
    // handle and refuses.
    disk.refusal = reason;
    release_windows_record(disk);
    QMetaObject::invokeMethod(m_owner, "unmount_finished", Qt::QueuedConnection);
    QMetaObject::invokeMethod(m_owner, "device_prepared", Qt::QueuedConnection,
                              Q_ARG(QString, QString::fromStdString(disk.path)));
}

void device_manager::impl::m_wait(int milliseconds)
{
    // Keeps the window alive without spinning; measured on a monotonic clock.
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

void device_manager::impl::unmount_device(device& dev, bool log_only)
{
    device_windows& disk = windows_record(dev);
    KLOG(logger::info, "Name: " << disk.name << ", Path: " << disk.path << ", Size: " << disk.size);
    const bool system_disk = static_cast<DWORD>(disk.number) == system_disk_number();
    if (log_only)
        return;
    disk.refusal.clear();
    if (system_disk) {
        m_give_up(disk, "the disk of the running system"); // never touched
        return;
    }
    DWORD lock_error = ERROR_SUCCESS;
    disk.run_lock = take_run_lock(disk.path, lock_error);
    if (!disk.run_lock) {
        KLOG(logger::fatal, "Disk lock not taken: " << lock_error);
        m_give_up(disk, lock_error == ERROR_ALREADY_EXISTS ? "in use by another run of this program"
                                                           : "cannot lock it (error " + std::to_string(lock_error) + ")");
        return;
    }

    KLOG(logger::fatal, "Format:");
    KLOG(logger::fatal, disk.path);
    KLOG(logger::debug, "Locking drive: ");
    for (const std::string& path : disk.volumes) {
        KLOG(logger::debug, path);
        HANDLE volume = CreateFileA(path.c_str(), GENERIC_ALL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        if (volume == INVALID_HANDLE_VALUE)
            continue;
        control(volume, FSCTL_LOCK_VOLUME);
        control(volume, FSCTL_DISMOUNT_VOLUME);
        disk.handles.push_back(volume); // open until the layout is gone: the lock holds
    }

    const HANDLE whole = open_shared(disk.path);
    if (whole == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        KLOG(logger::fatal, "HANDLE not valid");
        m_give_up(disk, error == ERROR_ACCESS_DENIED ? "permission denied, or a volume of it is busy"
                                                     : "cannot open it (error " + std::to_string(error) + ")");
        return;
    }
    if (!control(whole, IOCTL_DISK_DELETE_DRIVE_LAYOUT)) {
        const DWORD error = GetLastError();
        KLOG(logger::fatal, "Formating failed: " << error);
    }
    if (!control(whole, IOCTL_DISK_UPDATE_PROPERTIES)) {
        const DWORD error = GetLastError();
        KLOG(logger::fatal, "Could not reenumerate disk: " << error);
    }

    for (HANDLE handle : disk.handles)
        CloseHandle(handle);
    disk.handles.clear();
    disk.handles.push_back(whole);
    disk.volumes.clear();

    m_wait(m_options.prepare_wait_ms);

    m_checks.erase(std::remove_if(m_checks.begin(), m_checks.end(), [](const QPointer<QThread>& check) { return !check; }),
                   m_checks.end());
    m_checks.push_back(start_volume_check<listener_windows>(m_owner, disk, m_options));
}

device_manager::device_manager(const device_options& options) : QObject(nullptr)
{
    m_impl = std::make_shared<impl>(this, options);
}

device_manager::~device_manager() = default;

std::vector<std::shared_ptr<device>> device_manager::get_devices()
{
    return m_impl->get_devices();
}

void device_manager::unmount_device(device& dev, bool log_only)
{
    m_impl->unmount_device(dev, log_only);
}

void device_manager::stop_preparations()
{
    m_impl->stop_preparations();
}

void device_manager::release_device(device& dev)
{
    release_windows_record(windows_record(dev));
}
