// What the headless program's suites share: a folder of their own, in-process and real runs, and
// reading back what a run left on its targets and in the folder's record.
#pragma once

#include "captured_streams.h"
#include "fake_system.h"
#include "http_test_server.h"
#include "image_builder.h"

#include <QProcess>
#include <QTemporaryDir>

#include <functional>

namespace cli_test {

constexpr const char* btc = "1BvBMSEYstWetqTFn5Au4m4GFg7xJaNVN2";
constexpr quint64 offset = 1048576;

struct finished_run {
    int code = -1; // -1: crashed or still running at the limit
    QString out, err;
    QString all() const { return out + err; }
};

// Reads the target as the real reader does, then lets the test see (and change) what was read.
class watched_reader : public disk_reader {
public:
    using watcher = std::function<void(uint64_t at, unsigned char* data, size_t size)>;
    static flash_session::reader_factory factory(watcher watch);
    bool read(uint64_t at, unsigned char* data, size_t size) override;

private:
    std::unique_ptr<disk_reader> m_real;
    watcher m_watch;
};

// A fake system in a folder of its own (root), holding the sticks given.
struct folder_of_tree {
    QTemporaryDir root;
};
struct usb_tree : folder_of_tree, fake_system {
    explicit usb_tree(const QList<disk_spec>& sticks = {}) : fake_system(root.path())
    {
        for (const disk_spec& stick : sticks)
            add_disk(stick);
    }
};

class fixture {
public:
    QTemporaryDir dir;
    QByteArray image = image_builder::disk_image(5 * 1024 * 1024 + 1000, offset, 3);

    QString path(const QString& name) const { return dir.path() + "/" + name; }
    // The image as kelvra-2.7.0.img.gz beside the folder, and its path.
    QString archive();

    // In process, with the folder app.
    // before_run sees the session first (to stop it later, say).
    finished_run run(const QStringList& arguments, const device_options& options = device_options(),
                     flash_session::reader_factory readers = open_disk_reader,
                     const std::function<void(flash_session&)>& before_run = {});
    // {"--btc", btc, "--image", archive()} followed by rest.
    QStringList flash(const QStringList& rest);
    // Whether the run (in process for says) ends with code and says text; what it said goes to the
    // test's output when not.
    static bool ended(const finished_run& result, int code, const QString& text);
    bool says(const QStringList& arguments, int code, const QString& text, const device_options& options = device_options());
    // A real process, merged output unless told otherwise; start() leaves it running, finish() turns the event loop (so
    // that a test server answers) until it ends, at most 240 s.
    void start(QProcess& cli, const QStringList& arguments,
               const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment(), bool merged = true);
    finished_run finish(QProcess& cli);
    finished_run interrupt(QProcess& cli); // Ctrl-C, then finish()
    // Ctrl-C once ready() holds (at most 60 s); whether the run then ends within 15 s, failed, saying text.
    bool stops(QProcess& cli, const std::function<bool()>& ready, const QString& text);
    finished_run run_process(const QStringList& arguments,
                             const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment());

    static QByteArray text_on(const QString& target);
    static QString worker_on(const QString& target);
    // Whether the target holds the image with its configuration text, byte for byte.
    bool holds_image(const QString& target) const;
    // The lines of folder/results.csv as fields, after a header that must be the record's own.
    static QList<QStringList> results(const QString& folder);
    static fake_system::disk_spec stick(const QString& name, int number, const QString& serial);
    // The server names version the latest release and serves archive() for it, in pieces of
    // piece_size bytes interval_ms apart when piece_size > 0.
    void serve(http_test_server& server, const QString& version, int piece_size = 0, int interval_ms = 0);
    static QProcessEnvironment served_by(const http_test_server& server,
                                         QProcessEnvironment base = QProcessEnvironment::systemEnvironment());
};

} // namespace cli_test
