#include "ComponentThread.h"

#include <cassert>
#include <utility>

#include "ComSupport.h"
#include "ModGen.h"

namespace updater {
namespace {

bool g_callRunning = false;

class CallScope {
public:
    CallScope() { g_callRunning = true; }
    ~CallScope() { g_callRunning = false; }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;
};

// Sleeps until `done` is set or window events arrive, and processes them
// as the update run's waits do: the spinner turns, windows repaint.
void WaitKeepingWindowsAlive(HANDLE done) {
    const renovo::QuitHeldBack untilDone;
    for (;;) {
        const DWORD r = MsgWaitForMultipleObjectsEx(1, &done, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (r == WAIT_OBJECT_0) return;
        if (r != WAIT_OBJECT_0 + 1) {
            // Cannot wait for events: waiting without them still ends.
            WaitForSingleObject(done, INFINITE);
            return;
        }
        renovo::DoEvents();
    }
}

// What a component posts to its own hidden windows while it is idle.
void DispatchComponentMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) continue;  // the thread ends only when its owner says so
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

}  // namespace

ComponentThread::ComponentThread()
    : workReady_(CreateEventW(nullptr, FALSE, FALSE, nullptr)), workDone_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
    if (!workReady_.Valid() || !workDone_.Valid()) return;
#if RENOVO_TEST_NO_COMPONENT_THREAD
    // The test build that stands for a system where the thread cannot start.
    return;
#endif
    thread_ = win::Handle(CreateThread(nullptr, 0, &ComponentThread::Main, this, 0, nullptr));
    if (!thread_.Valid()) return;
    // The thread says whether its apartment is up, or ends.
    HANDLE either[] = {workDone_.Get(), thread_.Get()};
    WaitForMultipleObjects(2, either, FALSE, INFINITE);
    started_ = apartmentUp_;
}

ComponentThread::~ComponentThread() {
    if (!thread_.Valid()) return;
    stopping_ = true;
    SetEvent(workReady_.Get());
    // Leaving the apartment may still send messages to this thread's windows.
    WaitKeepingWindowsAlive(thread_.Get());
}

bool ComponentThread::CallRunning() { return g_callRunning; }

void ComponentThread::Run(const std::function<void()>& work) {
    assert(!g_callRunning && "a second component call while one runs");
    if (!started_) {
        work();
        return;
    }
    CallScope running;
    work_ = &work;
    SetEvent(workReady_.Get());
    WaitKeepingWindowsAlive(workDone_.Get());
    work_ = nullptr;
    if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
}

DWORD WINAPI ComponentThread::Main(void* p) {
    auto* self = static_cast<ComponentThread*>(p);
    com::Apartment apartment;
    self->apartmentUp_ = apartment.Ok();
    SetEvent(self->workDone_.Get());
    if (apartment.Ok()) self->Serve();
    return 0;
}

void ComponentThread::Serve() {
    HANDLE ready = workReady_.Get();
    for (;;) {
        const DWORD r = MsgWaitForMultipleObjectsEx(1, &ready, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (r == WAIT_OBJECT_0 + 1) {
            DispatchComponentMessages();
            continue;
        }
        if (r != WAIT_OBJECT_0) WaitForSingleObject(ready, INFINITE);
        if (stopping_) return;
        DoWork();
        SetEvent(workDone_.Get());
    }
}

void ComponentThread::DoWork() {
    try {
        (*work_)();
    } catch (...) {
        failure_ = std::current_exception();
    }
}

}  // namespace updater
