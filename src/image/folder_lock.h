#pragma once

#include <functional>
#include <memory>
#include <string>

class QLockFile;

// The window and any number of headless runs of one user share one downloads folder. Whoever
// cleans the cache, downloads or inflates holds this lock, so that no run sees another's
// half-made files. A lock left by a process that died, or one nobody could have written, is
// taken over.
class folder_lock {
public:
    explicit folder_lock(const std::string& downloads_folder);
    ~folder_lock();
    folder_lock(const folder_lock&) = delete;
    folder_lock& operator=(const folder_lock&) = delete;

    enum class state { locked, held, failed };
    // Never blocks. held: another live run has it; failed: it cannot be taken at all (see failure).
    state try_lock();
    bool locked() const { return m_locked; }
    // Who holds it, in words ("kelvra-flash-cli, pid 4242, on rig-7"), as far as the lock tells.
    std::string holder() const;
    // Why it cannot be taken ("cannot create .../downloads/.lock: permission denied").
    const std::string& failure() const { return m_failure; }

private:
    std::string m_folder;
    std::string m_path;
    std::unique_ptr<QLockFile> m_file;
    bool m_locked = false;
    std::string m_failure;
};

using shared_folder_lock = std::shared_ptr<folder_lock>;

// Waits for the lock, asking should_stop every 100 ms. Null when it said stop, or when the lock
// cannot be taken (failure then says why). on_wait is called once, with the holder, before the
// first wait.
shared_folder_lock wait_for_folder_lock(const std::string& downloads_folder, const std::function<bool()>& should_stop,
                                        const std::function<void(const std::string& holder)>& on_wait = {},
                                        std::string* failure = nullptr);
