#include "fake_system.h"
#include "http_test_server.h"
#include "image_builder.h"

#include "src/config/image_configurator.h"
#include "src/core/logger.h"
#include "src/gui/device_selection.h"
#include "src/gui/dialog_window.h"
#include "src/gui/main_window.h"
#include "src/gui/progress_button.h"
#include "src/gui/text_input.h"

#include <QtTest>

#include <QLabel>
#include <QPushButton>

namespace {

const char* const btc = "1BvBMSEYstWetqTFn5Au4m4GFg7xJaNVN2";
const quint64 offset = 1048576;

std::shared_ptr<device> drive(const std::string& path, uint64_t size)
{
    auto record = std::make_shared<device>();
    record->path = path;
    record->name = "Stick " + path;
    record->size = size;
    record->sector_size = 512;
    return record;
}

// The descriptors this process holds on a file.
int open_descriptors_on(const QString& path)
{
    int count = 0;
    const QString target = QFileInfo(path).canonicalFilePath();
    for (const QFileInfo& entry : QDir("/proc/self/fd").entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot))
        if (entry.symLinkTarget() == target)
            ++count;
    return count;
}

} // namespace

class test_main_window : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<fake_system> m_system;
    std::unique_ptr<http_test_server> m_server;
    std::string m_folder;
    QByteArray m_image;

    struct parts {
        std::unique_ptr<main_window> window;
        QList<text_input*> fields; // BTC, worker, group, SSID, wireless key, SSH key
        progress_button* button = nullptr;
        device_selection* drives = nullptr;
        QLabel* status = nullptr;
    };

    // With the BTC address typed unless told otherwise.
    parts open_window(const char* address = btc, int volume_check_ms = 200, int poll_ms = 20)
    {
        parts p;
        p.window = std::make_unique<main_window>("KELVRA Flash Tool", m_folder,
                                                 m_system->options(poll_ms, 80, volume_check_ms, 50));
        const auto fields = p.window->findChildren<text_input*>();
        p.fields = {fields[0], fields[1], fields[2], fields[3], fields[4], fields[5]};
        p.button = p.window->findChild<progress_button*>();
        p.drives = p.window->findChild<device_selection*>();
        for (QLabel* label : p.window->findChildren<QLabel*>())
            if (label->width() == 600 && label->height() == 20)
                p.status = label;
        p.fields[0]->setText(address);
        p.window->show();
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

    // sdb on port 2-1, sdc on port 2-2, ...: identical sticks but for where they sit.
    void add_stick(qint64 bytes, qint64 node_bytes = 8 * 1024 * 1024, const QString& name = "sdb")
    {
        fake_system::disk_spec stick;
        stick.name = name;
        stick.dev = QString("8:%1").arg(16 * (name.at(2).unicode() - 'a'));
        stick.port = QString("2-%1").arg(name.at(2).unicode() - 'a');
        stick.sectors = bytes / 512;
        stick.node_bytes = node_bytes;
        m_system->add_disk(stick);
    }

    void publish(const QByteArray& image, int piece_interval_ms = 0)
    {
        m_server->set_release("3.0.0");
        http_response archive;
        archive.body = image_builder::gzip(image);
        archive.piece_size = piece_interval_ms ? 16384 : 0;
        archive.piece_interval_ms = piece_interval_ms;
        m_server->set_response("/orvminer/kelvra/kelvra-3.0.0/image/kelvra-3.0.0.img.gz", archive);
    }

    QByteArray log() const { return image_builder::read_file(QString::fromStdString(m_folder) + "/KELVRA Flash Tool.log"); }

private slots:
    void initTestCase()
    {
        m_folder = (m_dir.path() + "/app").toStdString();
        QDir().mkpath(m_dir.path() + "/app/downloads");
        logger::init(m_folder);
        m_image = image_builder::disk_image(3 * 1024 * 1024 + 700, offset, 9);
    }

    void init()
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

    void drive_list_states()
    {
        QWidget window;
        device_selection list(&window);
        QVERIFY(!list.has_valid_device());
        QCOMPARE(list.title_text(), QString("No external USB flash drive detected!"));
        QCOMPARE(list.cursor().shape(), Qt::PointingHandCursor);
        list.update_devices_list({});
        QCOMPARE(list.cursor().shape(), Qt::ForbiddenCursor);

        list.update_devices_list({drive("/dev/a", 16000000000ULL)});
        QVERIFY(list.has_valid_device());
        QCOMPARE(list.subtitle_text(), QString("16 GB"));
        QTest::mouseClick(&list, Qt::LeftButton); // one drive: the list cannot open
        QVERIFY(!list.list_visible());

        list.update_devices_list({drive("/dev/a", 2000000000ULL)});
        QVERIFY(!list.has_valid_device());
        QVERIFY(list.subtitle_text().startsWith("2000.000000 MB -<font color=\"#e92424\">Not enough space (4GB"));
        list.update_devices_list({drive("/dev/a", 1500000000ULL)});
        QVERIFY(list.subtitle_text().startsWith("1.500000 GB -<font color=\"#e92424\"> Not enough"));
        list.update_devices_list({drive("/dev/a", 2000000001ULL)});
        QVERIFY(list.has_valid_device());

        list.update_devices_list({drive("/dev/a", 2000000001ULL), drive("/dev/b", 8000000000ULL)});
        QCOMPARE(list.title_text(), QString("Stick /dev/a")); // the earlier selection stays: the same disk
        list.update_devices_list({drive("/dev/b", 8000000000ULL), drive("/dev/c", 1000000000ULL)});
        QCOMPARE(list.title_text(), QString("Select external USB flash drive")); // unplugged: prompt
        QVERIFY(!list.get_selected_device());
        window.show();
        QTest::mouseClick(&list, Qt::LeftButton);
        QVERIFY(list.list_visible());
        QCOMPARE(list.height(), 72 + 145);
        list.collapse_list();
        list.update_devices_list({drive("/a", 5e9), drive("/b", 5e9), drive("/c", 5e9)});
        QTest::mouseClick(&list, Qt::LeftButton);
        QCOMPARE(list.height(), 72 + 219);
        list.update_devices_list({drive("/a", 5e9), drive("/b", 5e9), drive("/c", 5e9), drive("/d", 5e9), drive("/e", 5e9)});
        QTest::mouseClick(&list, Qt::LeftButton);
        QCOMPARE(list.height(), 72 + 221);
        QCOMPARE(device_selection::two_decimals(15.5), QString("15.5"));
        QCOMPARE(device_selection::two_decimals(100.0), QString("100"));
        QCOMPARE(device_selection::two_decimals(15.53), QString("15.53"));
    }

    void action_button_rule()
    {
        parts p = open_window("");
        QVERIFY(!p.button->clickable()); // no drive
        add_stick(16000000000LL);
        p.window->update_window();
        QVERIFY(!p.button->clickable()); // no BTC address
        p.fields[0]->setText(btc);
        QVERIFY(p.button->clickable());
        p.fields[1]->setText("rig name");
        QVERIFY(!p.button->clickable());
        p.fields[1]->setText("rig-(%d)");
        QVERIFY(p.button->clickable());
        p.fields[3]->setText("#home");
        QVERIFY(!p.button->clickable());
        p.fields[3]->clear();
        p.fields[0]->clear();
        p.window->on_button_click(); // a run started without a BTC address stops at once
        QCOMPARE(p.status->text(), QString("Empty BTC address!") + QChar(0xFE0F));
        QVERIFY(!p.window->is_flashing());
    }

    void large_drives_ask_first_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<bool>("asks");
        QTest::newRow("exactly 64 GiB") << qint64(68719476736LL) << false;
        QTest::newRow("one sector more") << qint64(68719476736LL + 512) << true;
    }
    void large_drives_ask_first()
    {
        QFETCH(qint64, bytes);
        QFETCH(bool, asks);
        add_stick(bytes);
        m_server->set_release("3.0.0"); // the archive itself is never served here
        parts p = open_window();
        p.button->button_clicked();
        if (!asks) {
            // The run went straight to the release lookup and failed (no archive is served), over before
            // the next test's server may take its port.
            QTRY_VERIFY_WITH_TIMEOUT(!m_server->requests().isEmpty() && p.status->isVisible(), 60000);
            QVERIFY(!question(p));
            return;
        }
        QTRY_VERIFY(question(p));
        QVERIFY(!p.button->isEnabled()); // the dialog holds the button
        question(p)->findChildren<QPushButton*>()[0]->click(); // CANCEL
        QVERIFY(!p.window->is_flashing() && !question(p) && p.button->isEnabled() && p.button->clickable()
                && m_server->requests().isEmpty());

        p.button->button_clicked(); // again, and leave through the close icon
        QTRY_VERIFY(question(p));
        question(p)->findChildren<QPushButton*>()[2]->click();
        QVERIFY(!p.window->is_flashing() && !question(p) && p.button->clickable() && m_server->requests().isEmpty());
    }

    void message_banner_grows_the_window_and_shrinks_it_back()
    {
        parts p = open_window("");
        p.window->set_error_msg_text("Something", true);
        QVERIFY(p.status->isVisible());
        QTRY_COMPARE_WITH_TIMEOUT(p.window->size(), QSize(610, 620), 1000);
        QTRY_COMPARE_WITH_TIMEOUT(p.window->size(), QSize(610, 585), 4000);
        QTRY_VERIFY(p.status->isHidden());
    }

    // Each run on an identical stick plugged in beside the one flashed before, which becomes the
    // selection and is told apart by its port; the last one offline.
    void four_runs_on_four_sticks_number_the_workers()
    {
        add_stick(16000000000LL);
        publish(m_image);
        parts p = open_window();
        p.fields[1]->setText("node-(%d)");
        QStringList shown; // what the status line showed for each message of the last run
        for (int run = 1; run <= 4; ++run) {
            const QString stick = QString("sd") + QChar('a' + run);
            if (run > 1)
                add_stick(16000000000LL, 8 * 1024 * 1024, stick);
            QTRY_COMPARE_WITH_TIMEOUT(p.drives->subtitle_text(), run > 1 ? "16 GB - port 2-" + QString::number(run) : "16 GB", 60000);
            QTRY_VERIFY_WITH_TIMEOUT(p.button->clickable() && !p.window->is_flashing(), 60000);
            if (run == 4) { // offline: the archive here is flashed, and the window says so
                m_server->stop();
                connect(p.window.get(), &main_window::error, this, [&] { shown << p.status->text(); });
            }
            p.button->button_clicked();
            if (run == 1)
                p.button->button_clicked(); // "Stop flashing?", left unanswered while the run ends
            QTRY_VERIFY_WITH_TIMEOUT(p.status->isVisible() && p.status->text() == "Flashing successful!", 60000);
            QVERIFY(!question(p)); // gone with its run
            const QByteArray disk = image_builder::read_file(m_system->node(stick));
            const QByteArray text = disk.mid(static_cast<int>(offset), 2048);
            QVERIFY2(text.contains(QString("\"worker\": \"node-%1\"").arg(run).toUtf8()), text.constData());
            QVERIFY(disk.left(m_image.size()) == image_builder::configured(m_image, offset, text));
            QCOMPARE(open_descriptors_on(m_system->node(stick)), 0);
            QTRY_VERIFY_WITH_TIMEOUT(p.status->isHidden(), 60000);
        }
        QCOMPARE(shown, (QStringList{"<font color=\"#3a3939\">Release lookup failed: using cached release 3.0.0</font>",
                                     "Flashing successful!"}));
        QCOMPARE(p.fields[1]->text(), QString("node-(%d,4)"));
        QCOMPARE(QString::fromStdString(load_settings(m_folder)->worker), QString("node-(%d,4)"));
        // Each run left its line in the folder's record, as the headless runs do.
        const QList<QByteArray> record = image_builder::read_file(QString::fromStdString(m_folder) + "/results.csv").split('\n');
        QCOMPARE(record.size(), 6);
        for (int run = 1; run <= 4; ++run)
            QVERIFY2(record[run].contains(QString(",3.0.0,node-%1,ok,").arg(run).toUtf8()), record[run].constData());
        // Only one download: the later runs found the archive in place.
        QCOMPARE(m_server->requests().count("/orvminer/kelvra/kelvra-3.0.0/image/kelvra-3.0.0.img.gz"), 1);
    }

    void a_drive_swapped_or_pulled_is_never_asked_about_or_written()
    {
        add_stick(16000000000LL);
        publish(m_image);
        parts p = open_window();
        // Listed at the start and at the two notices of the first look; then swapped within one look
        // for a larger stick: that is the one shown and asked about.
        QTRY_VERIFY_WITH_TIMEOUT(log().count("USB dev: ") >= 4, 60000);
        m_system->remove_disk("sdb");
        add_stick(128000000000LL);
        QTRY_COMPARE_WITH_TIMEOUT(p.drives->subtitle_text(), QString("128 GB"), 60000);
        p.button->button_clicked();
        QTRY_VERIFY_WITH_TIMEOUT(question(p), 60000);
        m_system->remove_disk("sdb"); // the question goes with its drive, as CANCEL would end it
        QTRY_VERIFY_WITH_TIMEOUT(!question(p), 60000);
        QCOMPARE(p.drives->title_text(), QString("No external USB flash drive detected!"));
        QVERIFY(!p.window->is_flashing() && p.button->isEnabled() && !p.button->in_run());

        add_stick(16000000000LL);
        p = open_window(btc, 200, 3600000); // the drives are never looked at again
        // Swapped after the last look: found out before the first byte is written.
        m_system->remove_disk("sdb");
        add_stick(32000000000LL);
        p.button->button_clicked();
        QTRY_COMPARE_WITH_TIMEOUT(p.status->text(), QString("Selected device was replaced, nothing was written!"), 60000);
        QCOMPARE(image_builder::read_file(m_system->node("sdb")), QByteArray(8 << 20, '\xab'));
        QVERIFY(!p.window->is_flashing());
    }

    void cancel_during_download()
    {
        add_stick(16000000000LL);
        publish(m_image, 50);
        parts p = open_window();
        p.button->button_clicked();
        QTRY_VERIFY_WITH_TIMEOUT(p.button->fill_pixels() > 0, 5000);
        p.window->cancel();
        QVERIFY(!p.window->is_flashing());
        QVERIFY(p.drives->isEnabled());
        QTRY_COMPARE(p.status->text(), QString("Network error: 5"));
        QCOMPARE(QDir(m_dir.path() + "/app/downloads").entryList(QDir::Files), QStringList());
        QCOMPARE(open_descriptors_on(m_system->node("sdb")), 0);
    }

    void cancel_during_preparation_releases_the_drive()
    {
        add_stick(16000000000LL);
        publish(m_image);
        parts p = open_window(btc, 1500);
        const QByteArray before = image_builder::read_file(m_system->node("sdb"));
        p.button->button_clicked();
        QTRY_VERIFY_WITH_TIMEOUT(log().contains("Checking for drives after formating"), 5000);
        QCOMPARE(open_descriptors_on(m_system->node("sdb")), 1);
        p.window->cancel();
        QVERIFY(!p.window->is_flashing());
        QTRY_COMPARE_WITH_TIMEOUT(open_descriptors_on(m_system->node("sdb")), 0, 5000);
        QVERIFY(p.status->isHidden()); // no message for a cancel here
        const QByteArray after = image_builder::read_file(m_system->node("sdb"));
        QVERIFY(after.mid(1 << 20, 4096) == before.mid(1 << 20, 4096)); // wiped, never written
    }

    void cancel_during_write()
    {
        QByteArray big(400 * 1024 * 1024, '\0');
        for (int i = 0; i < 8; ++i)
            big[big.size() - 1 - i] = static_cast<char>((offset >> (8 * i)) & 0xff);
        add_stick(16000000000LL, 4096);
        publish(big);
        big.clear();
        parts p = open_window();
        // Stop as soon as writing begins: watched closely, so the write is still far from done.
        QTimer watch;
        bool stopped = false;
        bool kept_locked = false;
        connect(&watch, &QTimer::timeout, this, [&] {
            if (!stopped && log().contains("Burning started")) {
                stopped = true;
                p.window->update_window(); // a stick plugged in meanwhile changes nothing about the run
                kept_locked = p.window->is_flashing() && !p.fields[0]->isEnabled() && p.button->clickable();
                p.window->cancel();
            }
        });
        watch.start(2);
        p.button->button_clicked();
        QTRY_VERIFY_WITH_TIMEOUT(stopped, 60000);
        QVERIFY(kept_locked);
        QVERIFY(!p.window->is_flashing());
        QTRY_COMPARE_WITH_TIMEOUT(open_descriptors_on(m_system->node("sdb")), 0, 10000);
        QVERIFY(p.drives->isEnabled());
        QTRY_VERIFY(log().contains("Burning canceled"));
        QVERIFY(QFileInfo(m_system->node("sdb")).size() < 400 * 1024 * 1024); // the first block never came
    }
};

QTEST_MAIN(test_main_window)
#include "test_main_window.moc"
