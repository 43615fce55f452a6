#include "cli_fixture.h"

#include "src/cli/cli_options.h"
#include "src/config/results_record.h"

#include <QEventLoop>
#include <QTimer>
#include <QtTest>

namespace cli_test {

QString fixture::archive()
{
    const QString file = path("kelvra-2.7.0.img.gz");
    if (!QFile::exists(file))
        image_builder::write_file(file, image_builder::gzip(image));
    return file;
}

int fixture::run(const QStringList& arguments, captured& io, const device_options& options,
                 flash_session::reader_factory readers)
{
    cli_request request;
    std::string error;
    if (!parse_cli(arguments, request, error))
        qWarning() << QString::fromStdString(error);
    flash_session session(request, path("app").toStdString(), options, io.streams, std::move(readers));
    return session.run();
}

void fixture::start(QProcess& cli, const QStringList& arguments, const QProcessEnvironment& environment)
{
    cli.setProcessChannelMode(QProcess::MergedChannels);
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
    finished_run result;
    if (cli.state() == QProcess::NotRunning && cli.exitStatus() == QProcess::NormalExit)
        result.code = cli.exitCode();
    result.out = QString::fromUtf8(cli.readAllStandardOutput());
    result.err = QString::fromUtf8(cli.readAllStandardError());
    return result;
}

finished_run fixture::run_process(const QStringList& arguments, const QProcessEnvironment& environment)
{
    QProcess cli;
    cli.setProcessEnvironment(environment);
    cli.start(KELVRA_CLI, arguments);
    cli.waitForStarted(60000);
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

QProcessEnvironment fixture::served_by(const http_test_server& server, QProcessEnvironment base)
{
    base.insert("KELVRA_RELEASE_API", server.base_url());
    base.insert("KELVRA_IMAGE_SERVER", server.base_url());
    return base;
}

} // namespace cli_test
