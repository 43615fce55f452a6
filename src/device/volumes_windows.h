#pragma once

#include <windows.h>

#include <functional>
#include <string>

// Walks "\\?\X:" for every drive letter of a removable drive, in the order Windows lists them; each
// root's type is asked only when the walk gets to it, after the previous one was dealt with.
class removable_volume_walk {
public:
    removable_volume_walk();
    // The next removable volume's path; false at the end.
    bool next(std::string& path);

private:
    char m_roots[MAX_PATH] = {};
    const char* m_root = nullptr;
};

// Opens a volume or disk for reading and writing, shared, as every query here does.
HANDLE open_shared(const std::string& path);

// The device number the storage stack reports for an open disk or volume.
bool query_device_number(HANDLE handle, DWORD& number);

// Locks an open volume for the caller alone. Windows refuses the lock while any other handle is open
// on the volume, and Explorer, indexers and virus scanners open a volume the moment it appears: a
// refused lock is tried again for as long as keep_trying() agrees. The thread's last error is that
// of the last attempt.
bool lock_volume(HANDLE volume, const std::function<bool()>& keep_trying);

// Closes a handle when it goes out of scope, unless it was released to a longer-lived owner.
class scoped_handle {
public:
    explicit scoped_handle(HANDLE handle) : m_handle(handle) {}
    ~scoped_handle();
    scoped_handle(const scoped_handle&) = delete;
    scoped_handle& operator=(const scoped_handle&) = delete;

    HANDLE get() const { return m_handle; }
    bool valid() const { return m_handle != INVALID_HANDLE_VALUE && m_handle != nullptr; }
    HANDLE release();

private:
    HANDLE m_handle;
};
