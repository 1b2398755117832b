// A private tmux server (its own socket, no configuration) in which a test runs a command in a
// real terminal: keys sent as a user types them, the screen read back as text, the pane's
// terminal state (alternate screen, cursor, mouse, bell) read through tmux formats. Every wait
// polls with a deadline; nothing sleeps a fixed time to decide an outcome.
//
// Index: Tmux (Start SendKeys SendBytes Capture Format Resize WaitForScreen) | ShellQuote WaitUntil
// TerminalRun (Start RuntimeDir Env WaitForExit SttyModes Stderr Pid)
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tests/support/program.h"

namespace fwu_test {

// 'text' for sh, with any quote inside escaped.
std::string ShellQuote(const std::string& text);
// Polls `ready` every few milliseconds until it holds or the time is up.
bool WaitUntil(const std::function<bool()>& ready, int timeout_ms);

class Tmux {
public:
    Tmux();   // a fresh socket name; no server yet
    ~Tmux();  // kills the server, and with it whatever still runs in it; removes its socket

    Tmux(const Tmux&) = delete;
    Tmux& operator=(const Tmux&) = delete;

    // A detached session of width x height running `command` with sh. TERM is "screen".
    bool Start(const std::string& command, int width = 80, int height = 24);
    // tmux key names: "F10", "Enter", "C-q", "S-Left", "M-s", "Escape", or plain text.
    bool SendKeys(const std::vector<std::string>& keys);
    // Bytes as they are (mouse reports, for one).
    bool SendBytes(const std::string& bytes);
    // The visible screen, one line per row, trailing blanks trimmed by tmux.
    std::string Capture(bool with_attributes = false);
    // A tmux format of the pane, e.g. "#{alternate_on}".
    std::string Format(const std::string& format);
    bool Resize(int width, int height);
    // Polls the screen until `ready` holds; the last capture in *last.
    bool WaitForScreen(const std::function<bool(const std::string&)>& ready, int timeout_ms,
                       std::string* last = nullptr);
    bool WaitForText(const std::string& text, int timeout_ms, std::string* last = nullptr);

private:
    bool Run(const std::vector<std::string>& args, std::string* out = nullptr);
    std::string socket_;
    std::string socket_path_;
    bool started_ = false;
};

// The program (or another command line) run in a Tmux session with its own runtime directory;
// its exit status, the terminal modes after it (stty -a) and its process id go to files, and the
// pane stays open after it (reading the terminal, as a shell would) until the server is killed.
class TerminalRun {
public:
    TerminalRun() = default;
    // `program_and_args`: already quoted for sh. Extra environment entries as NAME=VALUE.
    bool Start(Tmux& tmux, const std::string& program_and_args, const std::vector<std::string>& env = {},
               int width = 80, int height = 24);
    const std::string& RuntimeDir() const { return runtime_; }
    std::vector<std::string> Env() const;  // for a second process of the same user
    // -1 when the command has not ended in time.
    int WaitForExit(int timeout_ms);
    // The `stty -a` after the program ended.
    std::string SttyModes() const;
    // What the program wrote on stderr (kept off the screen).
    std::string Stderr() const;
    int Pid(int timeout_ms = 10000) const;

private:
    std::string ReadFile(const std::string& name) const;
    TempDir dir_;
    std::string runtime_;
};

}  // namespace fwu_test
