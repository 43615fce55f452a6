#pragma once

#include "src/core/logger.h"

#include <sstream>
#include <string>

// "[src/image/image_manipulator:42] [decompress_image] ": the place in the source that logs,
// with the file relative to the source root and without its extension.
std::string log_location(const char* file, int line, const char* function);

// Usage: KLOG(logger::fatal, "Cannot open device '" << path << "'");
// KLOG_AT names a place given by the caller: shared code run on behalf of a platform file logs
// as that file.
#define KLOG(severity, text)                                                                   \
    do {                                                                                       \
        std::ostringstream kelvra_log_text_;                                                   \
        kelvra_log_text_ << log_location(__FILE__, __LINE__, __func__) << text;                \
        logger::write((severity), kelvra_log_text_.str());                                     \
    } while (0)

#define KLOG_AT(severity, file, line, function, text)                                          \
    do {                                                                                       \
        std::ostringstream kelvra_log_text_;                                                   \
        kelvra_log_text_ << log_location((file), (line), (function)) << text;                  \
        logger::write((severity), kelvra_log_text_.str());                                     \
    } while (0)
