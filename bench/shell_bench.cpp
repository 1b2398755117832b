// Figures of the shell spine: cross-thread AppendLog round trips per second (a worker's append
// waits until the window thread has inserted the text), and the time from starting the program
// to the banner's bytes on its stdout.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/screen/screen.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "shell/log.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr char Banner[] = "Korvan Halvik Firmware Utility\r\n<< Firmware Version: V.4.2.0 >>\r\n";

platform::LResult BenchProc(platform::Hwnd window, std::uint32_t message, platform::WParam wparam,
                            platform::LParam lparam) {
    if (message == platform::WM_DESTROY) {
        platform::PostQuitMessage(0);
        return 0;
    }
    return platform::DefWindowProc(window, message, wparam, lparam);
}

// Appends from `threads` workers, `count` each, to a window whose thread runs the loop.
void AppendRoundTrips(int threads, int count) {
    std::promise<platform::Hwnd> created;
    std::thread window_thread([&] {
        platform::RegisterClass("BenchWindow", BenchProc, platform::GetModuleHandle());
        platform::Hwnd window = platform::CreateWindowEx(0, "BenchWindow", "", 0, 0, 0, 80, 24, 0, 0,
                                                         platform::GetModuleHandle(), nullptr);
        platform::CreateWindowEx(0, "edit", "", platform::WS_CHILD | platform::WS_VISIBLE, 0, 0, 80, 24, window, 5,
                                 platform::GetModuleHandle(), nullptr);
        created.set_value(window);
        platform::Msg msg;
        while (platform::GetMessage(&msg)) platform::DispatchMessage(&msg);
        platform::UnregisterClass("BenchWindow", platform::GetModuleHandle());
    });
    platform::Hwnd window = created.get_future().get();
    auto start = Clock::now();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            for (int i = 0; i < count; ++i) shell::AppendLog(window, "line\r\n");
        });
    }
    for (auto& w : workers) w.join();
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    platform::PostMessage(window, platform::WM_CLOSE, 0, 0);
    window_thread.join();
    std::printf("AppendLog round trips, %d worker thread(s): %.0f per second (%d in %.3f s)\n", threads,
                threads * count / seconds, threads * count, seconds);
}

// Milliseconds from fork to the banner on the program's stdout; -1 when it did not come.
double StartupToBanner(const std::string& runtime) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return -1;
    std::string env_entry = "FIRMWARE_UTILITY_RUNTIME_DIR=" + runtime;
    auto start = Clock::now();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        int null_fd = ::open("/dev/null", O_WRONLY);
        ::dup2(null_fd, STDERR_FILENO);
        ::putenv(env_entry.data());
        ::execl(FWU_PROGRAM, FWU_PROGRAM, "--headless", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    std::string text;
    double ms = -1;
    while (text.find(Banner) == std::string::npos) {
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, 10000) != 1) break;
        char buffer[256];
        ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    if (text.find(Banner) != std::string::npos) {
        ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    }
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    ::close(out[0]);
    return ms;
}

}  // namespace

int main() {
    int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    platform::internal::SetHeadlessOutput(null_fd);
    char pattern[] = "/tmp/fwu-bench-XXXXXX";
    if (!::mkdtemp(pattern)) return 1;
    std::string runtime = std::string(pattern) + "/rt";
    ::setenv("FIRMWARE_UTILITY_RUNTIME_DIR", runtime.c_str(), 1);

    AppendRoundTrips(1, 100000);
    AppendRoundTrips(4, 25000);

    std::vector<double> times;
    for (int i = 0; i < 20; ++i) {
        double ms = StartupToBanner(runtime);
        if (ms >= 0) times.push_back(ms);
    }
    if (times.empty()) {
        std::printf("start-up to banner: the banner never came\n");
        return 1;
    }
    std::sort(times.begin(), times.end());
    std::printf("start-up to banner: median %.2f ms, min %.2f ms, max %.2f ms (%zu runs)\n", times[times.size() / 2],
                times.front(), times.back(), times.size());
    ::rmdir(runtime.c_str());
    ::rmdir(pattern);
    return 0;
}
