#pragma once
// The thread on which the device-service component lives. A firmware write
// or a Connect against a service that is down blocks its caller for
// minutes; on this thread of its own that leaves the windows alive, and the
// caller waits while it keeps processing window events.
#include <windows.h>

#include <exception>
#include <functional>

#include "Win32Handles.h"

namespace updater {

class ComponentThread {
public:
    // Starts the thread and waits until its apartment is up. When either
    // fails, Run does the work on the calling thread instead.
    ComponentThread();
    // Every component object must be gone by now: the thread leaves its
    // apartment and ends.
    ~ComponentThread();
    ComponentThread(const ComponentThread&) = delete;
    ComponentThread& operator=(const ComponentThread&) = delete;

    // Does `work` on the component thread and returns when it is done,
    // processing the caller's window events meanwhile. What `work` throws
    // is thrown here. One at a time: callers refuse what could start a
    // second one while CallRunning().
    void Run(const std::function<void()>& work);

    // A Run is waiting for its work (there is one component thread).
    static bool CallRunning();

private:
    static DWORD WINAPI Main(void* self);
    void Serve();
    void DoWork();

    win::Handle workReady_;
    win::Handle workDone_;
    win::Handle thread_;
    bool apartmentUp_ = false;  // set by the thread before its first workDone_
    bool started_ = false;
    // Written by the caller before workReady_ is set, read by the thread
    // after: the events order the accesses.
    const std::function<void()>* work_ = nullptr;
    std::exception_ptr failure_;
    bool stopping_ = false;
};

}  // namespace updater
