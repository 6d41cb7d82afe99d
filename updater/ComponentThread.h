#pragma once
// The thread on which the device-service component lives. A firmware write
// or a Connect against a service that is down blocks its caller for
// minutes; on this thread of its own that leaves the windows alive, and the
// caller waits while it keeps processing window events.
#include <windows.h>

#include <concepts>
#include <exception>
#include <functional>
#include <memory>
#include <type_traits>

#include "Win32Handles.h"

namespace updater {

// Work for the component thread, borrowed from the caller for one Run: no
// copy, no allocation, and no type information per call site in the
// shipped program (which has a size limit).
class WorkRef {
public:
    template <class F>
        requires(!std::same_as<std::remove_cvref_t<F>, WorkRef>) && std::invocable<F&>
    WorkRef(F&& work)  // from any callable, implicitly, as std::function is made
        : object_(const_cast<void*>(static_cast<const void*>(std::addressof(work)))),
          call_([](void* o) { (*static_cast<std::remove_reference_t<F>*>(o))(); }) {}
    void operator()() const { call_(object_); }

private:
    void* object_;
    void (*call_)(void*);
};

class ComponentThread {
public:
    // Starts the thread and waits until its apartment is up. Made before
    // the calling thread enters an apartment of its own, so that the
    // component thread's is the process's first single-threaded apartment:
    // COM creates a component registered without a threading model (an old
    // single-threaded server) in that one, and it must not be the windows'.
    // `pumpEvents` lets the caller's waiting window events through, once.
    explicit ComponentThread(std::function<void()> pumpEvents);
    // Every component object must be gone by now: the thread leaves its
    // apartment and ends.
    ~ComponentThread();
    ComponentThread(const ComponentThread&) = delete;
    ComponentThread& operator=(const ComponentThread&) = delete;

    bool Started() const { return started_; }

    // Does `work` on the component thread and returns true when it is done,
    // processing the caller's window events meanwhile. What `work` throws
    // is thrown here. False, with nothing done, when the thread has not
    // started or a call is running already: a second call would take the
    // first one's completion signal and report it over a write that still
    // runs.
    bool Run(WorkRef work);

private:
    static DWORD WINAPI Main(void* self);
    void Serve();
    void DoWork();
    void WaitKeepingWindowsAlive(HANDLE done);

    std::function<void()> pumpEvents_;
    win::Handle workReady_;
    win::Handle workDone_;
    win::Handle thread_;
    bool apartmentUp_ = false;  // set by the thread before its first workDone_
    bool started_ = false;
    // Written by the caller before workReady_ is set, read by the thread
    // after: the events order the accesses. Set for as long as a call runs.
    const WorkRef* work_ = nullptr;
    std::exception_ptr failure_;
    bool stopping_ = false;
};

}  // namespace updater
