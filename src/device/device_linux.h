#pragma once

#include "src/device/device.h"

#include <vector>

// The Linux record: the descriptor of the whole disk, open from preparation until the burner
// has written it (entry 0).
struct device_linux : device {
    std::vector<int> handles;
};

inline device_linux& linux_record(device& dev)
{
    return static_cast<device_linux&>(dev);
}
