// The headless screen: no drawing and no input. Text inserted into an edit control is written
// to stdout at once, whole and as it is; a message box or dialog is one "[caption] text" line on
// stdout and is answered OK at once.
//
// A live line kept on the same terminal by another part of the program (ShareHeadlessTerminal)
// is taken off before any text is written there; a row of progress marks ('#') is left to it.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>

#include "platform/screen/screen.h"
#include "platform/base/sys.h"
#include "platform/testing.h"
#include "platform/window/window_state.h"

namespace platform::internal {
namespace {

std::atomic<int> output_fd{-1};
std::atomic<LiveLineYield> live_line_yield{nullptr};

constexpr char ProgressMark = '#';

int OutputDescriptor() {
    int fd = output_fd.load();
    return fd < 0 ? STDOUT_FILENO : fd;
}

bool OnlyMarks(std::string_view text) { return text.find_first_not_of(ProgressMark) == std::string_view::npos; }

std::size_t LeadingBreak(std::string_view text) {
    if (text.starts_with("\r\n")) return 2;
    return text.starts_with("\n") ? 1 : 0;
}

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
        if (LiveLineYield yield = live_line_yield.load()) {
            // Marks, and the break that ends their row, would be overwritten by the live line.
            if (OnlyMarks(text)) {
                marks_row_ = true;
                return;
            }
            if (marks_row_) text.remove_prefix(LeadingBreak(text));
            marks_row_ = false;
            if (text.empty()) return;
            yield();
        }
        at_line_start_ = text.back() == '\n';
        const int fd = OutputDescriptor();
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
    bool marks_row_ = false;     // marks were left to the live line since the last text; mutex_
};

}  // namespace

Screen* HeadlessScreen() {
    static Headless* screen = new Headless;  // lives until the process ends
    return screen;
}

#ifdef FWU_TEST_SEAM
void SetHeadlessOutput(int fd) { output_fd.store(fd); }
#endif

}  // namespace platform::internal

namespace platform {

void HeadlessTextToStderr() { internal::output_fd.store(STDERR_FILENO); }

bool ShareHeadlessTerminal(LiveLineYield yield) {
    const int fd = internal::OutputDescriptor();
    struct stat out {}, err {};
    const bool shared = ::isatty(fd) == 1 && ::isatty(STDERR_FILENO) == 1 && ::fstat(fd, &out) == 0 &&
                        ::fstat(STDERR_FILENO, &err) == 0 && out.st_rdev == err.st_rdev;
    internal::live_line_yield.store(shared ? yield : nullptr);
    return shared;
}

}  // namespace platform
