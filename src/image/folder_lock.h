#pragma once

#include <functional>
#include <memory>
#include <string>

class QLockFile;

// The window and any number of headless runs of one user share one downloads folder. Whoever
// looks up the release, cleans the cache, downloads or inflates holds this lock, so that no run
// sees another's half-made files. A lock left by a process that died is taken over.
class folder_lock {
public:
    explicit folder_lock(const std::string& downloads_folder);
    ~folder_lock();
    folder_lock(const folder_lock&) = delete;
    folder_lock& operator=(const folder_lock&) = delete;

    // Never blocks; true once this object holds the lock.
    bool try_lock();
    const std::string& folder() const { return m_folder; }

private:
    std::string m_folder;
    std::unique_ptr<QLockFile> m_file;
    bool m_locked = false;
};

using shared_folder_lock = std::shared_ptr<folder_lock>;

// Waits for the lock, asking should_stop every 100 ms (null when it said stop); on_wait is
// called once, before the first wait, when another run holds the lock.
shared_folder_lock wait_for_folder_lock(const std::string& downloads_folder, const std::function<bool()>& should_stop,
                                        const std::function<void()>& on_wait = {});
