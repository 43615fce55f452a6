#pragma once

#include <QByteArray>
#include <QString>

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

// While it lives, the folder holds no more than `bytes`: a disk that fills up under a run. Where
// that cannot be made (no root rights, no such file system), active() is false.
class small_folder {
public:
    small_folder(const QString& folder, qint64 bytes);
    ~small_folder();
    small_folder(const small_folder&) = delete;
    small_folder& operator=(const small_folder&) = delete;
    bool active() const { return m_active; }

private:
    QByteArray m_folder;
    bool m_active = false;
};
