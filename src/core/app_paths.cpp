#include "src/core/app_paths.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

std::string local_data_location()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation).toStdString();
}

std::string application_folder()
{
    return local_data_location() + "/KELVRA Flash Tool";
}

void create_folder_items(const std::string& folder)
{
    QDir().mkpath(QString::fromStdString(folder + "/downloads"));
    for (const char* item : {"/configuration.txt", "/KELVRA Flash Tool.log"}) {
        QFile file(QString::fromStdString(folder + item));
        file.open(QIODevice::WriteOnly | QIODevice::Append);
    }
}
