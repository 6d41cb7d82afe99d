#include "ComponentThread.h"

#include <cassert>
#include <utility>

#include "ComSupport.h"

namespace updater {
namespace {

// One message a component posted to its own hidden windows while it is
// idle; one at a time, so that a component that keeps posting to itself
// cannot keep the next call waiting.
void DispatchOneComponentMessage() {
    MSG msg;
    if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) return;
    if (msg.message == WM_QUIT) return;  // the thread ends only when its owner says so
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
}

}  // namespace

ComponentThread::ComponentThread(std::function<void()> pumpEvents)
    : pumpEvents_(std::move(pumpEvents)),
      workReady_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      workDone_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
    if (!workReady_.Valid() || !workDone_.Valid()) return;
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

// Sleeps until `done` is set or window events arrive, and processes them
// as the update run's waits do: the spinner turns, windows repaint.
void ComponentThread::WaitKeepingWindowsAlive(HANDLE done) {
    for (;;) {
        const DWORD r = MsgWaitForMultipleObjectsEx(1, &done, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (r == WAIT_OBJECT_0) return;
        if (r != WAIT_OBJECT_0 + 1) {
            // Cannot wait for events: waiting without them still ends.
            WaitForSingleObject(done, INFINITE);
            return;
        }
        pumpEvents_();
    }
}

bool ComponentThread::Run(WorkRef work) {
    if (work_) {
        assert(!"a second component call while one runs");
        return false;
    }
    if (!started_) return false;
    work_ = &work;
    SetEvent(workReady_.Get());
    WaitKeepingWindowsAlive(workDone_.Get());
    work_ = nullptr;
    if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
    return true;
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
        // The work handle comes first: the wait reports it before any
        // waiting message.
        const DWORD r = MsgWaitForMultipleObjectsEx(1, &ready, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (r == WAIT_OBJECT_0 + 1) {
            DispatchOneComponentMessage();
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
