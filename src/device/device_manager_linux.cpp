#include "src/device/device_manager.h"

class device_manager::impl {
};

device_manager::device_manager(const device_timing&) : QObject(nullptr), m_impl(std::make_shared<impl>()) {}

device_manager::~device_manager() = default;

std::vector<std::shared_ptr<device>> device_manager::get_devices()
{
    return {};
}

void device_manager::unmount_device(device&, bool) {}
