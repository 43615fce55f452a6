#include "src/core/app_paths.h"
#include "src/core/file_io.h"
#include "src/core/log_location.h"
#include "src/core/permission_manager.h"
#include "src/gui/main_window.h"
#include "src/gui/style_kit.h"

#include <QApplication>
#include <QTranslator>

#include <clocale>
#include <string>
#include <vector>

namespace {

// The fonts and images are there before anything runs.
const bool resources_registered = (register_resources(), true);

bool scaling_chosen_by_environment()
{
    for (const char* name :
         {"QT_DEVICE_PIXEL_RATIO", "QT_AUTO_SCREEN_SCALE_FACTOR", "QT_SCALE_FACTOR", "QT_SCREEN_SCALE_FACTORS"}) {
        if (qEnvironmentVariableIsSet(name))
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    permission_manager permissions;
    std::setlocale(LC_ALL, "en_US.UTF-8");

    const std::string default_folder = application_folder();
    create_folder_items(default_folder);

    const std::vector<std::string> arguments = command_line_arguments(argc, argv);
    const std::string working_folder = arguments.size() > 1 ? arguments[1] : default_folder;
    if (!permissions.has_permissions()) {
        permissions.request_permissions(std::string(argv[0]), working_folder);
        return 0;
    }

    logger::init(working_folder);
    KLOG(logger::fatal, application_name << " version: " << application_version);

    QTranslator translator;
    translator.load(QStringLiteral("translation_en"), QString(), QString(), QString());

    if (!scaling_chosen_by_environment())
        QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);

    {
        QApplication application(argc, argv);
        QCoreApplication::installTranslator(&translator);
        {
            main_window window(application_name, working_folder);
            window.setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::FramelessWindowHint);
            window.showNormal();
            QApplication::exec();
            logger::close();
        }
    }
    return 0;
}
