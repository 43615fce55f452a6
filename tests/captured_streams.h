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

    QString out() { return text(streams.out, out_text, out_size); }
    QString err() { return text(streams.err, err_text, err_size); }
    QString all() { return out() + err(); }

private:
    static QString text(FILE* stream, char* const& memory, const size_t& size)
    {
        std::fflush(stream); // updates memory and size
        return QString::fromUtf8(memory, static_cast<int>(size));
    }
};
