// The backlog of lines that worker threads queue for the log pane: one buffer the workers
// append to and one the window's thread appends from, swapped under the lock, so the pane gets a
// batch in one edit and nothing is allocated once both have grown to the bound.
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>

#include "shell/log_backlog.h"

namespace shell {

namespace {

struct Backlog {
    std::mutex mutex;
    std::condition_variable_any changed;  // room made, lines settled, lines dropped
    std::string text;                     // the queued texts, in order; guarded by mutex
    platform::Hwnd window = 0;            // the window they are for
    platform::Hwnd closed = 0;            // the window that went last: lines for it are dropped
    std::uint64_t queued = 0;             // bytes ever queued
    std::uint64_t settled = 0;            // of those, bytes appended or dropped
};

// Lives until the process ends: a worker may still queue while the process exits.
Backlog& TheBacklog() {
    static auto* backlog = new Backlog;
    return *backlog;
}

// With the lock held.
void DropQueued(Backlog& backlog) {
    backlog.settled += backlog.text.size();
    backlog.text.clear();
    backlog.changed.notify_all();
}

// One edit while the batch fits the pane's capacity. Past it, the pane would drop its oldest
// lines once for the whole batch; line by line it drops what it drops for lines appended one by one.
void AppendBatch(platform::Hwnd window, const std::string& batch) {
    const platform::Hwnd pane = platform::GetDlgItem(window, LogPaneId);
    if (pane == 0) return;
    const auto length = static_cast<std::size_t>(platform::SendMessage(pane, platform::WM_GETTEXTLENGTH, 0, 0));
    const auto limit = static_cast<std::size_t>(platform::SendMessage(pane, platform::EM_GETLIMITTEXT, 0, 0));
    if (length + batch.size() <= limit) {
        platform::SendMessage(pane, platform::EM_REPLACESEL, 0, reinterpret_cast<platform::LParam>(batch.c_str()));
        return;
    }
    std::string line;
    for (std::size_t start = 0; start < batch.size();) {
        std::size_t end = batch.find("\r\n", start);
        end = end == std::string::npos ? batch.size() : end + 2;
        line.assign(batch, start, end - start);
        platform::SendMessage(pane, platform::EM_REPLACESEL, 0, reinterpret_cast<platform::LParam>(line.c_str()));
        start = end;
    }
}

}  // namespace

void QueueLog(platform::Hwnd window, const char* text) {
    if (window == 0 || text == nullptr) return;
    if (platform::IsWindowThread(window)) {  // it would wait for itself
        TakePendingLog(window);
        AppendLog(window, text);
        return;
    }
    const std::size_t size = std::strlen(text);
    const std::stop_token stop = platform::ThreadStopToken();
    Backlog& backlog = TheBacklog();
    std::unique_lock lock(backlog.mutex);
    // Lines left for a window that went without closing the backlog would block it for good.
    if (!backlog.text.empty() && backlog.window != window && !platform::IsWindow(backlog.window)) {
        DropQueued(backlog);
    }
    const bool go_on = backlog.changed.wait(lock, stop, [&] {
        return backlog.closed == window || backlog.text.empty() ||
               (backlog.window == window && backlog.text.size() + size <= LogBacklogBytes);
    });
    // Terminated, a thread never waits: a line that does not fit at once is dropped.
    if (!go_on || backlog.closed == window) return;
    const bool first = backlog.text.empty();
    if (backlog.text.capacity() < LogBacklogBytes) backlog.text.reserve(LogBacklogBytes);
    backlog.text.append(text, size);
    backlog.window = window;
    backlog.queued += size;
    if (first && !platform::PostMessage(window, LogPendingMessage, 0, 0)) DropQueued(backlog);  // window gone
}

void WaitForQueuedLog() {
    const std::stop_token stop = platform::ThreadStopToken();
    Backlog& backlog = TheBacklog();
    std::unique_lock lock(backlog.mutex);
    const std::uint64_t target = backlog.queued;
    backlog.changed.wait(lock, stop, [&] { return backlog.settled >= target; });
}

void TakePendingLog(platform::Hwnd window) {
    thread_local std::string batch;  // this window thread's half of the two buffers
    Backlog& backlog = TheBacklog();
    {
        std::lock_guard lock(backlog.mutex);
        if (backlog.text.empty() || backlog.window != window) return;
        batch.clear();
        batch.swap(backlog.text);
    }
    backlog.changed.notify_all();  // room for the workers while the pane takes the batch
    AppendBatch(window, batch);
    {
        std::lock_guard lock(backlog.mutex);
        backlog.settled += batch.size();
    }
    backlog.changed.notify_all();
}

void CloseLogBacklog(platform::Hwnd window) {
    Backlog& backlog = TheBacklog();
    std::lock_guard lock(backlog.mutex);
    backlog.closed = window;
    if (backlog.window == window) DropQueued(backlog);
    backlog.changed.notify_all();
}

std::size_t PendingLogBytes() {
    Backlog& backlog = TheBacklog();
    std::lock_guard lock(backlog.mutex);
    return backlog.text.size();
}

}  // namespace shell
