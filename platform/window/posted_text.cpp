// Texts posted to a window from other threads (PostText): the poster copies its text into the
// queue of the window's thread and goes on; texts for the same window and message that come
// while one waits are appended to it, and the window's thread hands them over in one call.
//
// The waiting texts live in one buffer of the queue and the window's thread hands over from a
// second one, swapped under the queue's lock, so nothing is allocated once both have grown to
// PostedTextBytes. The message loop hands them over PostedTextDelayMs after the first came, and
// at once before anything else of the queue (a posted message, a sent call, a timer, a
// destruction) is handled: a text posted before a message comes before whatever it does.
#include <cerrno>
#include <cstring>

#include "platform/window/window_state.h"

namespace platform {
namespace internal {
namespace {

using Clock = std::chrono::steady_clock;

// With the queue's lock held.
void Settle(Queue& queue, std::size_t bytes) {
    queue.text_settled += bytes;
    queue.text_changed.notify_all();
}

// A closed queue or window takes no text and keeps no poster waiting.
bool Closed(const Queue& queue, const Window& window) {
    return queue.ended || queue.gone || !window.alive.load();
}

// One call while the batch fits an edit control's capacity. Past it, the control would drop its
// oldest lines once for the whole batch; line by line it drops what it drops for the texts
// posted one by one.
void HandOver(const std::shared_ptr<Window>& window, std::uint32_t message, const std::string& batch) {
    if (message == EM_REPLACESEL) {
        const auto length = static_cast<std::size_t>(CallWindow(window, WM_GETTEXTLENGTH, 0, 0));
        const auto limit = static_cast<std::size_t>(CallWindow(window, EM_GETLIMITTEXT, 0, 0));
        if (limit != 0 && length + batch.size() > limit) {
            std::string line;
            for (std::size_t start = 0; start < batch.size();) {
                std::size_t end = batch.find("\r\n", start);
                end = end == std::string::npos ? batch.size() : end + 2;
                line.assign(batch, start, end - start);
                CallWindow(window, message, 0, reinterpret_cast<LParam>(line.c_str()));
                start = end;
            }
            return;
        }
    }
    CallWindow(window, message, 0, reinterpret_cast<LParam>(batch.c_str()));
}

}  // namespace

void DeliverPostedText(const std::shared_ptr<Queue>& queue) {
    if (!OnThreadOf(*queue) || queue->text_delivering) return;
    Hwnd target;
    std::uint32_t message;
    {
        std::lock_guard lock(queue->mutex);
        if (queue->text.empty()) return;
        target = queue->text_window;
        message = queue->text_message;
        queue->text_batch.clear();
        queue->text_batch.swap(queue->text);
        queue->text_changed.notify_all();  // room for the posters while the window takes the batch
    }
    queue->text_delivering = true;
    if (auto window = LookupWindow(target); window && window->alive.load()) {
        HandOver(window, message, queue->text_batch);
    }
    queue->text_delivering = false;
    std::lock_guard lock(queue->mutex);
    Settle(*queue, queue->text_batch.size());
}

bool PostedTextDue(const Queue& queue, int* timeout_ms) {
    if (queue.text.empty() || queue.text_delivering) return false;
    const auto now = Clock::now();
    if (queue.text_due <= now) return true;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(queue.text_due - now).count();
    if (*timeout_ms < 0 || left < *timeout_ms) *timeout_ms = static_cast<int>(left);
    return false;
}

void DropPostedText(Queue& queue, Hwnd window) {
    if (window == 0 || queue.text_window == window) {
        const std::size_t dropped = queue.text.size();
        queue.text.clear();
        Settle(queue, dropped);
    }
    queue.text_changed.notify_all();  // a poster waiting for this window or loop gives up
}

}  // namespace internal

using namespace internal;

bool PostText(Hwnd handle, std::uint32_t message, const char* text) {
    auto window = LookupWindow(handle);
    if (!window || !window->alive.load() || text == nullptr) {
        SetLastError(EINVAL);
        return false;
    }
    const std::shared_ptr<Queue>& queue = window->queue;
    if (OnThreadOf(*queue)) {  // waiting for room would wait for itself: the texts before it, then it
        DeliverPostedText(queue);
        CallWindow(window, message, 0, reinterpret_cast<LParam>(text));
        return true;
    }
    const std::size_t size = std::strlen(text);
    const std::stop_token stop = ThreadStopToken();
    bool first;
    {
        std::unique_lock lock(queue->mutex);
        const bool room = queue->text_changed.wait(lock, stop, [&] {
            return Closed(*queue, *window) || queue->text.empty() ||
                   (queue->text_window == handle && queue->text_message == message &&
                    queue->text.size() + size <= PostedTextBytes);
        });
        // Terminated, a thread never waits: a text that does not fit at once is dropped.
        if (!room || Closed(*queue, *window)) {
            SetLastError(ESRCH);
            return false;
        }
        first = queue->text.empty();
        if (first) {
            if (queue->text.capacity() < PostedTextBytes) queue->text.reserve(PostedTextBytes);
            queue->text_window = handle;
            queue->text_message = message;
            queue->text_due = Clock::now() + std::chrono::milliseconds(PostedTextDelayMs);
        }
        queue->text.append(text, size);
        queue->text_posted += size;
    }
    if (first) queue->Wake();  // its loop sleeps until the texts fall due
    return true;
}

void WaitForPostedText(Hwnd handle) {
    auto window = LookupWindow(handle);
    if (!window) return;
    const std::shared_ptr<Queue>& queue = window->queue;
    if (OnThreadOf(*queue)) {
        DeliverPostedText(queue);
        return;
    }
    const std::stop_token stop = ThreadStopToken();
    std::unique_lock lock(queue->mutex);
    const std::uint64_t target = queue->text_posted;
    queue->text_changed.wait(lock, stop, [&] { return queue->text_settled >= target; });
}

}  // namespace platform
