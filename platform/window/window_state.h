// Implemented in platform/window/close_signals.cpp, platform/window/dialog.cpp,
// platform/window/edit.cpp, platform/window/instance.cpp, platform/window/instance_listener.cpp,
// platform/window/menu.cpp, platform/window/message_queue.cpp, platform/window/posted_text.cpp
// and platform/window/window.cpp.
// Internal state of the window layer, shared by its files (window.cpp, message_queue.cpp,
// posted_text.cpp, edit.cpp, menu.cpp, dialog.cpp, instance.cpp, close_signals.cpp).
//
// How it works: windows live in one table keyed by handle (even numbers, never reused, so that
// "handle | 1" can be passed and stripped). Each window belongs to the queue of the thread that
// created it. A queue holds posted messages, calls sent from other threads (each with its own
// completion), the texts posted for its windows (merged), the quit request and the timers, and
// a wake-up eventfd that GetMessage polls.
// No lock is held while a window procedure runs.
//
// Index: Window Queue SentCall Timer | CurrentQueue LookupWindow CallWindow
// TopLevelWindows NewWindowHandle DropWindowsOf | SendAndWait QueueSentCall HandleOneSent CallOnThread ReleaseSendersOf
// PumpMessagesUntil | DeliverPostedText PostedTextDue DropPostedText |
// EditWindowProc StaticWindowProc DialogWindowProc MenuBarWindowProc | StartInstanceListener
// StopInstanceListener JoinStoppedListeners IsRemoteWindow | DeliverPendingSignals
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/window/window.h"

namespace platform::internal {

// Private messages of the layer, handled before the window procedure sees anything.
inline constexpr std::uint32_t WM_FWU_FOREGROUND = 0x7F01;  // come to the front (another thread asked)

struct Queue;

struct Window {
    // Fixed at creation.
    Hwnd handle = 0;
    std::string class_name;
    WndProc proc = nullptr;
    Hwnd parent = 0;  // child windows (WS_CHILD)
    Hwnd owner = 0;   // owned top-level windows: menu bar, dialogs, boxes
    int child_id = 0;
    std::uint32_t style = 0;
    std::uint32_t ex_style = 0;
    bool internal = false;  // a window the layer made for itself (menu bar, dialog)
    std::shared_ptr<Queue> queue;
    // Cleared under queue->mutex when destruction completes; senders check it there.
    std::atomic<bool> alive{true};
    std::atomic<bool> destroying{false};

    std::mutex mutex;  // guards everything below
    std::string title;
    Rect rect{0, 0, 0, 0};  // in the parent's client coordinates (top-level: the desktop)
    bool visible = false;
    // The edit control: text, caret and selection (byte offsets; start may exceed end).
    std::string text;
    std::size_t sel_start = 0;
    std::size_t sel_end = 0;
    std::size_t limit = EditCapacity;  // bytes of text kept (see EM_SETLIMITTEXT)
    // Dialogs.
    DlgProc dialog_proc = nullptr;
    bool dialog_ended = false;
    std::intptr_t dialog_result = 0;
};

// A call carried to another thread: a window message, or (hwnd 0) a function.
struct SentCall {
    Hwnd hwnd = 0;
    std::uint32_t message = 0;
    WParam wparam = 0;
    LParam lparam = 0;
    std::function<LResult()> call;
    std::shared_ptr<Queue> waiter;  // the sender's own queue, woken on completion; else cv
    std::mutex mutex;
    std::condition_variable done_cv;
    bool done = false;
    bool handled = false;  // false: answered 0 because the window or loop was gone
    LResult result = 0;
};

struct Timer {
    Hwnd hwnd;
    std::uintptr_t id;
    std::chrono::milliseconds period;
    std::chrono::steady_clock::time_point due;
};

struct Queue {
    ~Queue();
    void Wake();
    void Drain();

    std::thread::id thread;
    int wake_fd = -1;  // eventfd
    std::mutex mutex;  // guards everything below
    std::deque<Msg> posted;
    std::deque<std::shared_ptr<SentCall>> sent;
    std::vector<Timer> timers;
    bool quit = false;
    int quit_code = 0;
    bool ended = false;  // the loop fetched its quit message: senders are answered 0
    bool gone = false;   // the thread has ended
    // Texts posted with PostText, for one window and message at a time: the texts in order, when
    // they fall due, and the bytes ever posted and, of those, handed over or dropped.
    Hwnd text_window = 0;
    std::uint32_t text_message = 0;
    std::string text;
    std::chrono::steady_clock::time_point text_due;
    std::uint64_t text_posted = 0;
    std::uint64_t text_settled = 0;
    std::condition_variable_any text_changed;  // room made, texts settled, the window or loop gone
    // The queue's own thread only: the batch being handed over (swapped with `text`), and
    // whether a hand-over runs (texts posted meanwhile wait for the next).
    std::string text_batch;
    bool text_delivering = false;
    // The accelerators the thread's own loop translates with, so that a modal loop (a box)
    // translates them too: a close key pressed over a box still reaches the window.
    Hwnd accel_window = 0;
    Haccel accel_table = 0;
};

// The calling thread's queue; made on first need when `create` (nullptr, errno set, on failure).
std::shared_ptr<Queue> CurrentQueue(bool create);
bool OnThreadOf(const Queue& queue);
// The record of a window still in the table (alive or being destroyed), else nullptr.
std::shared_ptr<Window> LookupWindow(Hwnd window);
// Calls the procedure on the current thread; 0 for a window already gone.
LResult CallWindow(const std::shared_ptr<Window>& window, std::uint32_t message, WParam wparam,
                   LParam lparam);
// Windows in creation order; top-level = no parent and no owner, made by the program.
std::vector<std::shared_ptr<Window>> AllWindows();
std::vector<Hwnd> TopLevelWindows();
// A fresh window handle: even, never reused (remote windows take theirs from here too).
Hwnd NewWindowHandle();
// Removes the windows of a thread that has ended, without messages.
void DropWindowsOf(const std::shared_ptr<Queue>& queue);
// Makes the window layer treat `window` as active and tell the screen (window thread only).
void ActivateWindow(const std::shared_ptr<Window>& window);
void NoteForegroundLocal(const std::shared_ptr<Window>& window);

// Queues `call` on `target` and waits for it, handling calls sent to the caller's own queue
// meanwhile. False (call->result 0) when the target loop has ended or the window is gone.
bool SendAndWait(const std::shared_ptr<Queue>& target, const std::shared_ptr<SentCall>& call);
// Only queues it: completion wakes call->waiter (set by the caller). False when refused.
bool QueueSentCall(const std::shared_ptr<Queue>& target, const std::shared_ptr<SentCall>& call);
bool HandleOneSent(const std::shared_ptr<Queue>& queue);
// Runs `function` on the thread of `target` (the caller's own: at once). False when not run.
bool CallOnThread(const std::shared_ptr<Queue>& target, std::function<LResult()> function,
                  LResult* result);
// Answers 0 to every call queued for `window` (it is being destroyed); drops its timers and
// the texts posted for it.
void ReleaseSendersOf(const std::shared_ptr<Window>& window);
// A modal loop for screens: handles messages of this thread until `done` holds. A quit message
// seen meanwhile is posted again when the loop returns.
void PumpMessagesUntil(const std::function<bool()>& done);
// Posted texts (posted_text.cpp). On the queue's own thread: hands the waiting texts to their
// window. With queue.mutex held: true when they are due, else *timeout_ms lowered to their due
// time; and dropping those of `window` (0: of any window), which also wakes waiting posters.
void DeliverPostedText(const std::shared_ptr<Queue>& queue);
bool PostedTextDue(const Queue& queue, int* timeout_ms);
void DropPostedText(Queue& queue, Hwnd window);
// The queue whose thread draws the screen and reads its input: the thread of the first
// top-level window. nullptr when none.
std::shared_ptr<Queue> ScreenQueue();
void ClaimScreenQueue(const std::shared_ptr<Queue>& queue);

// Built-in classes.
LResult EditWindowProc(Hwnd window, std::uint32_t message, WParam wparam, LParam lparam);
LResult StaticWindowProc(Hwnd window, std::uint32_t message, WParam wparam, LParam lparam);
LResult DialogWindowProc(Hwnd window, std::uint32_t message, WParam wparam, LParam lparam);
LResult MenuBarWindowProc(Hwnd window, std::uint32_t message, WParam wparam, LParam lparam);
// Creates a window the layer needs for itself (no faults, no instance listener).
Hwnd CreateInternalWindow(const char* class_name, const char* title, std::uint32_t style, Hwnd parent,
                          Hwnd owner, int child_id, const Rect& rect);

// One window per user (instance.cpp).
// Listens for other starts of the window's class; false (after one line on stderr) when the
// window cannot listen: another process runs it, or the socket cannot be made.
bool StartInstanceListener(const std::shared_ptr<Window>& window);
void StopInstanceListener(Hwnd window);
void JoinStoppedListeners();
bool IsRemoteWindow(Hwnd window, std::string* socket_path);

// Close signals (close_signals.cpp): the delivery of WM_CLOSE to the top-level windows once
// the signal descriptor (base/signals.h) is readable.
void DeliverPendingSignals();

}  // namespace platform::internal
