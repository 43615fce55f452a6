#pragma once

#include "src/device/device_manager.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QThread>

#include <algorithm>

// How each platform's device manager runs its listener objects on threads of their own.

// Sleeps in short slices; false when the calling thread was asked to stop meanwhile.
inline bool pause_unless_stopped(int milliseconds)
{
    const QDeadlineTimer deadline(milliseconds);
    while (!deadline.hasExpired()) {
        if (QThread::currentThread()->isInterruptionRequested())
            return false;
        QThread::msleep(static_cast<unsigned long>(std::clamp<qint64>(deadline.remainingTime(), 1, 50)));
    }
    return !QThread::currentThread()->isInterruptionRequested();
}

// The device-change listener, polling until stop_listener_thread; its dev_changed() reaches the
// owner as devices_changed().
template <class listener>
QThread* start_listener_thread(device_manager* owner, const device_options& options)
{
    auto* thread = new QThread();
    auto* watcher = new listener(options);
    watcher->moveToThread(thread);
    QObject::connect(thread, SIGNAL(started()), watcher, SLOT(start_listening()));
    QObject::connect(thread, SIGNAL(finished()), watcher, SLOT(deleteLater()));
    QObject::connect(watcher, SIGNAL(dev_changed()), owner, SIGNAL(devices_changed()));
    thread->start(QThread::InheritPriority);
    return thread;
}

inline void stop_listener_thread(QThread* thread)
{
    thread->requestInterruption(); // ends start_listening
    thread->quit();                // and the event loop the thread enters after it
    thread->wait();
    delete thread;
}

// The volume check after a wipe; its unmount_finished() reaches the owner, then the thread ends.
// An interruption requested on the returned thread ends the check early (a stopped run).
template <class listener>
QThread* start_volume_check(device_manager* owner, device& disk, const device_options& options)
{
    auto* thread = new QThread();
    auto* checker = new listener(options);
    checker->set_device(&disk);
    checker->moveToThread(thread);
    QObject::connect(thread, SIGNAL(started()), checker, SLOT(find_volumes()));
    QObject::connect(thread, SIGNAL(finished()), thread, SLOT(deleteLater()));
    QObject::connect(thread, SIGNAL(finished()), checker, SLOT(deleteLater()));
    QObject::connect(checker, SIGNAL(unmount_finished()), owner, SIGNAL(unmount_finished()));
    const QString path = QString::fromStdString(disk.path);
    QObject::connect(checker, &listener::unmount_finished, owner, [owner, path] { emit owner->device_prepared(path); });
    // Its job is done once it has reported: let the thread end instead of idling for ever.
    QObject::connect(checker, SIGNAL(unmount_finished()), thread, SLOT(quit()));
    thread->start(QThread::InheritPriority);
    return thread;
}
