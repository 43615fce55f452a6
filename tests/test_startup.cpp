#include "image_builder.h"
#include "x_display.h"

#include "src/core/invoking_user.h"
#include "src/core/permission_manager_linux.h"
#include "src/core/version.h"

#include <QtTest>

#include <map>
#include <unistd.h>

namespace {

const QRegularExpression banner(
    QStringLiteral("^\\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\] \\[fatal\\] \\[main:\\d+\\] \\[main\\] "
                   "KELVRA Flash Tool version: ")
    + QRegularExpression::escape(KELVRA_VERSION) + "$");

// The window logs lines of its own right after the banner (the drive list, becoming visible), as
// many as it gets to before it is ended: only the banners tell the starts apart.
QList<int> banner_lines(const QString& log_path)
{
    QList<int> found;
    const QList<QByteArray> lines = image_builder::read_file(log_path).split('\n');
    for (int i = 0; i < lines.size(); ++i)
        if (banner.match(QString::fromUtf8(lines[i])).hasMatch())
            found << i;
    return found;
}

} // namespace

class test_startup : public QObject {
    Q_OBJECT

    QTemporaryDir m_home;
    QString app_folder() const { return m_home.path() + "/.local/share/KELVRA Flash Tool"; }

    // Starts the program with a fresh home, waits until the log file at log_path gains a banner,
    // then ends it: the window would otherwise wait for the user.
    void run_program(const QString& log_path, const QStringList& arguments = {})
    {
        const int banners_before = banner_lines(log_path).size();
        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("HOME", m_home.path());
        environment.remove("XDG_DATA_HOME");
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        program.setProcessEnvironment(environment);
        program.start(KELVRA_PROGRAM, arguments);
        QVERIFY2(program.waitForStarted(60000), "the program's start");
        QTRY_VERIFY2_WITH_TIMEOUT(banner_lines(log_path).size() > banners_before, "a banner in the log", 60000);
        QCOMPARE(program.state(), QProcess::Running);
        program.kill();
        program.waitForFinished(60000);
    }

private slots:
    void init()
    {
        if (geteuid() != 0)
            QSKIP("the program asks for root rights first; run the suite as root");
    }

    void first_and_second_start()
    {
        // First with a working folder of its own: the default folder still gets its items, but not its lines.
        const QString log_path = app_folder() + "/KELVRA Flash Tool.log";
        QTemporaryDir other;
        run_program(other.path() + "/KELVRA Flash Tool.log", {other.path()});
        QCOMPARE(banner_lines(other.path() + "/KELVRA Flash Tool.log"), QList<int>{0});
        QVERIFY(QFileInfo(app_folder() + "/downloads").isDir());
        QCOMPARE(QFileInfo(app_folder() + "/configuration.txt").size(), qint64(0));
        QCOMPARE(banner_lines(log_path), QList<int>{});

        run_program(log_path);
        // The banner opens the log, and it is the only one.
        QCOMPARE(banner_lines(log_path), QList<int>{0});

        image_builder::write_file(app_folder() + "/configuration.txt", "{}\n");
        run_program(log_path);
        // Appended: the first run's banner (the log's first line) stays, the second follows.
        QCOMPARE(banner_lines(log_path).size(), 2);
        QCOMPARE(image_builder::read_file(app_folder() + "/configuration.txt"), QByteArray("{}\n"));
    }

    // Refused root rights when started from a desktop menu, where standard error goes unread: with
    // no pkexec, and with one whose password dialog is cancelled.
    void a_refused_start_is_seen()
    {
        const x_server screen;
        if (screen.display().isEmpty())
            QSKIP("no Xvfb to show the refusal on");
        QTemporaryDir bin;
        image_builder::write_file(bin.path() + "/pkexec", "#!/bin/sh\nexit 126\n");
        const auto everyone = QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther;
        QVERIFY(QFile::setPermissions(bin.path() + "/pkexec", everyone) && QFile::setPermissions(bin.path(), everyone));
        for (const QString& path : {QString("/nonexistent"), bin.path()}) {
            QProcess program;
            QProcessEnvironment environment;
            environment.insert("HOME", "/nonexistent");
            environment.insert("PATH", path);
            environment.insert("DISPLAY", screen.display());
            program.setProcessEnvironment(environment);
            program.start(QStandardPaths::findExecutable("setpriv"),
                          {"--reuid=65534", "--regid=65534", "--clear-groups", "--", KELVRA_PROGRAM});
            bool seen = false;
            const auto box_or_end = [&] {
                seen = seen || x_close_window(screen.display(), "KELVRA Flash Tool");
                return seen || program.state() == QProcess::NotRunning;
            };
            QTRY_VERIFY2_WITH_TIMEOUT(box_or_end(), "a message box or the program's end", 60000);
            QVERIFY2(program.state() == QProcess::NotRunning || program.waitForFinished(60000),
                     "the program's end after its box was closed");
            const QString errors = QString::fromUtf8(program.readAllStandardError());
            QVERIFY2(seen && program.exitCode() == 1, qPrintable(errors));
            QVERIFY2(errors.contains("KELVRA Flash Tool needs root rights to write USB drives.")
                         && errors.contains("sudo " KELVRA_PROGRAM),
                     qPrintable(errors));
        }
    }
};

// Runs without root: only the command is built, nothing is started.
class test_elevation : public QObject {
    Q_OBJECT

private slots:
    void carries_the_display_session()
    {
        const std::map<std::string, std::string> environment = {
            {"DISPLAY", ":1"}, {"WAYLAND_DISPLAY", "wayland-0"}, {"XDG_RUNTIME_DIR", "/run/user/1000"},
            {"HOME", "/home/op"}, {"PATH", "/usr/bin"}};
        const auto get_env = [&](const char* name) -> const char* {
            const auto it = environment.find(name);
            return it == environment.end() ? nullptr : it->second.c_str();
        };
        const auto has_xauthority = [](const std::string& path) { return path == "/home/op/.Xauthority"; };
        const std::string folder = "/home/op/.local/share/KELVRA Flash Tool";

        // A build folder's copy: no action names it, env carries the display session.
        const auto built = elevation_command("/opt/k/kelvra-flash-tool", folder, "/usr/bin/kelvra-flash-tool", get_env,
                                             has_xauthority);
        QVERIFY(built.command == (std::vector<std::string>{"pkexec", "env", "DISPLAY=:1", "WAYLAND_DISPLAY=wayland-0",
                                                           "XDG_RUNTIME_DIR=/run/user/1000",
                                                           "XAUTHORITY=/home/op/.Xauthority", "/opt/k/kelvra-flash-tool", folder}));
        QVERIFY(built.environment.empty());

        // The installed program: pkexec starts it by its own path, so the action's dialog names it
        // and its GUI rights apply; the X authority goes to pkexec, which passes it on.
        const auto installed = elevation_command("/usr/bin/kelvra-flash-tool", folder, "/usr/bin/kelvra-flash-tool",
                                                 get_env, has_xauthority);
        QVERIFY(installed.command == (std::vector<std::string>{"pkexec", "/usr/bin/kelvra-flash-tool", folder}));
        QVERIFY(installed.environment == std::vector<std::string>{"XAUTHORITY=/home/op/.Xauthority"});

        const auto bare = elevation_command("/k", "/f", "", [](const char*) -> const char* { return nullptr; },
                                            [](const std::string&) { return true; });
        QVERIFY(bare.command == (std::vector<std::string>{"pkexec", "env", "/k", "/f"}));
    }

    void root_working_for_a_user_takes_that_users_folder()
    {
        const auto home_of = [](const std::string& user) { return "/home/" + user; };
        const auto env = [](std::map<std::string, std::string> values) {
            return [values](const char* name) { return values.count(name) ? values.at(name).c_str() : nullptr; };
        };
        QCOMPARE(invoking_user_home(true, env({{"SUDO_UID", "1000"}, {"SUDO_USER", "op"}}), home_of), std::string("/home/1000"));
        QCOMPARE(invoking_user_home(true, env({{"SUDO_USER", "op"}}), home_of), std::string("/home/op"));
        QCOMPARE(invoking_user_home(true, env({{"PKEXEC_UID", "1001"}}), home_of), std::string("/home/1001"));
        QCOMPARE(invoking_user_home(true, env({{"SUDO_UID", "0"}}), home_of), std::string());
        QCOMPARE(invoking_user_home(false, env({{"SUDO_UID", "1000"}}), home_of), std::string()); // sudo -u someone
    }

    void reads_the_program_of_the_installed_action()
    {
        QFile policy(KELVRA_POLICY_TEMPLATE);
        QVERIFY(policy.open(QIODevice::ReadOnly));
        // The template as the install fills it in.
        const std::string text =
            policy.readAll().replace("@KELVRA_POLICY_PROGRAM@", "/usr/bin/kelvra-flash-tool").toStdString();
        QCOMPARE(QString::fromStdString(policy_program(text)), QString("/usr/bin/kelvra-flash-tool"));
        QCOMPARE(QString::fromStdString(policy_program("<annotate key=\"org.freedesktop.policykit.exec.path\">\n"
                                                       "  /opt/k/kelvra-flash-tool </annotate>")),
                 QString("/opt/k/kelvra-flash-tool"));
        QVERIFY(policy_program("<action id=\"x\"><annotate key=\"org.freedesktop.policykit.exec.allow_gui\">true"
                               "</annotate></action>").empty());
    }
};

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    test_startup startup;
    test_elevation elevation;
    return QTest::qExec(&startup, argc, argv) | QTest::qExec(&elevation, argc, argv);
}
#include "test_startup.moc"
