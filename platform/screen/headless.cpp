// The headless screen: no drawing and no input. Text inserted into an edit control is written
// to stdout at once, whole and as it is; a message box or dialog is one "[caption] text" line on
// stdout and is answered OK at once.
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>

#include "platform/screen/screen.h"
#include "platform/base/sys.h"
#include "platform/window/window_state.h"

namespace platform::internal {
namespace {

std::atomic<int> output_fd{-1};

class Headless final : public Screen {
public:
    Rect Desktop() const override { return {0, 0, 80, 24}; }
    bool Interactive() const override { return false; }
    bool BoxesOnAnyThread() const override { return true; }

    void EditReplaced(Hwnd edit, std::size_t, std::size_t, std::string_view inserted) override {
        if (inserted.empty() || !IsWindow(edit)) return;
        std::lock_guard lock(mutex_);
        Write(inserted);
    }

    int MessageBox(Hwnd, std::string_view text, std::string_view caption, std::uint32_t) override {
        std::string line;
        line.append("[").append(caption).append("] ").append(text).append("\n");
        std::lock_guard lock(mutex_);
        if (!at_line_start_) Write("\n");
        Write(line);
        return IDOK;
    }

    void DialogShown(Hwnd dialog, const DialogTemplate& dialog_template) override {
        std::string line = "[";
        line.append(dialog_template.caption ? dialog_template.caption : "").append("]");
        for (std::size_t i = 0; i < dialog_template.count; ++i) {
            const DialogControlTemplate& control = dialog_template.controls[i];
            if (control.text && *control.text) line.append(" ").append(control.text);
        }
        line.append("\n");
        {
            std::lock_guard lock(mutex_);
            if (!at_line_start_) Write("\n");
            Write(line);
        }
        // Answered at once: the dialog procedure ends the dialog as its OK button would.
        SendMessage(dialog, WM_COMMAND, MakeWParam(IDOK, 0), 0);
    }

private:
    // Whole, unbuffered; a closed pipe loses the text and nothing else, any other failure is
    // told (NoteWriteFailure).
    void Write(std::string_view text) {
        if (text.empty()) return;
        at_line_start_ = text.back() == '\n';
        int fd = output_fd.load();
        if (fd < 0) fd = STDOUT_FILENO;
        while (!text.empty()) {
            ssize_t n = SysWrite(fd, text.data(), text.size());
            if (n <= 0) {
                const int error = n < 0 ? errno : ENOSPC;
                if (error != EPIPE) NoteWriteFailure(fd == STDERR_FILENO ? "stderr" : "stdout", error);
                return;
            }
            text.remove_prefix(static_cast<std::size_t>(n));
        }
    }

    std::mutex mutex_;
    bool at_line_start_ = true;  // guarded by mutex_
};

}  // namespace

Screen* HeadlessScreen() {
    static Headless* screen = new Headless;  // lives until the process ends
    return screen;
}

void SetHeadlessOutput(int fd) { output_fd.store(fd); }

}  // namespace platform::internal

namespace platform {

void HeadlessTextToStderr() { internal::output_fd.store(STDERR_FILENO); }

}  // namespace platform
