// The two phases of a flash, one at a time, for bench/run:
//   kelvra_bench inflate ARCHIVE.gz [zlib]   inflate beside the archive (ARCHIVE without .gz), with
//                                            zlib where the build would take ISA-L
//   kelvra_bench write ARCHIVE.gz TARGET     write the image inflated beside ARCHIVE onto a disk-image file
#include "src/config/image_configurator.h"
#include "src/core/logger.h"
#include "src/device/disk_access.h"
#include "src/image/image_burner.h"
#include "src/image/image_manipulator.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: kelvra_bench inflate ARCHIVE.gz [zlib] | write ARCHIVE.gz TARGET\n");
        return 2;
    }
    const std::string mode = argv[1];
    const std::string archive = argv[2];
    logger::init(QFileInfo(QString::fromStdString(archive)).absolutePath().toStdString());

    if (mode == "inflate") {
        QFile::remove(QString::fromStdString(image_manipulator::decompressed_path(archive)));
        const bool zlib = argc == 4 && std::strcmp(argv[3], "zlib") == 0;
        image_manipulator manipulator(zlib ? image_manipulator::engine::zlib : image_manipulator::engine::fastest);
        FILE* image = manipulator.decompress_image(archive);
        if (!image)
            return 1;
        std::fclose(image);
        return 0;
    }
    if (mode == "write" && argc == 4) {
        const qint64 size = QFileInfo(QString::fromStdString(image_manipulator::decompressed_path(archive))).size();
        std::string error;
        auto target = open_file_target(argv[3], static_cast<uint64_t>(size), error);
        if (!target) {
            std::fprintf(stderr, "cannot open %s: %s\n", argv[3], error.c_str());
            return 1;
        }
        settings values;
        values.btc = "1BvBMSEYstWetqTFn5Au4m4GFg7xJaNVN2";
        image_burner burner(archive, target.get(), configuration_text(values));
        bool finished = false;
        QObject::connect(&burner, &image_burner::finished, [&finished] { finished = true; });
        burner.burn_image();
        return finished ? 0 : 1;
    }
    std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
    return 2;
}
