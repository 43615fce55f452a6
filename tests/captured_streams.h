// What an in-process headless run prints, kept in memory for the test to read.
#pragma once

#include "src/cli/flash_session.h"

#include <QString>

#include <cstdio>
#include <cstdlib>

struct captured {
    char* out_text = nullptr;
    size_t out_size = 0;
    char* err_text = nullptr;
    size_t err_size = 0;
    flash_session::io streams;

    captured()
    {
        streams.out = open_memstream(&out_text, &out_size);
        streams.err = open_memstream(&err_text, &err_size);
    }
    ~captured()
    {
        std::fclose(streams.out);
        std::fclose(streams.err);
        std::free(out_text);
        std::free(err_text);
    }
    captured(const captured&) = delete;
    captured& operator=(const captured&) = delete;

    QString out()
    {
        std::fflush(streams.out);
        return QString::fromUtf8(out_text, static_cast<int>(out_size));
    }
    QString err()
    {
        std::fflush(streams.err);
        return QString::fromUtf8(err_text, static_cast<int>(err_size));
    }
    QString all() { return out() + err(); }
};
