#include "src/image/folder_lock.h"

#include "src/core/log_location.h"

#include <QDir>
#include <QLockFile>
#include <QThread>

folder_lock::folder_lock(const std::string& downloads_folder) : m_folder(downloads_folder)
{
    const QString folder = QString::fromStdString(downloads_folder);
    QDir().mkpath(folder);
    m_file = std::make_unique<QLockFile>(folder + "/.lock");
    // A download may take an hour: only a dead owner makes the lock stale, never its age.
    m_file->setStaleLockTime(0);
}

folder_lock::~folder_lock()
{
    if (m_locked)
        m_file->unlock();
}

bool folder_lock::try_lock()
{
    if (!m_locked)
        m_locked = m_file->tryLock(0);
    return m_locked;
}

shared_folder_lock wait_for_folder_lock(const std::string& downloads_folder, const std::function<bool()>& should_stop,
                                        const std::function<void()>& on_wait)
{
    auto lock = std::make_shared<folder_lock>(downloads_folder);
    bool told = false;
    while (!lock->try_lock()) {
        if (!told) {
            told = true;
            KLOG(logger::info, "Waiting for another run using " << downloads_folder);
            if (on_wait)
                on_wait();
        }
        if (should_stop && should_stop())
            return nullptr;
        QThread::msleep(100);
    }
    return lock;
}
