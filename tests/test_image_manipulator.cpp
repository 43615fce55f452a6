#include "file_size_limit.h"
#include "image_builder.h"

#include "src/core/file_io.h"
#include "src/core/logger.h"
#include "src/image/image_cache.h"
#include "src/image/image_manipulator.h"

#include <QtTest>

#include <functional>
#include <memory>
#include <zlib.h>

namespace {

using image_builder::gzip;
using image_builder::random_bytes;
using image_builder::read_file;
using image_builder::write_file;

using stream_guard = std::unique_ptr<FILE, int (*)(FILE*)>;

// An image with the config offset 4096 in its last eight bytes.
QByteArray image_data(unsigned seed)
{
    return random_bytes(5000, seed) + image_builder::disk_image(300000, 4096, seed);
}

} // namespace

// Every case runs once per inflater the build has.
class test_image_manipulator : public QObject {
    Q_OBJECT

public:
    explicit test_image_manipulator(image_manipulator::engine engine) : m_engine(engine) {}

private:
    image_manipulator::engine m_engine;
    QTemporaryDir m_dir;
    std::unique_ptr<image_manipulator> m_manipulator;

    QString path(const QString& name) const { return m_dir.path() + "/" + name; }
    QByteArray log() const { return read_file(path("KELVRA Flash Tool.log")); }
    stream_guard inflate(const QString& name) { return {m_manipulator->decompress_image(path(name).toStdString()), &std::fclose}; }
    stream_guard inflate(const image_source& source) { return {m_manipulator->decompress_image(source), &std::fclose}; }
    // Writes `archive` as `name` and inflates it.
    stream_guard inflate(const QString& name, const QByteArray& archive)
    {
        write_file(path(name), archive);
        return inflate(name);
    }
    QStringList parts() const { return QDir(m_dir.path()).entryList({"*.part"}, QDir::Files); }

private slots:
    void initTestCase() { logger::init(m_dir.path().toStdString()); }
    void init() { m_manipulator = std::make_unique<image_manipulator>(m_engine); }

    void cleanup()
    {
        QDir dir(m_dir.path());
        for (const QString& name : dir.entryList(QDir::Files | QDir::System | QDir::Hidden))
            if (!name.endsWith(".log"))
                dir.remove(name);
    }

    void inflates_with_progress_per_block()
    {
        // Stored blocks keep the archive near the data size; the zeros behind the gzip member
        // bring it to exactly 1,000,000 bytes and must be read for progress but not inflated.
        const QByteArray data = random_bytes(990000);
        QByteArray archive = gzip(data, 0);
        QVERIFY(archive.size() < 1000000);
        archive.append(QByteArray(1000000 - archive.size(), '\0'));
        QSignalSpy progress(m_manipulator.get(), &image_manipulator::report_progress);
        const stream_guard image = inflate("2.3.1.gz", archive);
        QVERIFY(image);
        QCOMPARE(progress.size(), 2);
        QCOMPARE(progress[0], (QList<QVariant>{qint64(524288), qint64(1000000)}));
        QCOMPARE(progress[1], (QList<QVariant>{qint64(1000000), qint64(1000000)}));
        QCOMPARE(read_file(path("2.3.1")), data);
        QCOMPARE(parts(), QStringList());
        QVERIFY(log().contains("] [decompress_image] Inflating: " + path("2.3.1.gz").toUtf8() + ", to:"
                               + path("2.3.1").toUtf8() + "\n"));

        // The stream is positioned at the start and writable.
        char first = 0;
        QCOMPARE(std::fread(&first, 1, 1, image.get()), size_t(1));
        QCOMPARE(first, data[0]);
        QCOMPARE(std::fseek(image.get(), 0, SEEK_SET), 0);
        QCOMPARE(std::fwrite("X", 1, 1, image.get()), size_t(1));
    }

    void reuses_only_an_image_made_from_its_archive()
    {
        QSignalSpy progress(m_manipulator.get(), &image_manipulator::report_progress);
        {
            const stream_guard image = inflate("2.3.1.gz", gzip(image_data(4)));
            QVERIFY(image && progress.size() > 0);
            QCOMPARE(std::fwrite("text", 1, 4, image.get()), size_t(4)); // a run embeds its text in place
        }
        progress.clear();
        QVERIFY(inflate("2.3.1.gz"));
        QCOMPARE(progress.size(), 0);
        QCOMPARE(read_file(path("2.3.1")).left(4), QByteArray("text"));
    }

    void leftovers_are_made_again_data()
    {
        QTest::addColumn<QByteArray>("earlier"); // inflated before from an archive of the same name
        QTest::addColumn<QByteArray>("leftover"); // the image found then; null: what the earlier run made
        const QByteArray data = image_data(5);
        // A cut-off copy whose last eight bytes are zero would announce the offset 0.
        QTest::newRow("empty") << QByteArray() << QByteArray("");
        QTest::newRow("truncated, zero tail") << QByteArray() << data.left(100000) + QByteArray(8, '\0');
        QTest::newRow("whole but unrecorded") << QByteArray() << data;
        QTest::newRow("shortened after its record") << data << data.left(200000);
        QTest::newRow("made from an older archive") << random_bytes(40000, 7) << QByteArray();
    }
    void leftovers_are_made_again()
    {
        QFETCH(QByteArray, earlier);
        QFETCH(QByteArray, leftover);
        const QByteArray data = image_data(5);
        if (!earlier.isNull())
            QVERIFY(inflate("2.3.1.gz", gzip(earlier)));
        write_file(path("2.3.1.gz"), gzip(data));
        if (!leftover.isNull())
            write_file(path("2.3.1"), leftover);
        const stream_guard image = inflate("2.3.1.gz");
        QVERIFY(image);
        QVERIFY(read_file(path("2.3.1")) == data);
        QCOMPARE(m_manipulator->read_config_offset(image.get()), quint64(4096));
    }

    void an_archive_replaced_while_inflated_is_not_vouched_for()
    {
        const QByteArray first = random_bytes(2000000, 31), second = random_bytes(2000000, 32);
        write_file(path("2.7.1.gz"), gzip(first, 0));
        write_file(path("respin.gz"), gzip(second, 0));
        bool replaced = false;
        connect(m_manipulator.get(), &image_manipulator::report_progress, this, [&] {
            if (!replaced)
                replaced = QFile::remove(path("2.7.1.gz")) && QFile::rename(path("respin.gz"), path("2.7.1.gz"));
        });
        QVERIFY(inflate("2.7.1.gz"));
        if (!replaced)
            QSKIP("an archive being read cannot be removed on this platform");
        // The record must not claim the new archive for the old content: the next run inflates again.
        const image_source source = image_cache::for_download(path("2.7.1.gz").toStdString());
        QVERIFY(!image_cache::is_current(source));
        m_manipulator->disconnect(this);
        QVERIFY(inflate(source));
        QVERIFY(read_file(path("2.7.1")) == second);
    }

    void the_record_promises_the_content_outside_the_text()
    {
        const auto crc = [](const QByteArray& bytes, uLong sum = 0) {
            return static_cast<uint32_t>(crc32(sum, reinterpret_cast<const Bytef*>(bytes.constData()),
                                               static_cast<uInt>(bytes.size())));
        };
        const auto with_gap = [](uint32_t whole, uint64_t size, uint64_t at, const QByteArray& gap) {
            return image_cache::crc_with_gap(whole, size, at, reinterpret_cast<const unsigned char*>(gap.constData()),
                                             2048);
        };
        // What runs may change (the 2048-byte text at the offset) is left out of the promise.
        const QByteArray data = random_bytes(3000000, 41) + image_builder::disk_image(8192 + 8, 3000000 + 100, 41);
        QVERIFY(inflate("2.8.0.gz", gzip(data)));
        QByteArray gapless = data;
        gapless.replace(3000100, 2048, QByteArray(2048, '\0'));
        uint32_t promised = 0;
        QVERIFY(image_cache::recorded_crc(image_cache::for_download(path("2.8.0.gz").toStdString()), promised));
        QCOMPARE(promised, crc(gapless));

        // The gap arithmetic itself, at the edges and beyond the lengths zlib's combine takes at once.
        for (const int at : {0, 1, 65536, 1000000 - 2048}) {
            QByteArray bytes = random_bytes(1000000, 42 + at);
            const uint32_t whole = crc(bytes);
            const QByteArray gap = bytes.mid(at, 2048);
            bytes.replace(at, 2048, QByteArray(2048, '\0'));
            QCOMPARE(with_gap(whole, 1000000, static_cast<uint64_t>(at), gap), crc(bytes));
        }
        if (m_engine != image_manipulator::engine::zlib)
            return; // the rest is the same arithmetic again
        // Past 2^30 bytes: 1.25 GiB of zeros with a text in it, streamed through zlib for comparison.
        const QByteArray zeros(1 << 20, '\0'), text = random_bytes(2048, 43);
        const auto zeros_after = [&zeros](uLong sum, uint64_t length) {
            for (uint64_t piece = 0; length > 0; length -= piece)
                sum = crc32(sum, reinterpret_cast<const Bytef*>(zeros.constData()),
                            static_cast<uInt>(piece = std::min<uint64_t>(length, zeros.size())));
            return sum;
        };
        const uint64_t size = uint64_t(1280) << 20, at = (uint64_t(1200) << 20) + 17;
        const uLong before = zeros_after(0, at);
        const uLong with_text = zeros_after(crc(text, before), size - at - 2048);
        QCOMPARE(with_gap(static_cast<uint32_t>(with_text), size, at, text), static_cast<uint32_t>(zeros_after(before, size - at)));
    }

    void archives_inflate_whole_or_leave_nothing_data()
    {
        QTest::addColumn<QByteArray>("archive");
        QTest::addColumn<QByteArray>("image");
        const QByteArray a = random_bytes(700000, 11), b = QByteArray(600000, 'b'), c = random_bytes(10, 12);
        // Highly compressible: one input block expands into many output blocks.
        const QByteArray many = QByteArray(9 * 1024 * 1024 + 17, 'a') + random_bytes(70000);
        QTest::newRow("one member, many blocks out of one") << gzip(many, 9) << many;
        QTest::newRow("two members") << gzip(a) + gzip(b) << a + b;
        QTest::newRow("three, then zero padding") << gzip(a) + gzip(c, 0) + gzip(b, 9) + QByteArray(70000, '\0')
                                                  << a + c + b;
        QTest::newRow("an empty member between") << gzip(a) + gzip(QByteArray()) + gzip(c) << a + c;
        QTest::newRow("garbage after the last") << gzip(a) + QByteArray("junk") << QByteArray();
        QTest::newRow("zeros, then another member") << gzip(a) + QByteArray(16, '\0') + gzip(c) << QByteArray();
        // The same where the member after the zeros starts a read block of its own.
        const QByteArray first = gzip(a, 0);
        QTest::newRow("zeros to a block edge, then another member")
            << first + QByteArray(3 * 524288 - first.size(), '\0') + gzip(c) << QByteArray();
        QTest::newRow("second member cut off") << gzip(a) + gzip(b).left(100) << QByteArray();
        QTest::newRow("second member bad header") << gzip(a) + QByteArray("\x1f\x8c", 2) + gzip(c).mid(2)
                                                  << QByteArray();
        // One member damaged in its data, its length or its trailer.
        const QByteArray good = gzip(random_bytes(300000, 3) + QByteArray(500000, 'q'));
        const int n = good.size();
        QByteArray flipped = good, bad_crc = good, bad_length = good;
        for (int i = n / 3; i < n / 3 + 64; ++i)
            flipped[i] = static_cast<char>(~flipped[i]);
        bad_crc[n - 8] = static_cast<char>(bad_crc[n - 8] ^ 1);
        bad_length[n - 1] = static_cast<char>(bad_length[n - 1] ^ 0x40);
        QTest::newRow("bad data") << flipped << QByteArray();
        QTest::newRow("truncated stream") << good.left(n / 2) << QByteArray();
        QTest::newRow("missing trailer") << good.left(n - 8) << QByteArray();
        QTest::newRow("crc mismatch") << bad_crc << QByteArray();
        QTest::newRow("length mismatch") << bad_length << QByteArray();
        QTest::newRow("not gzip") << random_bytes(4000, 9) << QByteArray();
        QTest::newRow("empty") << QByteArray() << QByteArray();
    }
    void archives_inflate_whole_or_leave_nothing()
    {
        QFETCH(QByteArray, archive);
        QFETCH(QByteArray, image);
        const stream_guard made = inflate("2.5.0.gz", archive);
        QCOMPARE(bool(made), !image.isEmpty());
        if (image.isEmpty()) {
            QVERIFY(m_manipulator->last_failure() == image_manipulator::failure::damaged);
            QVERIFY(!QFile::exists(path("2.5.0")) && parts().isEmpty());
            QVERIFY2(!QFile::exists(path("2.5.0.gz")), "a damaged archive must be fetched again");
        } else {
            QVERIFY(read_file(path("2.5.0")) == image);
        }
    }

    void a_users_archive_is_only_read()
    {
        // Two archives of one name in two folders, and the user's own file beside each.
        for (const char* folder : {"one", "two", "downloads"})
            QDir().mkpath(path(folder));
        const QByteArray first = random_bytes(30000, 13), second = random_bytes(30000, 14);
        write_file(path("one/kelvra.img.gz"), gzip(first));
        write_file(path("two/kelvra.img.gz"), gzip(second));
        write_file(path("one/kelvra.img"), "the user's own raw image");
        QByteArray cut = gzip(second);
        cut.chop(100);
        write_file(path("two/cut.img.gz"), cut);

        const std::string downloads = path("downloads").toStdString();
        const auto local = [&](const char* name) {
            return image_cache::for_local_archive(path(name).toStdString(), downloads);
        };
        const image_source a = local("one/kelvra.img.gz"), b = local("two/kelvra.img.gz");
        QVERIFY(inflate(a) && inflate(b));
        QVERIFY(read_file(QString::fromStdString(a.image)) == first);
        QVERIFY(read_file(QString::fromStdString(b.image)) == second);

        QVERIFY(!inflate(local("two/cut.img.gz")));
        QVERIFY(m_manipulator->last_failure() == image_manipulator::failure::damaged);
        QCOMPARE(read_file(path("two/cut.img.gz")), cut);
        QCOMPARE(QDir(path("one")).entryList(QDir::Files), (QStringList{"kelvra.img", "kelvra.img.gz"}));
        QCOMPARE(QDir(path("two")).entryList(QDir::Files), (QStringList{"cut.img.gz", "kelvra.img.gz"}));
        QCOMPARE(read_file(path("one/kelvra.img")), QByteArray("the user's own raw image"));
        QCOMPARE(QDir(path("downloads")).entryList({"*.part"}, QDir::Files), QStringList());
    }

    void missing_archive_and_unwritable_image()
    {
        QVERIFY(!inflate("absent.gz"));
        QVERIFY(!QFile::exists(path("absent")));
        QVERIFY(log().endsWith("] [decompress_image] Cannot open files\n"));
        QCOMPARE(m_manipulator->read_config_offset(nullptr), image_manipulator::no_offset);
        QVERIFY(log().endsWith("] [read_config_offset] Cannot open image\n"));

        // A write error (a full disk) must end the loop, keep the good archive and leave no image.
        write_file(path("full.gz"), gzip(random_bytes(400000)));
        bool made = true;
        {
            const file_size_limit full(std::max<qint64>(300000, log().size() + 65536));
            if (!full.active())
                QSKIP("no per-process file size limit to stand for a full disk");
            made = bool(inflate("full.gz"));
        }
        QVERIFY(!made);
        QVERIFY(m_manipulator->last_failure() == image_manipulator::failure::io_error);
        QVERIFY(!QFile::exists(path("full")));
        QVERIFY(QFile::exists(path("full.gz")));
        QCOMPARE(parts(), QStringList());
    }

    void config_offsets_data()
    {
        QTest::addColumn<QByteArray>("trailer");
        QTest::addColumn<qint64>("image_size");
        QTest::addColumn<quint64>("offset");
        const quint64 none = image_manipulator::no_offset;
        QTest::newRow("0x123400") << QByteArray::fromHex("0000000000123400") << qint64(2 << 20) << quint64(1192960);
        // A sparse file: 4.5 GiB into 5 GiB.
        QTest::newRow("beyond 4 GiB") << QByteArray::fromHex("0000000120000200") << qint64((5LL << 30) + 4096)
                                      << quint64((9ULL << 29) + 512);
        QTest::newRow("text just fits") << QByteArray::fromHex("0000000000000800") << qint64(4104) << quint64(2048);
        QTest::newRow("text would cover the trailer") << QByteArray::fromHex("0000000000000801") << qint64(4104)
                                                      << none;
        QTest::newRow("beyond the end") << QByteArray::fromHex("0000000100000000") << qint64(4096) << none;
        QTest::newRow("near wrap-around") << QByteArray::fromHex("fffffffffffffc00") << qint64(4096) << none;
        QTest::newRow("shorter than a trailer") << QByteArray("\x01\x02\x03", 3) << qint64(3) << none;
    }
    void config_offsets()
    {
        QFETCH(QByteArray, trailer);
        QFETCH(qint64, image_size);
        QFETCH(quint64, offset);
        QFile file(path("image"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        if (!file.resize(image_size - trailer.size()))
            QSKIP("the temporary folder cannot hold the sparse file");
        QVERIFY(file.seek(file.size()));
        file.write(trailer);
        file.close();

        const stream_guard image(open_file(path("image").toStdString(), "r+b"), &std::fclose);
        QCOMPARE(m_manipulator->read_config_offset(image.get()), offset);
        if (offset == image_manipulator::no_offset)
            return;
        // Positions past 4 GiB reach the stream whole.
        QCOMPARE(file_tell(image.get()), image_size);
        QCOMPARE(file_seek(image.get(), static_cast<int64_t>(offset), SEEK_SET), 0);
        QCOMPARE(file_tell(image.get()), static_cast<int64_t>(offset));
    }
};

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    test_image_manipulator with_zlib(image_manipulator::engine::zlib);
    int failures = QTest::qExec(&with_zlib, argc, argv);
    if (image_manipulator::has_isal()) {
        test_image_manipulator with_isal(image_manipulator::engine::isal);
        failures += QTest::qExec(&with_isal, argc, argv);
    }
    return failures;
}
#include "test_image_manipulator.moc"
