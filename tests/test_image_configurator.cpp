#include "image_builder.h"

#include "src/config/image_configurator.h"
#include "src/config/results_record.h"
#include "src/config/worker_names.h"
#include "src/core/logger.h"

#include <QtTest>

namespace {

// The saved document of empty settings, as the image must carry it.
const QByteArray empty_document =
    "{\n    \"access\": {\n        \"ssh\": {\n            \"key\": \"\"\n        }\n    },\n"
    "    \"network\": {\n        \"wireless\": {\n            \"key\": \"\",\n            \"ssid\": \"\"\n        }\n    },\n"
    "    \"rig\": {\n        \"btc\": \"\",\n        \"group\": \"\",\n        \"worker\": \"\"\n    }\n}\n";

const auto any_name = [](const std::string&) { return true; };

} // namespace

class test_image_configurator : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::string folder() const { return m_dir.path().toStdString(); }
    QString config_path() const { return m_dir.path() + "/configuration.txt"; }
    QString log_path() const { return m_dir.path() + "/KELVRA Flash Tool.log"; }

private slots:
    void initTestCase() { logger::init(folder()); }
    void cleanup() { QFile::remove(config_path()); }

    void saved_settings_load_back_equal()
    {
        settings saved{"bc1qxyz", "rig(%d,4)", "hall-B", "ssh-ed25519 AAAA\nsecond \"line\"", "Farm Wi\u00e2Fi",
                       "p\\a\"ss"};
        save_settings(folder(), saved);
        const QByteArray text = image_builder::read_file(config_path());
        QVERIFY(text.contains("\"key\": \"ssh-ed25519 AAAA\\nsecond \\\"line\\\"\""));
        QVERIFY(text.contains("Farm Wi\xc3\xa2" "Fi")); // UTF-8, not \u escapes
        QVERIFY(*load_settings(folder()) == saved);
        QCOMPARE(QDir(m_dir.path()).entryList({"conf*"}, QDir::Files), QStringList{"configuration.txt"});
    }

    void unusable_files_load_as_empty_fields_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("btc");
        QTest::newRow("empty file") << QByteArray() << "";
        QTest::newRow("not json") << QByteArray("{\"rig\": {\"btc\": \"a\"") << "";
        QTest::newRow("root is an array") << QByteArray("[1, 2]") << "";
        QTest::newRow("worker is a number") << QByteArray("{\"rig\": {\"worker\": 12}}") << "";
        QTest::newRow("rig is a string") << QByteArray("{\"rig\": \"btc\"}") << "";
        QTest::newRow("other members ignored") << QByteArray("{\"rig\": {\"btc\": \"b\", \"x\": 1}, \"y\": []}") << "b";
    }
    void unusable_files_load_as_empty_fields()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, btc);
        image_builder::write_file(config_path(), content);
        const auto loaded = load_settings(folder());
        QVERIFY(*loaded == (settings{btc.toStdString(), "", "", "", "", ""}));
    }

    void missing_file_and_missing_folder()
    {
        QVERIFY(*load_settings(folder()) == settings{});
        const std::string missing = folder() + "/absent";
        save_settings(missing, settings{"x", "", "", "", "", ""});
        QVERIFY(!QFile::exists(QString::fromStdString(missing)));
    }

    void expand_worker_name_table_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("written");
        QTest::newRow("equal tokens") << "a(%d,1)b(%d,1)" << "a2b2";
        QTest::newRow("mixed tokens") << "a(%d,1)b(%d,4)c(%d)" << "a2b5c1";
        QTest::newRow("plain") << "rig5" << "rig5";
        QTest::newRow("empty") << "" << "";
        QTest::newRow("leading zeros") << "r(%d,007)" << "r8";
        QTest::newRow("beyond 32 bits") << "r(%d,99999999999)" << "r100000000000";
        QTest::newRow("neighbours") << "(%d,5)x(%d,6)" << "6x7";
    }
    void expand_worker_name_table()
    {
        QFETCH(QString, stored);
        QFETCH(QString, written);
        QCOMPARE(QString::fromStdString(expand_worker_name(stored.toStdString())), written);
    }

    void advance_worker_name_table_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("after");
        QTest::newRow("no number") << "rig" << "rig1";
        QTest::newRow("carry") << "rig99" << "rig100";
        QTest::newRow("digits only") << "9" << "10";
        QTest::newRow("leading zeros") << "rig007" << "rig8";
        QTest::newRow("plain 15 ending in 9") << "abcdefghijklmn9" << "abcdefghijklmn10";
        QTest::newRow("16 characters is not plain") << "abcdefghijklmn10" << "abcdefghijklmn10";
        QTest::newRow("two tokens") << "x(%d)y(%d,4)" << "x(%d,1)y(%d,5)";
        QTest::newRow("neighbours stay apart") << "(%d,5)x(%d,6)" << "(%d,6)x(%d,7)";
        QTest::newRow("equal tokens stay equal") << "a(%d,3)b(%d,3)" << "a(%d,4)b(%d,4)";
        QTest::newRow("neither plain nor tokens") << "my rig 7" << "my rig 7";
        QTest::newRow("beyond 32 bits") << "r2147483647" << "r2147483648";
    }
    void advance_worker_name_table()
    {
        QFETCH(QString, before);
        QFETCH(QString, after);
        settings values;
        values.worker = before.toStdString();
        advance_worker_name(&values);
        QCOMPARE(QString::fromStdString(values.worker), after);
    }

    // The text is the saved document, byte for byte, padded with line feeds; the save replaces the
    // whole file.
    void configuration_text_is_padded_to_2048()
    {
        image_builder::write_file(config_path(), QByteArray(5000, 'z'));
        const QByteArray text = configure_image(folder(), settings{});
        QCOMPARE(text.size(), 2048);
        QCOMPARE(text.left(258), empty_document);
        QCOMPARE(text.mid(258), QByteArray(1790, '\n'));
        QCOMPARE(image_builder::read_file(config_path()), empty_document);

        settings values;
        values.worker = "rig(%d)";
        QVERIFY(configure_image(folder(), values).contains("\"worker\": \"rig1\""));
        QCOMPARE(QString::fromStdString(load_settings(folder())->worker), QString("rig(%d)"));
    }

    void configuration_text_size_limit()
    {
        // Every byte of value text adds one byte; an escaped quotation mark costs two.
        settings values;
        values.ssh_key = std::string(2048 - 258 - 2, 'k');
        values.wireless_key = "\"";
        const QByteArray exact = configure_image(folder(), values);
        QCOMPARE(exact.size(), 2048);
        QVERIFY(exact.endsWith("}\n"));

        const QByteArray before = image_builder::read_file(config_path());
        values.wireless_key = "\"x";
        QVERIFY(configure_image(folder(), values).isEmpty());
        QCOMPARE(image_builder::read_file(config_path()), before);
        QVERIFY(image_builder::read_file(log_path()).endsWith("] [configure_image] Configuration file exceeds 2kB\n"));
        QVERIFY(image_builder::read_file(log_path()).contains("] [configure_image] Configuration file size: 2049\n"));
    }

    void names_are_given_once_and_as_asked()
    {
        // Only a counter name continues the saved series; a plain one is used as written.
        QCOMPARE(later_in_series("rig(%d)", "rig(%d,7)"), std::string("rig(%d,7)"));
        QCOMPARE(later_in_series("rig(%d,9)", "rig(%d,7)"), std::string("rig(%d,9)"));
        QCOMPARE(later_in_series("rig3", "rig8"), std::string("rig3"));
        QCOMPARE(later_in_series("box(%d)", "rig(%d,7)"), std::string("box(%d)"));
        for (const char* name : {"rig1", "rig2", "rig100"})
            QVERIFY2(series_can_write("rig(%d)", name), name);
        for (const char* name : {"rig0", "rig02", "rigA", "rig", "xrig2"})
            QVERIFY2(!series_can_write("rig(%d)", name), name);
        QVERIFY(!series_can_write("rig", "rig2")); // no counter, no series

        names_list names;
        std::string error;
        QVERIFY(parse_names_list("\xef\xbb\xbfport,worker\n# hub A\n2-1.3, rack-a1\r\nSN0042,rack-b7\n\n", names, error, any_name));
        QCOMPARE(names.lookup("2-1.3", "SN0042"), std::string("rack-a1")); // the port first
        QCOMPARE(names.lookup("2-9", "SN0042"), std::string("rack-b7"));
        QCOMPARE(names.lookup("", ""), std::string());
        for (const char* bad : {"2-1,a\n2-1,b\n", "2-1,a\n2-2,a\n", "2-1\n", "2-1,rig(%d)\n", ",x\n"}) {
            names_list refused;
            QVERIFY2(!parse_names_list(bad, refused, error, any_name), bad);
            QVERIFY2(error.rfind("line", 0) == 0, error.c_str());
        }
        QVERIFY(names_clear_of_series(names, "box(%d)", error) && !names_clear_of_series(names, "rack-a(%d)", error));
    }

    void a_station_gives_each_stick_one_name()
    {
        names_list names;
        std::string error;
        QVERIFY(parse_names_list("2-3,labelA\n", names, error, any_name));
        station_naming naming(names, true);
        using choice = station_naming::choice;
        const auto holds_it = [](bool same) { return [same](const station_naming::given&) { return same; }; };
        QCOMPARE(naming.choose("2-3", "S1", 8, holds_it(false)).how, choice::listed);
        naming.note({"2-3", "S1", 8, "labelA", false, false, 0});
        QCOMPARE(naming.choose("2-4", "S1", 8, holds_it(true)).how, choice::wait); // that serial is still being written
        naming.given_names()[0].ended = naming.given_names()[0].ok = true;
        // Another stick in the port: nothing. The same stick again, still holding its text: its name again.
        QCOMPARE(naming.choose("2-3", "S2", 8, holds_it(false)).how, choice::refused);
        QCOMPARE(naming.choose("2-3", "S1", 8, holds_it(true)).name, std::string("labelA"));
        // One of a batch sharing a serial number holds something else: a number of its own.
        QCOMPARE(naming.choose("2-5", "S1", 8, holds_it(false)).how, choice::numbered);
        // The last of that serial failed: its name is on no good stick, and goes to this one.
        naming.note({"2-5", "S1", 8, "rig1", true, false, 1});
        QCOMPARE(naming.choose("2-6", "S1", 8, holds_it(false)).name, std::string("rig1"));
        QCOMPARE(station_naming(names, false).choose("2-7", "S3", 8, holds_it(false)).how, choice::refused);
    }

    void a_result_is_one_line_of_the_record()
    {
        flash_result result;
        result.time = "2026-12-07T10:00:00+01:00";
        result.port = "2-1";
        result.size = 4096000000;
        result.tag = release_tag("/farm/kelvra-2.7.0.img.gz");
        result.worker = "rig1";
        result.result = "failed: busy, \"locked\"";
        result.seconds = 12.345;
        result.target = "/dev/sdb";
        QCOMPARE(QString::fromStdString(results_line(result)),
                 QString("2026-12-07T10:00:00+01:00,2-1,,4096000000,2.7.0,rig1,\"failed: busy, \"\"locked\"\"\",12.4,/dev/sdb"));
        // A stick handled for a few milliseconds never reads as not handled at all.
        result.seconds = 0.004;
        QVERIFY(results_line(result).find(",0.1,") != std::string::npos);
        QCOMPARE(release_tag("downloads/2.7.0.gz"), std::string("2.7.0"));
    }
};

QTEST_GUILESS_MAIN(test_image_configurator)
#include "test_image_configurator.moc"
