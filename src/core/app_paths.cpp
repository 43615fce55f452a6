#include "src/core/app_paths.h"

#include "src/core/invoking_user.h"

#include <QFile>
#include <QStandardPaths>

std::string local_data_location()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation).toStdString();
}

std::string application_folder()
{
    const std::string home = invoking_user_home();
    return (home.empty() ? local_data_location() : home + "/.local/share") + "/KELVRA Flash Tool";
}

void create_folder_items(const std::string& folder)
{
    make_folder(folder + "/downloads");
    for (const char* item : {"/configuration.txt", "/KELVRA Flash Tool.log"}) {
        QFile file(QString::fromStdString(folder + item));
        file.open(QIODevice::WriteOnly | QIODevice::Append);
    }
    hand_over_to_folder_owner(folder);
}
