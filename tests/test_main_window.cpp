#include "image_builder.h"
#include "window_fixture.h"

#include "src/config/image_configurator.h"
#include "src/gui/dialog_window.h"

#include <QPushButton>

namespace {

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

class test_main_window : public QObject, window_fixture {
    Q_OBJECT

    const QByteArray m_image = image_builder::disk_image(3 * 1024 * 1024 + 700, offset, 9);

private slots:
    void init() { set_up_case(); }

    void drive_list_states()
    {
        QWidget window;
        device_selection list(&window);
        QVERIFY(!list.has_valid_device());
        list.update_devices_list({});
        QCOMPARE(list.cursor().shape(), Qt::ForbiddenCursor);

        list.update_devices_list({drive("/dev/a", 16000000000ULL)});
        QVERIFY(list.has_valid_device());
        QTest::mouseClick(&list, Qt::LeftButton); // one drive: the list cannot open
        QVERIFY(!list.list_visible());

        list.update_devices_list({drive("/dev/a", 2000000000ULL)});
        QVERIFY(!list.has_valid_device() && list.subtitle_text().startsWith("2000.000000 MB -<font color=\"#e92424\">Not enough space (4GB"));
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
        // Open, the list grows with its drives up to a limit: 2, 3 and 5 drives.
        std::vector<std::shared_ptr<device>> drives{drive("/a", 5e9), drive("/b", 5e9)};
        for (const int height : {145, 219, 221}) {
            list.collapse_list();
            list.update_devices_list(drives);
            QTest::mouseClick(&list, Qt::LeftButton);
            QVERIFY(list.list_visible());
            QCOMPARE(list.height(), 72 + height);
            drives.push_back(drive("/c" + std::to_string(drives.size()), 5e9));
            if (height == 219)
                drives.push_back(drive("/e", 5e9));
        }
        QCOMPARE(device_selection::two_decimals(15.5) + " " + device_selection::two_decimals(100.0) + " "
                     + device_selection::two_decimals(15.53), QString("15.5 100 15.53"));
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
        for (const int leave : {0, 2}) { // CANCEL, then again and out through the close icon
            if (leave)
                p.button->button_clicked();
            QTRY_VERIFY_WITH_TIMEOUT(question(p), 60000);
            QVERIFY(!p.button->isEnabled()); // the dialog holds the button
            question(p)->findChildren<QPushButton*>()[leave]->click();
            QVERIFY(!p.window->is_flashing() && !question(p) && p.button->isEnabled() && p.button->clickable()
                    && m_server->requests().isEmpty());
        }
    }

    // Each run on an identical stick plugged in beside the one flashed before, which becomes the
    // selection and is told apart by its port; the last one offline.
    void four_runs_on_four_sticks_number_the_workers()
    {
        add_stick(16000000000LL);
        publish(image_builder::gzip(m_image));
        parts p = open_window();
        p.fields[1]->setText("node-(%d)");
        QStringList shown; // what the status line showed for each message of the last run
        for (int run = 1; run <= 4; ++run) {
            const QString stick = QString("sd") + QChar('a' + run);
            if (run > 1)
                add_stick(16000000000LL, stick);
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
        QCOMPARE(m_server->requests().count(archive_path), 1);
    }

    void a_drive_swapped_or_pulled_is_never_asked_about_or_written()
    {
        add_stick(16000000000LL);
        publish(image_builder::gzip(m_image));
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
        publish(image_builder::gzip(m_image), 50);
        parts p = open_window();
        p.button->button_clicked();
        QTRY_VERIFY_WITH_TIMEOUT(p.button->fill_pixels() > 0, 60000);
        p.window->cancel();
        QVERIFY(!p.window->is_flashing() && p.drives->isEnabled());
        QTRY_COMPARE_WITH_TIMEOUT(p.status->text(), QString("Network error: 5"), 60000);
        QCOMPARE(QDir(m_dir.path() + "/app/downloads").entryList(QDir::Files), QStringList());
        QCOMPARE(open_descriptors_on(m_system->node("sdb")), 0);
    }

    void cancel_during_preparation_releases_the_drive()
    {
        add_stick(16000000000LL);
        publish(image_builder::gzip(m_image));
        parts p = open_window(btc, 1500);
        const QByteArray before = image_builder::read_file(m_system->node("sdb"));
        p.button->button_clicked();
        QTRY_VERIFY_WITH_TIMEOUT(log().contains("Checking for drives after formating"), 60000);
        QCOMPARE(open_descriptors_on(m_system->node("sdb")), 1);
        p.window->cancel();
        QVERIFY(!p.window->is_flashing());
        QTRY_COMPARE_WITH_TIMEOUT(open_descriptors_on(m_system->node("sdb")), 0, 60000);
        QVERIFY(p.status->isHidden()); // no message for a cancel here
        QVERIFY(image_builder::read_file(m_system->node("sdb")).mid(1 << 20, 4096) == before.mid(1 << 20, 4096)); // wiped, never written
    }

    void cancel_during_write()
    {
        QByteArray big(400 * 1024 * 1024, '\0');
        for (int i = 0; i < 8; ++i)
            big[big.size() - 1 - i] = static_cast<char>((offset >> (8 * i)) & 0xff);
        add_stick(16000000000LL, "sdb", 4096);
        publish(image_builder::gzip(big));
        big.clear();
        parts p = open_window();
        // Stop as soon as writing begins: watched closely, so the write is still far from done.
        QTimer watch;
        bool stopped = false, kept_locked = false;
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
        QVERIFY(kept_locked && !p.window->is_flashing());
        QTRY_COMPARE_WITH_TIMEOUT(open_descriptors_on(m_system->node("sdb")), 0, 60000);
        QVERIFY(p.drives->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(log().contains("Burning canceled"), 60000);
        QVERIFY(QFileInfo(m_system->node("sdb")).size() < 400 * 1024 * 1024); // the first block never came
    }
};

QTEST_MAIN(test_main_window)
#include "test_main_window.moc"
