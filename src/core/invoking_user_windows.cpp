#include "src/core/invoking_user.h"

#include <QDir>
#include <QString>

// Windows runs elevated programs in the user's own profile: there is nobody else to work for.

std::string invoking_user_home(bool, const std::function<const char*(const char*)>&,
                               const std::function<std::string(const std::string&)>&)
{
    return std::string();
}

std::string invoking_user_home()
{
    return std::string();
}

bool make_folder(const std::string& path)
{
    return QDir().mkpath(QString::fromStdString(path));
}

void hand_over_to_folder_owner(const std::string&) {}
