#include "src/image/folder_lock.h"

#include "src/core/log_location.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QThread>

namespace {

// A lock file is written in one go right after it is created: one that still says nothing this
// long afterwards was left by a process that died before writing it, or by someone else entirely.
constexpr qint64 unreadable_lock_grace_ms = 5000;

} // namespace

folder_lock::folder_lock(const std::string& downloads_folder)
    : m_folder(downloads_folder), m_path(downloads_folder + "/.lock")
{
    QDir().mkpath(QString::fromStdString(downloads_folder));
    m_file = std::make_unique<QLockFile>(QString::fromStdString(m_path));
    // A download may take an hour: only a dead owner makes the lock stale, never its age.
    m_file->setStaleLockTime(0);
}

folder_lock::~folder_lock()
{
    if (m_locked)
        m_file->unlock();
}

folder_lock::state folder_lock::try_lock()
{
    if (m_locked)
        return state::locked;
    if (m_file->tryLock(0)) {
        m_locked = true;
        return state::locked;
    }
    const QFileInfo lock(QString::fromStdString(m_path));
    if (m_file->error() == QLockFile::LockFailedError && !lock.isDir()) {
        qint64 pid = 0;
        QString host, application;
        const qint64 age = lock.lastModified().msecsTo(QDateTime::currentDateTime());
        // No run ever leaves a symlink there; one pointing nowhere would be waited for forever.
        const bool dangling = lock.isSymLink() && !lock.exists();
        if (dangling || (!m_file->getLockInfo(&pid, &host, &application) && lock.exists() && age > unreadable_lock_grace_ms)) {
            KLOG(logger::info, "Taking over the unreadable lock " << m_path);
            const bool removed = dangling ? QFile::remove(QString::fromStdString(m_path)) : m_file->removeStaleLockFile();
            if (removed && m_file->tryLock(0)) {
                m_locked = true;
                return state::locked;
            }
        }
        return state::held;
    }
    m_failure = lock.isDir() ? "cannot lock " + m_path + ": it is a folder; remove it"
        : m_file->error() == QLockFile::PermissionError
        ? "cannot create " + m_path + ": permission denied (is " + m_folder + " writable?)"
        : "cannot create " + m_path;
    return state::failed;
}

std::string folder_lock::holder() const
{
    qint64 pid = 0;
    QString host, application;
    if (!m_file->getLockInfo(&pid, &host, &application))
        return std::string();
    return (application.isEmpty() ? QString("a run") : application).toStdString() + ", pid " + std::to_string(pid)
        + (host.isEmpty() ? std::string() : ", on " + host.toStdString());
}

shared_folder_lock wait_for_folder_lock(const std::string& downloads_folder, const std::function<bool()>& should_stop,
                                        const std::function<void(const std::string& holder)>& on_wait,
                                        std::string* failure)
{
    auto lock = std::make_shared<folder_lock>(downloads_folder);
    bool told = false;
    for (;;) {
        const folder_lock::state state = lock->try_lock();
        if (state == folder_lock::state::locked)
            return lock;
        if (state == folder_lock::state::failed) {
            KLOG(logger::fatal, lock->failure());
            if (failure)
                *failure = lock->failure();
            return nullptr;
        }
        if (!told) {
            told = true;
            KLOG(logger::info, "Waiting for another run using " << downloads_folder << " (" << lock->holder() << ")");
            if (on_wait)
                on_wait(lock->holder());
        }
        if (should_stop && should_stop())
            return nullptr;
        QThread::msleep(100);
    }
}
