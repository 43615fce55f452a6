// One burner run on the calling thread, and everything it reported.
#pragma once

#include "src/image/image_burner.h"

#include <QStringList>

#include <functional>
#include <string>

struct burn_run {
    int finished = 0, canceled = 0, gone = 0, full = 0;
    QStringList errors;
    QStringList progress;         // "done/total" of every write report
    int inflate_reports = 0;
};

// set_up sees the burner before the run (observers, feeds, stops).
inline burn_run burn(const std::string& archive, device* target, const QByteArray& configuration,
                     const std::function<void(image_burner&)>& set_up = {})
{
    image_burner burner(archive, target, configuration);
    burn_run run;
    QObject::connect(&burner, &image_burner::finished, [&] { ++run.finished; });
    QObject::connect(&burner, &image_burner::canceled, [&] { ++run.canceled; });
    QObject::connect(&burner, &image_burner::device_disconected, [&] { ++run.gone; });
    QObject::connect(&burner, &image_burner::target_full, [&] { ++run.full; });
    QObject::connect(&burner, &image_burner::error_msg, [&](const QString& error, bool) { run.errors << error; });
    QObject::connect(&burner, &image_burner::report_progress,
                     [&](qint64 done, qint64 total) { run.progress << QString("%1/%2").arg(done).arg(total); });
    QObject::connect(&burner, &image_burner::report_progress_inflate, [&] { ++run.inflate_reports; });
    if (set_up)
        set_up(burner);
    burner.burn_image();
    return run;
}
