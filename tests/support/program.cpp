// Child processes of the program under test, and temporary directories.
#include "tests/support/program.h"

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

extern char** environ;

namespace fwu_test {
namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> out;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& x : extra) replaced = replaced || x.substr(0, x.find('=')) == name;
        if (!replaced) out.push_back(entry);
    }
    out.insert(out.end(), extra.begin(), extra.end());
    return out;
}

}  // namespace

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/fwu-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data())) path_ = buffer.data();
}

TempDir::~TempDir() {
    if (!path_.empty()) ::nftw(path_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

RunningProgram::RunningProgram(const std::vector<std::string>& args, const std::vector<std::string>& env)
    : RunningProgram(Command{[&] {
                         std::vector<std::string> argv{FWU_PROGRAM};
                         argv.insert(argv.end(), args.begin(), args.end());
                         return argv;
                     }()},
                     env) {}

RunningProgram::RunningProgram(const Command& command, const std::vector<std::string>& env) {
    // Everything the child needs is built before fork: between fork and exec only
    // async-signal-safe calls are allowed.
    std::vector<std::string> argv_strings = command.argv;
    if (argv_strings.empty()) return;
    std::vector<char*> argv;
    for (auto& s : argv_strings) argv.push_back(s.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_strings = ChildEnvironment(env);
    std::vector<char*> envp;
    for (auto& s : env_strings) envp.push_back(s.data());
    envp.push_back(nullptr);

    int out_pipe[2], err_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) != 0) return;
    if (::pipe2(err_pipe, O_CLOEXEC) != 0) {
        ::close(out_pipe[0]);
        ::close(out_pipe[1]);
        return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(out_pipe[1], STDOUT_FILENO);
        ::dup2(err_pipe[1], STDERR_FILENO);
        int null_fd = ::open("/dev/null", O_RDONLY);
        if (null_fd >= 0) ::dup2(null_fd, STDIN_FILENO);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    out_fd_ = out_pipe[0];
    err_fd_ = err_pipe[0];
    if (pid_ < 0) {
        ::close(out_fd_);
        ::close(err_fd_);
        out_fd_ = err_fd_ = -1;
    }
}

RunningProgram::~RunningProgram() {
    if (pid_ > 0 && status_ == -1) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0) ::close(out_fd_);
    if (err_fd_ >= 0) ::close(err_fd_);
}

// Reads what is there within timeout_ms; false when both pipes are at their end.
bool RunningProgram::Pump(int timeout_ms) {
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    if (out_fd_ < 0 && err_fd_ < 0) return false;
    if (::poll(fds, 2, timeout_ms) <= 0) return true;
    int* fd_of[2] = {&out_fd_, &err_fd_};
    std::string* text_of[2] = {&out_, &err_};
    for (int i = 0; i < 2; ++i) {
        if (!fds[i].revents) continue;
        char buffer[4096];
        ssize_t n = ::read(*fd_of[i], buffer, sizeof buffer);
        if (n > 0) {
            text_of[i]->append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            ::close(*fd_of[i]);
            *fd_of[i] = -1;
        }
    }
    return true;
}

bool RunningProgram::WaitForOutput(const std::string& text, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (out_.find(text) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0 || !Pump(static_cast<int>(left))) return out_.find(text) != std::string::npos;
    }
    return true;
}

void RunningProgram::Signal(int signal_number) {
    if (pid_ > 0 && status_ == -1) ::kill(pid_, signal_number);
}

ProgramResult RunningProgram::Wait(int timeout_ms) {
    ProgramResult result;
    if (pid_ <= 0) return result;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    // Output first: the pipes reach their end when the child (and anything it left) exits.
    while (out_fd_ >= 0 || err_fd_ >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) break;
        Pump(static_cast<int>(left));
    }
    int status = 0;
    pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == 0 && (out_fd_ >= 0 || err_fd_ >= 0)) {  // still running at the deadline
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        status_ = -2;
        result.status = -1;
    } else {
        if (done == 0) ::waitpid(pid_, &status, 0);
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        result.status = status_;
    }
    result.out = out_;
    result.err = err_;
    return result;
}

ProgramResult RunProgram(const std::vector<std::string>& args, const std::vector<std::string>& env,
                         int timeout_ms) {
    RunningProgram program(args, env);
    return program.Wait(timeout_ms);
}

ProgramResult RunCommand(const std::vector<std::string>& command, const std::vector<std::string>& env,
                         int timeout_ms) {
    RunningProgram program(RunningProgram::Command{command}, env);
    return program.Wait(timeout_ms);
}

}  // namespace fwu_test
