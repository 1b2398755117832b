// A private tmux server for terminal tests: tmux runs as a child with its output read through a
// pipe, every call bounded.
#include "tests/support/tmux.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace fwu_test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int PollMs = 25;
constexpr int TmuxCallMs = 10000;

std::atomic<int> sockets{0};

// Runs argv, collecting stdout; false when it fails or takes too long.
bool RunCommand(const std::vector<std::string>& args, std::string* out) {
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (auto& arg : copy) argv.push_back(arg.data());
    argv.push_back(nullptr);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        int null_fd = ::open("/dev/null", O_RDWR);
        if (null_fd >= 0) {
            ::dup2(null_fd, STDIN_FILENO);
            ::dup2(null_fd, STDERR_FILENO);
        }
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    if (pid < 0) {
        ::close(fds[0]);
        return false;
    }
    std::string text;
    auto deadline = Clock::now() + std::chrono::milliseconds(TmuxCallMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd fd{fds[0], POLLIN, 0};
        if (left <= 0 || ::poll(&fd, 1, static_cast<int>(left)) <= 0) break;
        char buffer[4096];
        ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == 0) {
        // Still running after its output ended or the time ran out: give it a moment, then stop it.
        auto until = Clock::now() + std::chrono::milliseconds(TmuxCallMs);
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (Clock::now() > until) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                return false;
            }
            pollfd none{-1, 0, 0};
            ::poll(&none, 0, PollMs);
        }
    }
    if (out) *out = text;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

std::string ShellQuote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

bool WaitUntil(const std::function<bool()>& ready, int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (ready()) return true;
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(PollMs));
    }
}

Tmux::Tmux() : socket_("fwu-test-" + std::to_string(::getpid()) + "-" + std::to_string(sockets.fetch_add(1))) {}

Tmux::~Tmux() {
    if (!started_) return;
    Run({"kill-server"});
    if (!socket_path_.empty()) ::unlink(socket_path_.c_str());  // the server leaves it behind
}

bool Tmux::Run(const std::vector<std::string>& args, std::string* out) {
    std::vector<std::string> full{"tmux", "-L", socket_, "-f", "/dev/null"};
    full.insert(full.end(), args.begin(), args.end());
    return RunCommand(full, out);
}

bool Tmux::Start(const std::string& command, int width, int height) {
    started_ = true;
    if (!Run({"start-server", ";", "set-option", "-g", "default-terminal", "screen", ";", "new-session", "-d", "-s",
              "t", "-x", std::to_string(width), "-y", std::to_string(height), command})) {
        return false;
    }
    socket_path_ = Format("#{socket_path}");
    return true;
}

bool Tmux::SendKeys(const std::vector<std::string>& keys) {
    std::vector<std::string> args{"send-keys", "-t", "t"};
    args.insert(args.end(), keys.begin(), keys.end());
    return Run(args);
}

bool Tmux::SendBytes(const std::string& bytes) {
    std::vector<std::string> args{"send-keys", "-t", "t", "-H"};
    char hex[3];
    for (unsigned char c : bytes) {
        std::snprintf(hex, sizeof hex, "%02x", c);
        args.push_back(hex);
    }
    return Run(args);
}

std::string Tmux::Capture(bool with_attributes) {
    std::string out;
    std::vector<std::string> args{"capture-pane", "-p", "-t", "t"};
    if (with_attributes) args.push_back("-e");
    Run(args, &out);
    return out;
}

std::string Tmux::Format(const std::string& format) {
    std::string out;
    Run({"display-message", "-p", "-t", "t", format}, &out);
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

bool Tmux::Resize(int width, int height) {
    return Run({"resize-window", "-t", "t", "-x", std::to_string(width), "-y", std::to_string(height)});
}

bool Tmux::WaitForScreen(const std::function<bool(const std::string&)>& ready, int timeout_ms, std::string* last) {
    return WaitUntil(
        [&] {
            std::string screen = Capture();
            if (last) *last = screen;
            return ready(screen);
        },
        timeout_ms);
}

bool Tmux::WaitForText(const std::string& text, int timeout_ms, std::string* last) {
    return WaitForScreen([&](const std::string& screen) { return screen.find(text) != std::string::npos; },
                         timeout_ms, last);
}

// ---- TerminalRun

bool TerminalRun::Start(Tmux& tmux, const std::string& program_and_args, const std::vector<std::string>& env,
                        int width, int height) {
    if (dir_.path().empty()) return false;
    runtime_ = dir_.path() + "/run";
    const std::string d = ShellQuote(dir_.path());
    std::string environment = "FIRMWARE_UTILITY_RUNTIME_DIR=" + ShellQuote(runtime_);
    for (const auto& entry : env) environment.append(" ").append(ShellQuote(entry));  // GCC 12 -O2: no false overlap
    // The inner sh's pid becomes the program's (exec); stderr goes to a file, off the screen.
    std::string command = "sh -c " + ShellQuote("echo $$ > " + d + "/pid; exec env " + environment + " " +
                                                program_and_args + " 2> " + d + "/stderr") +
                          "; status=$?; echo EXIT=$status; stty -a > " + d + "/stty; echo $status > " + d +
                          "/exit.tmp; mv " + d + "/exit.tmp " + d + "/exit; exec cat > /dev/null";
    return tmux.Start(command, width, height);
}

std::vector<std::string> TerminalRun::Env() const { return {"FIRMWARE_UTILITY_RUNTIME_DIR=" + runtime_}; }

std::string TerminalRun::ReadFile(const std::string& name) const {
    std::ifstream file(dir_.path() + "/" + name);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

int TerminalRun::WaitForExit(int timeout_ms) {
    std::string text;
    if (!WaitUntil([&] { return !(text = ReadFile("exit")).empty(); }, timeout_ms)) return -1;
    return std::stoi(text);
}

std::string TerminalRun::SttyModes() const { return ReadFile("stty"); }

std::string TerminalRun::Stderr() const { return ReadFile("stderr"); }

int TerminalRun::Pid(int timeout_ms) const {
    std::string text;
    if (!WaitUntil([&] { return !(text = ReadFile("pid")).empty() && text.back() == '\n'; }, timeout_ms)) return -1;
    return std::stoi(text);
}

}  // namespace fwu_test
