#pragma once

#include <QtGlobal>

// While it lives, writes past `bytes` into any file of this process fail as on a full disk.
// Where the platform has no such limit, active() is false and nothing changes.
class file_size_limit {
public:
    explicit file_size_limit(qint64 bytes);
    ~file_size_limit();
    file_size_limit(const file_size_limit&) = delete;
    file_size_limit& operator=(const file_size_limit&) = delete;
    bool active() const { return m_active; }

private:
    bool m_active = false;
    quint64 m_before = 0;
};
