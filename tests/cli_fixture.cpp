#include "cli_fixture.h"

#include "src/cli/cli_options.h"
#include "src/config/results_record.h"

#include <QEventLoop>
#include <QTimer>
#include <QtTest>

#include <csignal>

namespace cli_test {

flash_session::reader_factory watched_reader::factory(watcher watch)
{
    return [watch](const std::string& target) -> std::unique_ptr<disk_reader> {
        auto reader = std::make_unique<watched_reader>();
        reader->m_real = open_disk_reader(target);
        reader->m_watch = watch;
        return reader->m_real ? std::move(reader) : nullptr;
    };
}

bool watched_reader::read(uint64_t at, unsigned char* data, size_t size)
{
    if (!m_real->read(at, data, size))
        return false;
    m_watch(at, data, size);
    return true;
}

QString fixture::archive()
{
    const QString file = path("kelvra-2.7.0.img.gz");
    if (!QFile::exists(file))
        image_builder::write_file(file, image_builder::gzip(image));
    return file;
}

finished_run fixture::run(const QStringList& arguments, const device_options& options,
                          flash_session::reader_factory readers, const std::function<void(flash_session&)>& before_run)
{
    cli_request request;
    std::string error;
    if (!parse_cli(arguments, request, error))
        qWarning() << QString::fromStdString(error);
    captured io;
    flash_session session(request, path("app").toStdString(), options, io.streams, std::move(readers));
    if (before_run)
        before_run(session);
    const int code = session.run();
    return finished_run{code, io.out(), io.err()};
}

QStringList fixture::flash(const QStringList& rest)
{
    return QStringList{"--btc", btc, "--image", archive()} + rest;
}

bool fixture::ended(const finished_run& result, int code, const QString& text)
{
    if (result.code == code && result.all().contains(text))
        return true;
    qWarning().noquote() << "exit code" << result.code << "instead of" << code << "or no" << text << "in:" << result.all();
    return false;
}

bool fixture::says(const QStringList& arguments, int code, const QString& text, const device_options& options)
{
    return ended(run(arguments, options), code, text);
}

void fixture::start(QProcess& cli, const QStringList& arguments, const QProcessEnvironment& environment, bool merged)
{
    cli.setProcessChannelMode(merged ? QProcess::MergedChannels : QProcess::SeparateChannels);
    cli.setProcessEnvironment(environment);
    cli.start(KELVRA_CLI, arguments);
    cli.waitForStarted(60000);
}

finished_run fixture::finish(QProcess& cli)
{
    QEventLoop loop;
    QObject::connect(&cli, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop, &QEventLoop::quit);
    QTimer::singleShot(240000, &loop, &QEventLoop::quit);
    if (cli.state() != QProcess::NotRunning)
        loop.exec();
    const bool ended = cli.state() == QProcess::NotRunning && cli.exitStatus() == QProcess::NormalExit;
    return finished_run{ended ? cli.exitCode() : -1, QString::fromUtf8(cli.readAllStandardOutput()),
                        QString::fromUtf8(cli.readAllStandardError())};
}

bool fixture::stops(QProcess& cli, const std::function<bool()>& ready, const QString& text)
{
    QElapsedTimer clock;
    clock.start();
    while (!ready() && clock.elapsed() < 60000 && cli.state() != QProcess::NotRunning)
        QTest::qWait(20);
    if (!ready())
        qWarning("the run never reached the point of the stop within 60 s");
    clock.start();
    const bool said = ended(interrupt(cli), 1, text);
    // A run that ignored the stop would go on for far longer than this, even on a busy machine.
    const qint64 took = clock.elapsed();
    if (took >= 15000)
        qWarning("the run took %lld ms to stop", took);
    return said && took < 15000;
}

finished_run fixture::interrupt(QProcess& cli)
{
    ::kill(static_cast<pid_t>(cli.processId()), SIGINT);
    return finish(cli);
}

finished_run fixture::run_process(const QStringList& arguments, const QProcessEnvironment& environment)
{
    QProcess cli;
    start(cli, arguments, environment, false);
    return finish(cli);
}

QByteArray fixture::text_on(const QString& target)
{
    return image_builder::read_file(target).mid(static_cast<int>(offset), 2048);
}

QString fixture::worker_on(const QString& target)
{
    const QByteArray text = text_on(target);
    const int start = text.indexOf("\"worker\": \"") + 11;
    return start < 11 ? QString() : QString::fromUtf8(text.mid(start, text.indexOf('"', start) - start));
}

bool fixture::holds_image(const QString& target) const
{
    return image_builder::read_file(target).left(image.size()) == image_builder::configured(image, offset, text_on(target));
}

QList<QStringList> fixture::results(const QString& folder)
{
    const QList<QByteArray> lines = image_builder::read_file(folder + "/results.csv").split('\n');
    QList<QStringList> found;
    for (int i = 1; i < lines.size() && lines[0] == results_header; ++i)
        if (!lines[i].isEmpty())
            found << QString::fromUtf8(lines[i]).split(',');
    return found;
}

fake_system::disk_spec fixture::stick(const QString& name, int number, const QString& serial)
{
    fake_system::disk_spec disk;
    disk.name = name;
    disk.dev = QString("8:%1").arg(16 * number);
    disk.port = QString("2-%1").arg(number);
    disk.serial = serial;
    disk.sectors = 8000000;    // 4.096 GB as the kernel says
    disk.node_bytes = 8 << 20; // what the test keeps of it
    return disk;
}

void fixture::serve(http_test_server& server, const QString& version, int piece_size, int interval_ms)
{
    http_response served;
    served.body = image_builder::read_file(archive());
    served.piece_size = piece_size;
    served.piece_interval_ms = interval_ms;
    server.set_release(version);
    server.set_response(release_archive_path(version), served);
}

QProcessEnvironment fixture::served_by(const http_test_server& server, QProcessEnvironment base)
{
    base.insert("KELVRA_RELEASE_API", server.base_url());
    base.insert("KELVRA_IMAGE_SERVER", server.base_url());
    return base;
}

} // namespace cli_test
