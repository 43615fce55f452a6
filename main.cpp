#include "src/core/app_paths.h"
#include "src/core/invoking_user.h"
#include "src/core/file_io.h"
#include "src/core/log_location.h"
#include "src/core/permission_manager.h"
#include "src/gui/main_window.h"
#include "src/gui/style_kit.h"

#include <QApplication>
#include <QMessageBox>
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

// Started from a desktop menu, standard error goes where nobody looks: the refusal is shown in a
// box too, to the user who started us (this process never had root rights), on any screen there is.
void show_refusal(char* program, const std::string& refusal)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return;
    // A display that cannot be reached ends in the off-screen platform instead of an abort.
    const QByteArray chosen = qgetenv("QT_QPA_PLATFORM");
    QByteArray platforms = (chosen.isEmpty() ? QByteArray("xcb;wayland") : chosen) + ";offscreen";
    char platform_option[] = "-platform";
    char* arguments[] = {program, platform_option, platforms.data(), nullptr};
    int count = 3;
    QApplication application(count, arguments);
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal"))
        return; // no one could see it or close it
    QMessageBox::critical(nullptr, QString::fromUtf8(application_name), QString::fromStdString(refusal));
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
        const std::string refusal = permissions.request_permissions(std::string(argv[0]), working_folder);
        if (refusal.empty())
            return 0;
        show_refusal(argv[0], refusal);
        return 1;
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
    hand_over_to_folder_owner(working_folder); // relaunched as root: what it made is the user's
    return 0;
}
