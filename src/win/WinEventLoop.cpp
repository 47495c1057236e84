#include "win/WinEventLoop.h"

#include <algorithm>
#include <stdexcept>

namespace dravon {

namespace {

constexpr UINT RunPostedMessage = WM_APP;
constexpr UINT FirstFreeMessage = WM_APP + 16;
constexpr UINT LastFreeMessage = 0xBFFF;
constexpr const wchar_t* WindowClassName = L"DravonEventLoop";
// How many messages one ProcessPendingEvents handles at most: work that keeps posting
// itself must not hold a waiting caller for ever.
constexpr int PendingBatchLimit = 10000;

} // namespace

TWinEventLoop::TWinEventLoop() : NextMessage_(FirstFreeMessage) {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &TWinEventLoop::WindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = WindowClassName;
    // A second loop in the same process finds the class registered already.
    if (!RegisterClassExW(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        throw std::runtime_error("cannot register the message window class");
    Window_ = CreateWindowExW(0, WindowClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, this);
    if (!Window_) throw std::runtime_error("cannot create the message window");
}

TWinEventLoop::~TWinEventLoop() {
    for (const auto& [id, handler] : Timers_) KillTimer(Window_, id);
    SetWindowLongPtrW(Window_, GWLP_USERDATA, 0);
    DestroyWindow(Window_);
}

LRESULT CALLBACK TWinEventLoop::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        // Messages of the creation itself come before CreateWindowExW returns.
        static_cast<TWinEventLoop*>(create->lpCreateParams)->Window_ = window;
    }
    auto* loop = reinterpret_cast<TWinEventLoop*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (loop) return loop->Handle(message, wParam, lParam);
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT TWinEventLoop::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == RunPostedMessage) {
        if (Posted_.empty()) return 0;
        std::function<void()> work = std::move(Posted_.front());
        Posted_.pop_front();
        Guarded(work);
        return 0;
    }
    if (message == WM_TIMER) {
        // A copy: the handler may stop or restart its own timer.
        auto found = Timers_.find(wParam);
        if (found == Timers_.end()) return 0;
        std::function<void()> handler = found->second;
        Guarded(handler);
        return 0;
    }
    if (message >= FirstFreeMessage && message <= LastFreeMessage) {
        auto found = Messages_.find(message);
        if (found == Messages_.end()) return 0; // for a component that is gone
        TMessageHandler handler = found->second;
        Guarded([&] { handler(wParam, lParam); });
        return 0;
    }
    return DefWindowProcW(Window_, message, wParam, lParam);
}

void TWinEventLoop::Guarded(const std::function<void()>& handler) {
    if (!ExceptionHook) {
        handler();
        return;
    }
    try {
        handler();
    } catch (...) {
        ExceptionHook();
    }
}

void TWinEventLoop::Post(std::function<void()> work) {
    Posted_.push_back(std::move(work));
    PostMessageW(Window_, RunPostedMessage, 0, 0);
}

void TWinEventLoop::Dispatch(const MSG& message) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
}

bool TWinEventLoop::RunSignalledHandles(DWORD timeoutMs) {
    if (Handles_.empty()) return false;
    std::vector<HANDLE> handles;
    for (const auto& entry : Handles_) handles.push_back(entry.first);
    const DWORD result =
        WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, timeoutMs);
    if (result >= WAIT_OBJECT_0 + handles.size()) return false;
    const HANDLE signalled = handles[result - WAIT_OBJECT_0];
    auto found =
        std::find_if(Handles_.begin(), Handles_.end(), [&](const auto& e) { return e.first == signalled; });
    if (found == Handles_.end()) return false;
    std::function<void()> handler = found->second;
    Guarded(handler);
    return true;
}

void TWinEventLoop::ProcessPendingEvents() {
    MSG message;
    int handled = 0;
    while (handled < PendingBatchLimit && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            Quit(static_cast<int>(message.wParam));
            break;
        }
        Dispatch(message);
        ++handled;
    }
    // Each watched handle at most once: a handler re-arms its wait.
    for (std::size_t i = 0, n = Handles_.size(); i < n && RunSignalledHandles(0); ++i) {
    }
}

int TWinEventLoop::Run() {
    while (!Quitting_) {
        std::vector<HANDLE> handles;
        for (const auto& entry : Handles_) handles.push_back(entry.first);
        const auto count = static_cast<DWORD>(handles.size());
        const DWORD result =
            MsgWaitForMultipleObjectsEx(count, handles.data(), INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (result < WAIT_OBJECT_0 + count) {
            const HANDLE signalled = handles[result - WAIT_OBJECT_0];
            auto found = std::find_if(Handles_.begin(), Handles_.end(),
                                      [&](const auto& e) { return e.first == signalled; });
            if (found != Handles_.end()) {
                std::function<void()> handler = found->second;
                Guarded(handler);
            }
        }
        MSG message;
        while (!Quitting_ && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                Quit(static_cast<int>(message.wParam));
                break;
            }
            Dispatch(message);
        }
    }
    Quitting_ = false;
    return ExitCode_;
}

void TWinEventLoop::Quit(int code) {
    ExitCode_ = code;
    Quitting_ = true;
    // Wakes a Run that waits.
    PostMessageW(Window_, WM_NULL, 0, 0);
}

UINT TWinEventLoop::AddMessage(TMessageHandler handler) {
    for (UINT tried = 0; tried <= LastFreeMessage - FirstFreeMessage; ++tried) {
        const UINT message = NextMessage_;
        NextMessage_ = NextMessage_ == LastFreeMessage ? FirstFreeMessage : NextMessage_ + 1;
        if (Messages_.emplace(message, handler).second) return message;
    }
    throw std::runtime_error("no free window message number");
}

void TWinEventLoop::RemoveMessage(UINT message) { Messages_.erase(message); }

void TWinEventLoop::AddHandle(HANDLE handle, std::function<void()> handler) {
    RemoveHandle(handle);
    if (Handles_.size() + 1 >= MAXIMUM_WAIT_OBJECTS) throw std::runtime_error("too many watched handles");
    Handles_.emplace_back(handle, std::move(handler));
}

void TWinEventLoop::RemoveHandle(HANDLE handle) {
    std::erase_if(Handles_, [handle](const auto& e) { return e.first == handle; });
}

UINT_PTR TWinEventLoop::StartTimer(UINT intervalMs, std::function<void()> handler) {
    const UINT_PTR id = NextTimer_++;
    if (!SetTimer(Window_, id, std::max<UINT>(intervalMs, USER_TIMER_MINIMUM), nullptr)) return 0;
    Timers_[id] = std::move(handler);
    return id;
}

void TWinEventLoop::StopTimer(UINT_PTR id) {
    if (Timers_.erase(id) == 0) return;
    KillTimer(Window_, id);
    // A WM_TIMER already queued finds no handler.
}

void TWinTimer::SetInterval(std::uint32_t ms) {
    Interval_ = ms;
    // A running timer restarts with the new interval, as the core expects.
    if (Id_ != 0) {
        SetEnabled(false);
        SetEnabled(true);
    }
}

void TWinTimer::SetEnabled(bool enabled) {
    if (enabled == (Id_ != 0)) return;
    if (!enabled) {
        Loop_.StopTimer(Id_);
        Id_ = 0;
        return;
    }
    Id_ = Loop_.StartTimer(Interval_, [this] {
        if (OnTimer) OnTimer();
    });
}

} // namespace dravon
