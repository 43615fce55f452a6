#include "src/core/app_paths.h"

#include <QStandardPaths>

std::string local_data_location()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation).toStdString();
}

std::string application_folder()
{
    return local_data_location() + "/KELVRA Flash Tool";
}
