#pragma once

#include "src/cli/flash_session.h"

#include <QCryptographicHash>
#include <QElapsedTimer>

// One target of a headless run, from its name on the command line to its line in the summary.
struct flash_session::drive {
    std::string target;       // as the operator wrote it
    std::string identity;     // the drive it names (see drive_identity)
    bool is_file = false;
    std::shared_ptr<device> disk;
    QByteArray configuration;
    std::string worker;
    std::string phase = "waiting";
    qint64 done = 0;
    qint64 total = 0;
    QElapsedTimer clock;
    qint64 bytes_written = 0;
    bool ok = false;
    std::string result;
    QCryptographicHash written{QCryptographicHash::Sha256}; // filled on the burner's thread
    image_burner* burner = nullptr;
    QThread* thread = nullptr;
    bool running = false;
};
