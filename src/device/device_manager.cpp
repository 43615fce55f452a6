#include "src/device/device_manager.h"

#include <QtGlobal>

namespace {

void override_from(const char* variable, std::string& value)
{
    if (!qEnvironmentVariableIsEmpty(variable))
        value = qEnvironmentVariable(variable).toStdString();
}

} // namespace

device_options default_device_options()
{
    device_options options;
    override_from("KELVRA_SYSFS_ROOT", options.sysfs_root);
    override_from("KELVRA_DEV_ROOT", options.dev_root);
    override_from("KELVRA_MOUNTINFO", options.mountinfo_path);
    override_from("KELVRA_SWAPS", options.swaps_path);
    return options;
}
