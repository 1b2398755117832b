// Per-thread message queues: PostMessage, SendMessage across threads, GetMessage sleeping in
// poll, timers, the quit message and the modal pump that screens use. Texts posted with
// PostText (posted_text.cpp) are handed over before anything else is handled, or when due.
//
// A cross-thread SendMessage queues a SentCall on the window's queue and waits for its
// completion. While it waits, a sender that has a queue of its own handles calls sent to it, so
// two window threads sending to each other never deadlock. A window being destroyed, a loop
// that fetched its quit message and a thread that ended answer every queued call with 0.
#include <sys/eventfd.h>

#include <algorithm>
#include <cerrno>

#include "platform/window/screen_seam.h"
#include "platform/base/signals.h"
#include "platform/base/sys.h"
#include "platform/window/window_state.h"

namespace platform {
namespace internal {
namespace {

using Clock = std::chrono::steady_clock;

void Complete(const std::shared_ptr<SentCall>& call, LResult result, bool handled) {
    std::shared_ptr<Queue> waiter;
    {
        std::lock_guard lock(call->mutex);
        call->result = result;
        call->handled = handled;
        call->done = true;
        waiter = call->waiter;
    }
    if (waiter) waiter->Wake();
    call->done_cv.notify_all();
}

bool IsDone(const std::shared_ptr<SentCall>& call) {
    std::lock_guard lock(call->mutex);
    return call->done;
}

// Ends the loop: every queued call is answered 0, the texts posted are dropped, and listeners
// of destroyed windows (which may have been waiting on this thread) are collected.
void EndLoop(const std::shared_ptr<Queue>& queue) {
    std::deque<std::shared_ptr<SentCall>> pending;
    {
        std::lock_guard lock(queue->mutex);
        queue->ended = true;
        pending.swap(queue->sent);
        DropPostedText(*queue, 0);
    }
    for (auto& call : pending) Complete(call, 0, false);
    JoinStoppedListeners();
}

// When the thread ends: the loop is over for good, and its windows go without messages (no
// procedure may run on a thread that is leaving).
void ThreadGone(const std::shared_ptr<Queue>& queue) {
    {
        std::lock_guard lock(queue->mutex);
        queue->gone = true;
    }
    EndLoop(queue);
    DropWindowsOf(queue);
    JoinStoppedListeners();
}

struct QueueHolder {
    std::shared_ptr<Queue> queue;
    ~QueueHolder() {
        if (queue) ThreadGone(queue);
    }
};
thread_local QueueHolder holder;

std::mutex screen_queue_mutex;
std::shared_ptr<Queue>& ScreenQueueSlot() {
    static auto* slot = new std::shared_ptr<Queue>;  // lives until the process ends
    return *slot;
}

// The next due timer of the queue as a WM_TIMER message; otherwise the poll time-out to the
// earliest one (-1: none). Called with queue->mutex held.
bool TakeDueTimer(Queue& queue, Msg* msg, int* timeout_ms) {
    *timeout_ms = -1;
    if (queue.timers.empty()) return false;
    auto now = Clock::now();
    auto earliest = std::min_element(queue.timers.begin(), queue.timers.end(),
                                     [](const Timer& a, const Timer& b) { return a.due < b.due; });
    if (earliest->due <= now) {
        *msg = {earliest->hwnd, WM_TIMER, earliest->id, 0};
        earliest->due = now + earliest->period;  // ticks missed while busy are not made up
        return true;
    }
    auto left = std::chrono::ceil<std::chrono::milliseconds>(earliest->due - now).count();
    *timeout_ms = static_cast<int>(std::min<long long>(left, 24LL * 3600 * 1000));
    return false;
}

// Sleeps until something may have arrived for the queue: its wake-up descriptor, the close
// signals, the screen's input (screen thread only) or the time-out.
void WaitForInput(const std::shared_ptr<Queue>& queue, int timeout_ms) {
    pollfd fds[3];
    nfds_t count = 0;
    fds[count++] = {queue->wake_fd, POLLIN, 0};
    int signal_fd = SignalDescriptor();
    int signal_index = -1;
    if (signal_fd >= 0) {
        signal_index = static_cast<int>(count);
        fds[count++] = {signal_fd, POLLIN, 0};
    }
    int input_index = -1;
    int input_fd = ScreenQueue() == queue ? CurrentScreen().InputDescriptor() : -1;
    if (input_fd >= 0) {
        input_index = static_cast<int>(count);
        fds[count++] = {input_fd, POLLIN, 0};
    }
    if (SysPoll(fds, count, timeout_ms) <= 0) return;
    if (fds[0].revents) queue->Drain();
    if (signal_index >= 0 && fds[signal_index].revents) DeliverPendingSignals();
    if (input_index >= 0 && fds[input_index].revents) CurrentScreen().HandleInput();
}

// A close request goes before the sent calls queued: a close signal that came meanwhile
// becomes WM_CLOSE, and while one is posted the posted messages (in their order) go first.
bool TakeCloseRequest(const std::shared_ptr<Queue>& queue, Msg* msg) {
    bool sent_waiting;
    {
        std::lock_guard lock(queue->mutex);
        sent_waiting = !queue->sent.empty();
    }
    if (!sent_waiting) return false;
    if (int signal_fd = SignalDescriptor(); signal_fd >= 0) {
        pollfd one{signal_fd, POLLIN, 0};
        if (SysPoll(&one, 1, 0) > 0) DeliverPendingSignals();
    }
    std::lock_guard lock(queue->mutex);
    bool close_posted = std::any_of(queue->posted.begin(), queue->posted.end(),
                                    [](const Msg& posted) { return posted.message == WM_CLOSE; });
    if (!close_posted) return false;
    *msg = queue->posted.front();
    queue->posted.pop_front();
    return true;
}

// One step of a message loop: a close request first, then sent calls, then the next posted
// message, the quit request (false) or a due timer. The texts posted before any of them are
// handed over first; with nothing else to do, when they fall due.
bool NextMessage(const std::shared_ptr<Queue>& queue, Msg* msg) {
    for (;;) {
        if (TakeCloseRequest(queue, msg)) {
            DeliverPostedText(queue);
            return true;
        }
        if (HandleOneSent(queue)) continue;
        int timeout_ms = -1;
        bool got = false;
        bool quit = false;
        bool text_due = false;
        {
            std::lock_guard lock(queue->mutex);
            if (!queue->posted.empty()) {
                *msg = queue->posted.front();
                queue->posted.pop_front();
                got = true;
            } else if (queue->quit) {
                queue->quit = false;
                *msg = {0, WM_QUIT, static_cast<WParam>(queue->quit_code), 0};
                quit = true;
            } else {
                got = TakeDueTimer(*queue, msg, &timeout_ms);
                text_due = !got && PostedTextDue(*queue, &timeout_ms);
            }
        }
        if (got || quit || text_due) DeliverPostedText(queue);
        if (got || quit) return got;
        if (!text_due) WaitForInput(queue, timeout_ms);
    }
}

}  // namespace

Queue::~Queue() {
    if (wake_fd >= 0) SysClose(wake_fd);
}

void Queue::Wake() {
    std::uint64_t one = 1;
    (void)SysWrite(wake_fd, &one, sizeof one);
}

void Queue::Drain() {
    std::uint64_t count = 0;
    (void)SysRead(wake_fd, &count, sizeof count);
}

std::shared_ptr<Queue> CurrentQueue(bool create) {
    if (!holder.queue && create) {
        int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (fd < 0) return nullptr;
        auto queue = std::make_shared<Queue>();
        queue->wake_fd = fd;
        queue->thread = std::this_thread::get_id();
        holder.queue = queue;
    }
    return holder.queue;
}

bool OnThreadOf(const Queue& queue) { return queue.thread == std::this_thread::get_id(); }

std::shared_ptr<Queue> ScreenQueue() {
    std::lock_guard lock(screen_queue_mutex);
    auto& slot = ScreenQueueSlot();
    if (slot) {
        std::lock_guard queue_lock(slot->mutex);
        if (slot->gone) slot.reset();
    }
    return slot;
}

void ClaimScreenQueue(const std::shared_ptr<Queue>& queue) {
    std::lock_guard lock(screen_queue_mutex);
    auto& slot = ScreenQueueSlot();
    if (slot) {
        std::lock_guard queue_lock(slot->mutex);
        if (!slot->gone) return;
    }
    slot = queue;
}

bool HandleOneSent(const std::shared_ptr<Queue>& queue) {
    std::shared_ptr<SentCall> call;
    {
        std::lock_guard lock(queue->mutex);
        if (queue->sent.empty()) return false;
        call = queue->sent.front();
        queue->sent.pop_front();
    }
    DeliverPostedText(queue);
    if (call->call) {
        Complete(call, call->call(), true);
    } else {
        auto window = LookupWindow(call->hwnd);
        if (window && window->alive.load()) {
            Complete(call, CallWindow(window, call->message, call->wparam, call->lparam), true);
        } else {
            Complete(call, 0, false);
        }
    }
    return true;
}

bool QueueSentCall(const std::shared_ptr<Queue>& target, const std::shared_ptr<SentCall>& call) {
    std::shared_ptr<Window> window = call->hwnd ? LookupWindow(call->hwnd) : nullptr;
    {
        std::lock_guard lock(target->mutex);
        // The window's liveness is cleared under this lock, so a call is either queued before
        // the window goes (and answered by ReleaseSendersOf) or refused here.
        if (target->ended || target->gone || (call->hwnd && (!window || !window->alive.load()))) {
            return false;
        }
        target->sent.push_back(call);
    }
    target->Wake();
    return true;
}

bool SendAndWait(const std::shared_ptr<Queue>& target, const std::shared_ptr<SentCall>& call) {
    auto own = CurrentQueue(false);
    call->waiter = own;
    if (!QueueSentCall(target, call)) return false;
    if (!own) {
        std::unique_lock lock(call->mutex);
        call->done_cv.wait(lock, [&] { return call->done; });
    } else {
        while (!IsDone(call)) {
            if (HandleOneSent(own)) continue;
            pollfd fd{own->wake_fd, POLLIN, 0};
            if (SysPoll(&fd, 1, -1) > 0) own->Drain();
        }
    }
    std::lock_guard lock(call->mutex);
    return call->handled;
}

bool CallOnThread(const std::shared_ptr<Queue>& target, std::function<LResult()> function,
                  LResult* result) {
    if (OnThreadOf(*target)) {
        *result = function();
        return true;
    }
    auto call = std::make_shared<SentCall>();
    call->call = std::move(function);
    bool handled = SendAndWait(target, call);
    std::lock_guard lock(call->mutex);
    *result = call->result;
    return handled;
}

void ReleaseSendersOf(const std::shared_ptr<Window>& window) {
    std::deque<std::shared_ptr<SentCall>> released;
    {
        std::lock_guard lock(window->queue->mutex);
        window->alive.store(false);
        auto& sent = window->queue->sent;
        for (auto it = sent.begin(); it != sent.end();) {
            if ((*it)->hwnd == window->handle) {
                released.push_back(*it);
                it = sent.erase(it);
            } else {
                ++it;
            }
        }
        auto& timers = window->queue->timers;
        timers.erase(std::remove_if(timers.begin(), timers.end(),
                                    [&](const Timer& t) { return t.hwnd == window->handle; }),
                     timers.end());
        DropPostedText(*window->queue, window->handle);
    }
    for (auto& call : released) Complete(call, 0, false);
}

void PumpMessagesUntil(const std::function<bool()>& done) {
    auto queue = CurrentQueue(true);
    if (!queue) return;
    bool quit_seen = false;
    int quit_code = 0;
    Msg msg{};
    while (!done()) {
        if (!NextMessage(queue, &msg)) {
            quit_seen = true;
            quit_code = static_cast<int>(msg.wparam);
            break;
        }
        Hwnd accel_window;
        Haccel accel_table;
        {
            std::lock_guard lock(queue->mutex);
            accel_window = queue->accel_window;
            accel_table = queue->accel_table;
        }
        if (accel_table != 0 && IsWindow(accel_window) && TranslateAccelerator(accel_window, accel_table, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessage(&msg);
    }
    if (quit_seen) PostQuitMessage(quit_code);
}

}  // namespace internal

using namespace internal;

LResult SendMessage(Hwnd hwnd, std::uint32_t message, WParam wparam, LParam lparam) {
    auto window = LookupWindow(hwnd);
    if (!window || !window->alive.load()) {
        SetLastError(EINVAL);
        return 0;
    }
    if (OnThreadOf(*window->queue)) return CallWindow(window, message, wparam, lparam);
    auto call = std::make_shared<SentCall>();
    call->hwnd = hwnd;
    call->message = message;
    call->wparam = wparam;
    call->lparam = lparam;
    if (!SendAndWait(window->queue, call)) {
        SetLastError(ESRCH);
        return 0;
    }
    std::lock_guard lock(call->mutex);
    return call->result;
}

bool PostMessage(Hwnd hwnd, std::uint32_t message, WParam wparam, LParam lparam) {
    std::shared_ptr<Queue> queue;
    if (hwnd == 0) {
        queue = CurrentQueue(true);  // a message for the calling thread itself
    } else {
        auto window = LookupWindow(hwnd);
        if (window && window->alive.load()) queue = window->queue;
    }
    if (!queue) {
        SetLastError(EINVAL);
        return false;
    }
    {
        std::lock_guard lock(queue->mutex);
        if (queue->gone) {
            SetLastError(ESRCH);
            return false;
        }
        queue->posted.push_back({hwnd, message, wparam, lparam});
    }
    queue->Wake();
    return true;
}

void PostQuitMessage(int exit_code) {
    auto queue = CurrentQueue(true);
    if (!queue) return;
    std::lock_guard lock(queue->mutex);
    queue->quit = true;
    queue->quit_code = exit_code;
}

bool GetMessage(Msg* msg) {
    auto queue = CurrentQueue(true);
    if (!queue) {
        *msg = {0, WM_QUIT, 1, 0};
        return false;
    }
    {
        std::lock_guard lock(queue->mutex);
        queue->ended = false;  // a loop runs (again) on this thread
    }
    if (NextMessage(queue, msg)) return true;
    EndLoop(queue);
    return false;
}

LResult DispatchMessage(const Msg* msg) {
    if (msg == nullptr || msg->hwnd == 0) return 0;
    auto window = LookupWindow(msg->hwnd);
    if (!window || !window->alive.load()) return 0;
    return CallWindow(window, msg->message, msg->wparam, msg->lparam);
}

void TranslateMessage(const Msg* msg) {
    if (msg == nullptr || msg->message != WM_KEYDOWN) return;
    LParam character = msg->lparam & KeyCharMask;
    if (character == 0 || (msg->lparam & (KeyControl | KeyAlt))) return;
    PostMessage(msg->hwnd, WM_CHAR, static_cast<WParam>(character), msg->lparam);
}

std::uintptr_t SetTimer(Hwnd hwnd, std::uintptr_t id, std::uint32_t milliseconds) {
    auto window = LookupWindow(hwnd);
    if (!window || !window->alive.load()) {
        SetLastError(EINVAL);
        return 0;
    }
    auto period = std::chrono::milliseconds(std::max<std::uint32_t>(milliseconds, 1));
    auto& queue = window->queue;
    {
        std::lock_guard lock(queue->mutex);
        auto& timers = queue->timers;
        auto it = std::find_if(timers.begin(), timers.end(),
                               [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
        Timer timer{hwnd, id, period, Clock::now() + period};
        if (it != timers.end()) {
            *it = timer;
        } else {
            timers.push_back(timer);
        }
    }
    queue->Wake();  // its loop may be sleeping with a later deadline
    return id == 0 ? 1 : id;
}

bool KillTimer(Hwnd hwnd, std::uintptr_t id) {
    auto window = LookupWindow(hwnd);
    if (!window) {
        SetLastError(EINVAL);
        return false;
    }
    std::lock_guard lock(window->queue->mutex);
    auto& timers = window->queue->timers;
    auto it = std::find_if(timers.begin(), timers.end(),
                           [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
    if (it == timers.end()) {
        SetLastError(EINVAL);
        return false;
    }
    timers.erase(it);
    return true;
}

}  // namespace platform
