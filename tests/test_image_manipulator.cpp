#include "image_builder.h"

#include "src/core/file_io.h"
#include "src/core/logger.h"
#include "src/image/image_manipulator.h"

#include <QtTest>

#include <zlib.h>

namespace {

using image_builder::gzip;
using image_builder::random_bytes;

QByteArray read_all(const QString& path)
{
    return image_builder::read_file(path);
}

void write_all(const QString& path, const QByteArray& bytes)
{
    image_builder::write_file(path, bytes);
    QCOMPARE(QFileInfo(path).size(), qint64(bytes.size()));
}

// An image with some content and the given config offset in its last eight bytes.
QByteArray image_with_offset(qint64 size, quint64 offset)
{
    QByteArray image(static_cast<int>(size), '\x5a');
    for (int i = 0; i < 8; ++i)
        image[static_cast<int>(size) - 1 - i] = static_cast<char>((offset >> (8 * i)) & 0xff);
    return image;
}

struct stream_guard {
    FILE* stream;
    ~stream_guard()
    {
        if (stream)
            std::fclose(stream);
    }
};

} // namespace

// Every case runs once per inflater the build has.
class test_image_manipulator : public QObject {
    Q_OBJECT

public:
    explicit test_image_manipulator(image_manipulator::engine engine) : m_engine(engine) {}

private:
    image_manipulator::engine m_engine;
    QTemporaryDir m_dir;
    QString path(const QString& name) const { return m_dir.path() + "/" + name; }
    QByteArray log() const { return read_all(path("KELVRA Flash Tool.log")); }

private slots:
    void initTestCase() { logger::init(m_dir.path().toStdString()); }

    void cleanup()
    {
        QDir dir(m_dir.path());
        for (const QString& name : dir.entryList(QDir::Files | QDir::System))
            if (!name.endsWith(".log"))
                dir.remove(name);
    }

    void decompressed_name_drops_the_suffix()
    {
        QCOMPARE(image_manipulator::decompressed_path("/a/downloads/2.3.1.gz"), std::string("/a/downloads/2.3.1"));
        QCOMPARE(image_manipulator::decompressed_path("gz"), std::string("gz"));
    }

    void inflates_with_progress_per_block()
    {
        // Stored blocks keep the archive near the data size; the zeros behind the gzip member
        // bring it to exactly 1,000,000 bytes and must be read for progress but not inflated.
        const QByteArray data = random_bytes(990000);
        QByteArray archive = gzip(data, 0);
        QVERIFY(archive.size() < 1000000);
        archive.append(QByteArray(1000000 - archive.size(), '\0'));
        write_all(path("2.3.1.gz"), archive);

        image_manipulator manipulator(m_engine);
        QSignalSpy progress(&manipulator, &image_manipulator::report_progress);
        stream_guard image{manipulator.decompress_image(path("2.3.1.gz").toStdString())};
        QVERIFY(image.stream);
        QCOMPARE(progress.size(), 2);
        QCOMPARE(progress[0], (QList<QVariant>{qint64(524288), qint64(1000000)}));
        QCOMPARE(progress[1], (QList<QVariant>{qint64(1000000), qint64(1000000)}));
        QCOMPARE(read_all(path("2.3.1")), data);
        QVERIFY(!QFile::exists(path("2.3.1.part")));
        QVERIFY(log().contains("] [decompress_image] Inflating: " + path("2.3.1.gz").toUtf8() + ", to:"
                               + path("2.3.1").toUtf8() + "\n"));

        // The stream is positioned at the start and writable.
        char first = 0;
        QCOMPARE(std::fread(&first, 1, 1, image.stream), size_t(1));
        QCOMPARE(first, data[0]);
        QCOMPARE(std::fseek(image.stream, 0, SEEK_SET), 0);
        QCOMPARE(std::fwrite("X", 1, 1, image.stream), size_t(1));
    }

    void inflates_output_larger_than_many_blocks()
    {
        // Highly compressible: one input block expands into many output blocks.
        QByteArray data(9 * 1024 * 1024 + 17, 'a');
        data.append(random_bytes(70000));
        write_all(path("big.gz"), gzip(data, 9));
        image_manipulator manipulator(m_engine);
        stream_guard image{manipulator.decompress_image(path("big.gz").toStdString())};
        QVERIFY(image.stream);
        QCOMPARE(read_all(path("big")), data);
    }

    void reuses_an_existing_image()
    {
        write_all(path("2.3.1.gz"), gzip("new content"));
        write_all(path("2.3.1"), "earlier image");
        image_manipulator manipulator(m_engine);
        QSignalSpy progress(&manipulator, &image_manipulator::report_progress);
        stream_guard image{manipulator.decompress_image(path("2.3.1.gz").toStdString())};
        QVERIFY(image.stream);
        QCOMPARE(progress.size(), 0);
        QCOMPARE(read_all(path("2.3.1")), QByteArray("earlier image"));
    }

    void damaged_archives_leave_nothing_behind_data()
    {
        QTest::addColumn<QByteArray>("archive");
        const QByteArray data = random_bytes(300000, 3) + QByteArray(500000, 'q');
        const QByteArray good = gzip(data);
        const int n = good.size();

        QByteArray flipped = good;
        for (int i = n / 3; i < n / 3 + 64; ++i)
            flipped[i] = static_cast<char>(~flipped[i]);
        QByteArray bad_crc = good;
        bad_crc[n - 8] = static_cast<char>(bad_crc[n - 8] ^ 1);
        QByteArray bad_length = good;
        bad_length[n - 1] = static_cast<char>(bad_length[n - 1] ^ 0x40);

        QTest::newRow("bad data") << flipped;
        QTest::newRow("truncated stream") << good.left(n / 2);
        QTest::newRow("missing trailer") << good.left(n - 8);
        QTest::newRow("crc mismatch") << bad_crc;
        QTest::newRow("length mismatch") << bad_length;
        QTest::newRow("not gzip") << random_bytes(4000, 9);
        QTest::newRow("empty") << QByteArray();
    }
    void damaged_archives_leave_nothing_behind()
    {
        QFETCH(QByteArray, archive);
        write_all(path("2.4.0.gz"), archive);
        image_manipulator manipulator(m_engine);
        FILE* image = manipulator.decompress_image(path("2.4.0.gz").toStdString());
        QVERIFY(!image);
        QVERIFY(!QFile::exists(path("2.4.0")));
        QVERIFY(!QFile::exists(path("2.4.0.part")));
        QVERIFY2(!QFile::exists(path("2.4.0.gz")), "a damaged archive must be fetched again");
    }

    void missing_archive_and_unwritable_image()
    {
        image_manipulator manipulator(m_engine);
        QVERIFY(!manipulator.decompress_image(path("absent.gz").toStdString()));
        QVERIFY(!QFile::exists(path("absent")));
        QVERIFY(log().endsWith("] [decompress_image] Cannot open files\n"));

        // A write error (a full disk) must end the loop, keep the good archive and leave no image.
        write_all(path("full.gz"), gzip(random_bytes(200000)));
        QVERIFY(QFile::link("/dev/full", path("full.part")));
        QVERIFY(!manipulator.decompress_image(path("full.gz").toStdString()));
        QVERIFY(!QFile::exists(path("full")));
        QVERIFY(QFile::exists(path("full.gz")));
        QVERIFY(!QFileInfo(path("full.part")).isSymLink());
    }

    void config_offsets_data()
    {
        QTest::addColumn<QByteArray>("trailer");
        QTest::addColumn<qint64>("image_size");
        QTest::addColumn<quint64>("offset");
        const quint64 none = image_manipulator::no_offset;
        QTest::newRow("0x123400") << QByteArray::fromHex("0000000000123400") << qint64(2 << 20) << quint64(1192960);
        QTest::newRow("16 MiB") << QByteArray::fromHex("0000000001000000") << qint64(16777216 + 4096)
                                << quint64(16777216);
        QTest::newRow("all ones") << QByteArray::fromHex("ffffffffffffffff") << qint64(4096) << none;
        QTest::newRow("text just fits") << QByteArray::fromHex("0000000000000800") << qint64(4104) << quint64(2048);
        QTest::newRow("text would cover the trailer") << QByteArray::fromHex("0000000000000801") << qint64(4104)
                                                      << none;
        QTest::newRow("beyond the end") << QByteArray::fromHex("0000000100000000") << qint64(4096) << none;
        QTest::newRow("near wrap-around") << QByteArray::fromHex("fffffffffffffc00") << qint64(4096) << none;
        QTest::newRow("shorter than a trailer") << QByteArray("\x01\x02\x03", 3) << qint64(0) << none;
    }
    void config_offsets()
    {
        QFETCH(QByteArray, trailer);
        QFETCH(qint64, image_size);
        QFETCH(quint64, offset);
        QFile file(path("image"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(std::max<qint64>(image_size - trailer.size(), 0)));
        QVERIFY(file.seek(file.size()));
        file.write(trailer);
        file.close();

        image_manipulator manipulator(m_engine);
        stream_guard image{open_file(path("image").toStdString(), "r+b")};
        QCOMPARE(manipulator.read_config_offset(image.stream), offset);
    }

    void offsets_beyond_4_gib_in_a_sparse_image()
    {
        const qint64 size = (5LL << 30) + 4096;
        const quint64 offset = (9ULL << 29) + 512; // 4.5 GiB
        QFile file(path("huge"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        if (!file.resize(size - 8))
            QSKIP("the temporary folder cannot hold a sparse 5 GiB file");
        QVERIFY(file.seek(size - 8));
        file.write(image_with_offset(8, offset));
        file.close();

        image_manipulator manipulator(m_engine);
        stream_guard image{open_file(path("huge").toStdString(), "r+b")};
        QCOMPARE(manipulator.read_config_offset(image.stream), offset);
        QCOMPARE(file_tell(image.stream), size);
        QCOMPARE(file_seek(image.stream, static_cast<int64_t>(offset), SEEK_SET), 0);
        QCOMPARE(file_tell(image.stream), static_cast<int64_t>(offset));
    }

    void both_inflaters_write_the_same_bytes()
    {
        if (!image_manipulator::has_isal())
            QSKIP("built without ISA-L");
        QByteArray data = random_bytes(700000, 21) + QByteArray(3000000, '\0');
        for (int i = 0; i < 200000; ++i)
            data.append(static_cast<char>('a' + i % 7));
        write_all(path("a.gz"), gzip(data, 9));
        write_all(path("b.gz"), gzip(data, 9));
        image_manipulator zlib(image_manipulator::engine::zlib);
        image_manipulator isal(image_manipulator::engine::isal);
        stream_guard first{zlib.decompress_image(path("a.gz").toStdString())};
        stream_guard second{isal.decompress_image(path("b.gz").toStdString())};
        QVERIFY(first.stream && second.stream);
        QVERIFY(read_all(path("a")) == data);
        QVERIFY(read_all(path("b")) == read_all(path("a")));
    }

    void null_stream_has_no_offset()
    {
        image_manipulator manipulator(m_engine);
        QCOMPARE(manipulator.read_config_offset(nullptr), image_manipulator::no_offset);
        QVERIFY(log().endsWith("] [read_config_offset] Cannot open image\n"));
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
