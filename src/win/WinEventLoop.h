// The Win32 message loop as the core's IEventLoop, with its timers. One message-only
// window receives everything: posted work, WM_TIMER, the Winsock notifications
// (WSAAsyncSelect, WSAAsyncGetHostByName) under message numbers handed out here, and the
// COM calls of an apartment-threaded server arrive through the same GetMessage loop.
// Kernel handles (an overlapped serial wait, the stop event) are watched by the loop too,
// so every event runs on the main thread and never inside a call that caused it.
#pragma once

#include "app/Platform.h"

#include <windows.h>

#include <deque>
#include <functional>
#include <map>
#include <vector>

namespace dravon {

class TWinEventLoop : public IEventLoop {
public:
    TWinEventLoop();
    ~TWinEventLoop() override;
    TWinEventLoop(const TWinEventLoop&) = delete;
    TWinEventLoop& operator=(const TWinEventLoop&) = delete;

    void Post(std::function<void()> work) override;
    void ProcessPendingEvents() override;

    // Dispatches messages and watched handles until Quit; returns its code.
    int Run();
    void Quit(int code = 0);
    bool QuitRequested() const { return Quitting_; }

    HWND Window() const { return Window_; }

    // Runs when an event handler throws (the application exception hook); the loop goes on.
    // Without it the exception ends the program.
    std::function<void()> ExceptionHook;

    // A fresh message number whose messages reach handler (wParam, lParam). Numbers are not
    // reused soon after release, so a message still queued for a closed socket finds nobody.
    using TMessageHandler = std::function<void(WPARAM, LPARAM)>;
    UINT AddMessage(TMessageHandler handler);
    void RemoveMessage(UINT message);

    // A kernel object whose signalled state runs handler on the loop (until removed).
    void AddHandle(HANDLE handle, std::function<void()> handler);
    void RemoveHandle(HANDLE handle);

    // SetTimer on the loop's window; returns the timer's id (0 when it failed).
    UINT_PTR StartTimer(UINT intervalMs, std::function<void()> handler);
    void StopTimer(UINT_PTR id);

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
    // Runs the handlers of the handles signalled now; true when one ran.
    bool RunSignalledHandles(DWORD timeoutMs);
    void Dispatch(const MSG& message);
    // Runs one handler; an exception goes to the hook, never through the system's frames.
    void Guarded(const std::function<void()>& handler);

    HWND Window_ = nullptr;
    std::deque<std::function<void()>> Posted_;
    std::map<UINT, TMessageHandler> Messages_;
    UINT NextMessage_;
    std::vector<std::pair<HANDLE, std::function<void()>>> Handles_;
    std::map<UINT_PTR, std::function<void()>> Timers_;
    UINT_PTR NextTimer_ = 1;
    bool Quitting_ = false;
    int ExitCode_ = 0;
};

// A repeating timer of the loop.
class TWinTimer : public ITimer {
public:
    explicit TWinTimer(TWinEventLoop& loop) : Loop_(loop) {}
    ~TWinTimer() override { SetEnabled(false); }
    void SetInterval(std::uint32_t ms) override;
    std::uint32_t Interval() const override { return Interval_; }
    void SetEnabled(bool enabled) override;
    bool Enabled() const override { return Id_ != 0; }

private:
    TWinEventLoop& Loop_;
    std::uint32_t Interval_ = 1000;
    UINT_PTR Id_ = 0;
};

class TWinTimerFactory : public ITimerFactory {
public:
    explicit TWinTimerFactory(TWinEventLoop& loop) : Loop_(loop) {}
    std::unique_ptr<ITimer> CreateTimer() override { return std::make_unique<TWinTimer>(Loop_); }

private:
    TWinEventLoop& Loop_;
};

} // namespace dravon
