// The window's suites: a folder of the program's own, fake drives and a local release server,
// drives and server fresh for each case.
#pragma once

#include "fake_system.h"
#include "http_test_server.h"
#include "image_builder.h"

#include "src/core/logger.h"
#include "src/gui/device_selection.h"
#include "src/gui/dialog_window.h"
#include "src/gui/main_window.h"
#include "src/gui/progress_button.h"
#include "src/gui/text_input.h"

#include <QtTest>

#include <QLabel>

#include <memory>

class window_fixture {
protected:
    static constexpr const char* btc = "1BvBMSEYstWetqTFn5Au4m4GFg7xJaNVN2";
    static constexpr const char* archive_path = "/orvminer/kelvra/kelvra-3.0.0/image/kelvra-3.0.0.img.gz";

    QTemporaryDir m_dir;
    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<fake_system> m_system;
    std::unique_ptr<http_test_server> m_server;
    std::string m_folder;
    Qt::WindowFlags m_window_flags; // none: the window's own

    struct parts {
        std::unique_ptr<main_window> window;
        QList<text_input*> fields; // BTC, worker, group, SSID, wireless key, SSH key
        progress_button* button = nullptr;
        device_selection* drives = nullptr;
        QLabel* status = nullptr;
    };

    window_fixture()
    {
        m_folder = (m_dir.path() + "/app").toStdString();
        QDir().mkpath(m_dir.path() + "/app/downloads");
        logger::init(m_folder);
    }

    // No drive, no archive, no stored settings, an empty log.
    void set_up_case()
    {
        m_root = std::make_unique<QTemporaryDir>();
        m_system = std::make_unique<fake_system>(m_root->path());
        m_server = std::make_unique<http_test_server>();
        qputenv("KELVRA_RELEASE_API", m_server->base_url().toUtf8());
        qputenv("KELVRA_IMAGE_SERVER", m_server->base_url().toUtf8());
        QDir(m_dir.path() + "/app/downloads").removeRecursively();
        QDir().mkpath(m_dir.path() + "/app/downloads");
        QFile::remove(m_dir.path() + "/app/configuration.txt");
        QFile(m_dir.path() + "/app/KELVRA Flash Tool.log").resize(0);
    }

    // Shown, with the BTC address typed unless told otherwise.
    parts open_window(const char* address = btc, int volume_check_ms = 200, int poll_ms = 20)
    {
        parts p;
        p.window = std::make_unique<main_window>("KELVRA Flash Tool", m_folder,
                                                 m_system->options(poll_ms, 80, volume_check_ms, 50));
        if (m_window_flags)
            p.window->setWindowFlags(m_window_flags);
        p.fields = p.window->findChildren<text_input*>();
        p.button = p.window->findChild<progress_button*>();
        p.drives = p.window->findChild<device_selection*>();
        for (QLabel* label : p.window->findChildren<QLabel*>())
            if (label->width() == 600 && label->height() == 20)
                p.status = label;
        p.fields[0]->setText(address);
        p.window->move(20, 20);
        p.window->show();
        [&] { QVERIFY2(QTest::qWaitForWindowExposed(p.window.get(), 60000), "the window shown"); }();
        return p;
    }

    // The question the window shows, if any.
    static dialog_window* question(const parts& p)
    {
        for (dialog_window* dialog : p.window->findChildren<dialog_window*>())
            if (!dialog->isHidden())
                return dialog;
        return nullptr;
    }

    QByteArray log() const { return image_builder::read_file(QString::fromStdString(m_folder) + "/KELVRA Flash Tool.log"); }

    // sdb on port 2-1, sdc on port 2-2, ...: identical sticks but for where they sit.
    void add_stick(qint64 bytes, const QString& name = "sdb", qint64 node_bytes = 8 * 1024 * 1024)
    {
        fake_system::disk_spec stick;
        stick.name = name;
        stick.dev = QString("8:%1").arg(16 * (name.at(2).unicode() - 'a'));
        stick.port = QString("2-%1").arg(name.at(2).unicode() - 'a');
        stick.sectors = bytes / 512;
        stick.node_bytes = node_bytes;
        m_system->add_disk(stick);
    }

    // Release 3.0.0, its archive sent in pieces of 16 KiB that far apart when an interval is given.
    void publish(const QByteArray& archive, int piece_interval_ms = 0)
    {
        m_server->set_release("3.0.0");
        http_response response;
        response.body = archive;
        response.piece_size = piece_interval_ms ? 16384 : 0;
        response.piece_interval_ms = piece_interval_ms;
        m_server->set_response(archive_path, response);
    }
};
