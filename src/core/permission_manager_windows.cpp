#include "src/core/permission_manager.h"

// The executable's manifest asks for administrator rights, so Windows never starts us without them.
class permission_manager::impl {
};

permission_manager::permission_manager() : m_impl(std::make_shared<impl>()) {}

bool permission_manager::has_permissions()
{
    return true;
}

std::string permission_manager::request_permissions(const std::string&, const std::string&)
{
    return std::string();
}
