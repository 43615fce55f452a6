#include "burn_run.h"
#include "image_builder.h"

#include "src/core/logger.h"
#include "src/device/disk_access.h"
#include "src/image/image_feed.h"
#include "src/image/image_manipulator.h"

#include <QtTest>

#include <thread>

// A drive written while its image is still being inflated on another thread.
class test_burner_follow : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    struct outcome {
        int finished = 0;
        QStringList errors;
        std::vector<uint64_t> offsets;          // of every write, in order
        std::vector<bool> while_growing;        // whether inflation was still going at that write
        QByteArray target;
        uint32_t sector = 512;
        bool inflated = false;
    };

    // Inflates archive_bytes (slowed down per block, so that the writer has to wait for it) on a
    // thread of its own while a burner follows it onto a file target.
    // With another_run, a run that writes its own text into the published image's configuration
    // area while this one, held back after its first write, has not yet read that far.
    outcome follow(const QString& name, const QByteArray& archive_bytes, const QByteArray& text, quint64 another_run_at = 0)
    {
        const QString folder = m_dir.path() + "/" + name;
        QDir().mkpath(folder);
        image_builder::write_file(folder + "/1.0.gz", archive_bytes);
        const image_source source = image_cache::for_download((folder + "/1.0.gz").toStdString());
        std::string error;
        const auto disk = open_file_target((folder + "/stick.img").toStdString(), 0, error);
        outcome result;
        if (!disk)
            return result;
        result.sector = disk->sector_size;

        image_feed feed;
        image_burner burner(source.archive, disk.get(), text);
        burner.set_feed(&feed);
        std::atomic<bool> other_run_wrote{false}, writing{false};
        burner.set_block_observer([&](uint64_t at, const unsigned char*, size_t) {
            writing = true;
            result.offsets.push_back(at);
            result.while_growing.push_back(feed.current() == image_feed::state::growing);
            for (int waited = 0; another_run_at && !other_run_wrote && waited < 60000; waited += 5)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        });
        connect(&burner, &image_burner::finished, this, [&] { ++result.finished; });
        connect(&burner, &image_burner::error_msg, this, [&](QString text, bool) { result.errors << text; });

        std::thread inflation([&] {
            image_manipulator manipulator(image_manipulator::engine::zlib);
            manipulator.set_feed(&feed);
            connect(&manipulator, &image_manipulator::report_progress, &manipulator, [&] {
                // Once the bytes of a second block are there, inflation waits until the writer has
                // written it: however the threads are scheduled, the writer follows the growing image.
                const int64_t two_blocks = 2 * int64_t(image_burner::block_size(result.sector));
                for (int waited = 0; feed.available() >= two_blocks && !writing && waited < 60000; waited += 5)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }, Qt::DirectConnection);
            FILE* image = manipulator.decompress_image(source);
            result.inflated = image != nullptr;
            if (image && another_run_at) {
                std::fseek(image, static_cast<long>(another_run_at), SEEK_SET);
                std::fwrite("{\"worker\": \"theirs\"}", 1, 20, image);
                std::fflush(image);
            }
            other_run_wrote = true;
            if (image)
                std::fclose(image);
        });
        burner.burn_image();
        inflation.join();
        result.target = image_builder::read_file(folder + "/stick.img");
        return result;
    }

private slots:
    void initTestCase() { logger::init(m_dir.path().toStdString()); }

    void each_block_is_written_as_it_comes_and_the_text_and_first_block_last_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<quint64>("offset");
        QTest::addColumn<bool>("another_run"); // writes its text into the published image meanwhile
        const qint64 size = 6 * 1024 * 1024 + 3 * 512 + 77; // not whole sectors
        QTest::newRow("text in the first block") << size << quint64(4096) << false;
        QTest::newRow("text in a middle block") << size << quint64(3 * 1024 * 1024) << false;
        QTest::newRow("text across two blocks") << size << quint64(image_burner::block_size(4096) * 2 - 1000) << false;
        QTest::newRow("text across two 512-byte-sector blocks")
            << size << quint64(image_burner::block_size(512) * 2 - 1000) << false;
        QTest::newRow("text in the last block") << size << quint64(size - 8 - 2048) << false;
        QTest::newRow("an image smaller than a block") << qint64(300 * 1024) << quint64(1024) << false;
        // Not damage: the image is checked with the configuration area left out.
        QTest::newRow("another run's text in the published image") << size << quint64(4 * 1024 * 1024) << true;
    }
    void each_block_is_written_as_it_comes_and_the_text_and_first_block_last()
    {
        QFETCH(qint64, size);
        QFETCH(quint64, offset);
        QFETCH(bool, another_run);
        const QByteArray image = image_builder::disk_image(size, offset, 31);
        const QByteArray text = QByteArray("{\"worker\": \"rig7\"}").leftJustified(2048, '\n');
        const outcome run = follow(QTest::currentDataTag(), image_builder::gzip(image, 1), text, another_run ? offset : 0);
        QCOMPARE(run.errors, QStringList());
        QCOMPARE(run.finished, 1);
        QVERIFY(run.inflated);
        const int padded = static_cast<int>((size + run.sector - 1) / run.sector * run.sector);
        QCOMPARE(run.target.size(), padded);
        QVERIFY(run.target.left(static_cast<int>(size)) == image_builder::configured(image, offset, text));
        QCOMPARE(run.target.mid(static_cast<int>(size)).count('\0'), padded - static_cast<int>(size));

        // The first block last, after every other; the text's blocks again once the image was whole.
        const uint64_t block = image_burner::block_size(run.sector);
        QVERIFY(!run.offsets.empty());
        QCOMPARE(run.offsets.back(), uint64_t(0));
        QCOMPARE(std::count(run.offsets.begin(), run.offsets.end(), uint64_t(0)), 1L);
        const uint64_t blocks = (static_cast<uint64_t>(size) + block - 1) / block;
        uint64_t rewritten = 0;
        for (uint64_t at = offset / block * block; at < offset + 2048; at += block)
            rewritten += at != 0 ? 1 : 0;
        QCOMPARE(static_cast<uint64_t>(run.offsets.size()), blocks + rewritten);
        // It did not wait for the whole image: blocks went out while inflation was still going.
        if (blocks > 2)
            QVERIFY(run.while_growing.front());
    }

    // A stop while following is the headless runs' own case, on a real stick.
    void a_damaged_archive_leaves_the_first_block_unwritten()
    {
        const QByteArray image = image_builder::disk_image(5 * 1024 * 1024, 4096, 32);
        QByteArray archive = image_builder::gzip(image, 0);
        archive.chop(archive.size() / 3);
        const outcome cut = follow("cut", archive, QByteArray(2048, '\n'));
        QVERIFY(!cut.inflated);
        QCOMPARE(cut.finished, 0);
        QCOMPARE(cut.errors, QStringList{"Image is damaged, download it again"});
        QVERIFY(std::find(cut.offsets.begin(), cut.offsets.end(), uint64_t(0)) == cut.offsets.end());
        QVERIFY(!cut.offsets.empty()); // it was following, not waiting for the end
        QVERIFY(cut.target.left(4096).count('\0') == cut.target.left(4096).size());
    }

    void a_writer_that_opens_between_the_rename_and_the_completion_reads_the_published_image()
    {
        const quint64 offset = 4096;
        const QByteArray image = image_builder::disk_image(3 * 1024 * 1024, offset, 34);
        const QString folder = m_dir.path() + "/renamed";
        QDir().mkpath(folder);
        image_builder::write_file(folder + "/1.0.img", image); // renamed already; not yet announced
        std::string error;
        const auto disk = open_file_target((folder + "/stick.img").toStdString(), 0, error);
        QVERIFY(disk);
        image_feed feed;
        feed.begin((folder + "/1.0.img.part").toStdString());
        const QByteArray text = QByteArray("{\"worker\": \"late\"}").leftJustified(2048, '\n');
        const QString log_path = m_dir.path() + "/KELVRA Flash Tool.log";
        const int runs_before = image_builder::read_file(log_path).count("] Prepare image\n");
        std::thread inflation([&] {
            // Once the writer has begun to look for the image, and a while after (it finds no file
            // under the old name and waits for the announcement).
            for (int waited = 0; image_builder::read_file(log_path).count("] Prepare image\n") == runs_before
                                 && waited < 60000; waited += 5)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            feed.complete((folder + "/1.0.img").toStdString(), image.size(), std::nullopt, offset);
        });
        const burn_run run = burn((folder + "/1.0.gz").toStdString(), disk.get(), text,
                                  [&](image_burner& burner) { burner.set_feed(&feed); });
        inflation.join();
        QCOMPARE(run.errors, QStringList());
        QCOMPARE(run.finished, 1);
        QVERIFY(image_builder::read_file(folder + "/stick.img").left(image.size())
                == image_builder::configured(image, offset, text));
    }
};

QTEST_GUILESS_MAIN(test_burner_follow)
#include "test_burner_follow.moc"
