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

// While it lives, `folder` is a file system of its own holding `bytes`: writes into it fail with
// "no space left". Where the process may not mount one, active() is false and nothing changes.
class small_folder {
public:
    small_folder(const QString& folder, qint64 bytes);
    ~small_folder();
    small_folder(const small_folder&) = delete;
    small_folder& operator=(const small_folder&) = delete;
    bool active() const { return !m_mounted.isEmpty(); }

private:
    QByteArray m_mounted;
};
