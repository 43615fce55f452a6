#include "src/cli/cli_options.h"
#include "src/cli/flash_session.h"
#include "src/core/app_paths.h"
#include "src/core/file_io.h"
#include "src/core/invoking_user.h"
#include "src/core/logger.h"

#include <QCoreApplication>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>

namespace {

std::atomic<bool> interrupted{false};

extern "C" void on_interrupt(int)
{
    interrupted = true;
}

} // namespace

int main(int argc, char** argv)
{
    // Asked before the application object exists, as the window does: both programs then share
    // one application folder (saved settings, worker counter, downloads, log) instead of the CLI
    // keeping a second one named after itself.
    const std::string default_folder = application_folder();
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName("kelvra-flash-cli");

    cli_request request;
    std::string error;
    if (!parse_cli(QCoreApplication::arguments().mid(1), request, error)) {
        // The whole help would push the one line that matters off the screen.
        std::fprintf(stderr, "error: %s\nsee kelvra-flash-cli --help\n", error.c_str());
        return 2;
    }
    if (request.help) {
        std::printf("%s", cli_usage().c_str());
        return 0;
    }
    if (request.version) {
        std::printf("kelvra-flash-cli %s\n", application_version);
        return 0;
    }

    const std::string folder = request.folder.empty() ? default_folder : request.folder;
    create_folder_items(folder);
    logger::init(folder);

    flash_session::io streams;
    streams.terminal = stream_redraws_in_place(stderr);
    streams.stop_requested = &interrupted;
    if (stream_is_terminal(stdin)) {
        streams.ask = [](const std::string& question) {
            std::fprintf(stderr, "%s", question.c_str());
            std::string line;
            std::getline(std::cin, line);
            return line;
        };
    }
    flash_session session(request, folder, default_device_options(), streams);

    // Ctrl-C: the handler only notes it. The session looks at the note between its phases, and this
    // watcher passes it on to downloads and writes in progress.
    catch_stop_signals(on_interrupt);
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, [&session] {
        if (interrupted)
            session.cancel();
    });
    watcher.start(100);

    const int code = session.run();
    logger::close();
    hand_over_to_folder_owner(folder); // what this run made there, under sudo, is the user's
    return code;
}
