// The port bridge against socat over the same pseudo-terminals.
//
// Two pty pairs stand for the GSM-side UART (COM2:) and the IrDA peer (COM3:); the benchmark
// holds their masters as the far ends. Between the slaves runs, in turn: the bridge of this
// program (in this process, with its window thread and the headless screen writing to
// /dev/null), with DisplayMode 0 and with DisplayMode 3, and then
//   socat -b1024 SLAVE_A,raw,echo=0 SLAVE_B,raw,echo=0
// Each gets the same three measurements:
//   throughput   MEGABYTES of random bytes each way at once, checked on arrival (MB/s);
//   latency      TRIPS round trips of one byte (far end A -> B, echoed back), median and p99;
//   idle CPU     CPU time used over IDLE seconds with nothing to relay (this process for the
//                bridge, socat's process for socat).
// and the ratios bridge/socat are printed at the end.
//
// Build and run (socat from Debian: apt-get install -y socat):
//   cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release && cmake --build build-bench -j2 --target bridge_bench
//   build-bench/bench/bridge_bench [--megabytes 64] [--trips 1000] [--idle-seconds 10]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_pty.h"
#include "bridge/bridge.h"
#include "platform/screen/screen.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "shell/log.h"
#include "shell/options.h"

extern char** environ;

namespace {

using bench::ChildCpuMs;
using bench::Drain;
using bench::MakePty;
using bench::Pty;
using bench::ReadAll;
using bench::WriteAll;
using Clock = std::chrono::steady_clock;

struct Figures {
    double out_mbps = 0, in_mbps = 0, both_mbps = 0;
    double median_us = 0, p99_us = 0;
    double idle_cpu_ms = 0;
    bool intact = false;
};

// Both directions at once; MB/s of each and of both together.
void Throughput(const Pty& a, const Pty& b, std::size_t size, Figures* figures) {
    std::vector<std::uint8_t> out(size), in(size), out_got(size), in_got(size);
    std::mt19937 generator(1);
    for (auto& byte : out) byte = static_cast<std::uint8_t>(generator());
    for (auto& byte : in) byte = static_cast<std::uint8_t>(generator());
    bool ok[4] = {false, false, false, false};
    double out_seconds = 0, in_seconds = 0;
    const auto start = Clock::now();
    std::thread threads[4] = {
        std::thread([&] { ok[0] = WriteAll(a.master, out.data(), size); }),
        std::thread([&] { ok[1] = WriteAll(b.master, in.data(), size); }),
        std::thread([&] {
            ok[2] = ReadAll(b.master, out_got.data(), size);
            out_seconds = std::chrono::duration<double>(Clock::now() - start).count();
        }),
        std::thread([&] {
            ok[3] = ReadAll(a.master, in_got.data(), size);
            in_seconds = std::chrono::duration<double>(Clock::now() - start).count();
        }),
    };
    for (auto& t : threads) t.join();
    const double mb = static_cast<double>(size) / 1e6;
    figures->out_mbps = mb / out_seconds;
    figures->in_mbps = mb / in_seconds;
    figures->both_mbps = 2 * mb / std::max(out_seconds, in_seconds);
    figures->intact = ok[0] && ok[1] && ok[2] && ok[3] && out == out_got && in == in_got;
}

// One byte from A's far end to B's, where it is echoed back.
void Latency(const Pty& a, const Pty& b, int trips, Figures* figures) {
    std::atomic<bool> stop{false};
    std::thread echo([&] {
        while (!stop.load()) {
            pollfd pfd{b.master, POLLIN, 0};
            if (::poll(&pfd, 1, 100) <= 0) continue;
            std::uint8_t byte[64];
            ssize_t n = ::read(b.master, byte, sizeof byte);
            if (n > 0) WriteAll(b.master, byte, static_cast<std::size_t>(n));
        }
    });
    std::vector<double> micros;
    for (int i = 0; i < trips; ++i) {
        std::uint8_t byte = static_cast<std::uint8_t>(i), back = 0;
        const auto start = Clock::now();
        if (!WriteAll(a.master, &byte, 1) || !ReadAll(a.master, &back, 1) || back != byte) {
            figures->intact = false;
            break;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    stop = true;
    echo.join();
    if (micros.empty()) return;
    std::sort(micros.begin(), micros.end());
    figures->median_us = micros[micros.size() / 2];
    figures->p99_us = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
}

double ProcessCpuMs() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// ---- the bridge of this program, on a window thread of its own as in the program
platform::LResult BenchProc(platform::Hwnd window, std::uint32_t message, platform::WParam wparam,
                            platform::LParam lparam) {
    if (message == platform::WM_COMMAND) {
        if (platform::LowWord(wparam) == 153) return bridge::StartBridge(window);
        if (platform::LowWord(wparam) == 155) return bridge::ReleaseBridge(window);
        return 0;
    }
    if (message == platform::WM_DESTROY) {
        bridge::ReleaseBridgeSteps();
        platform::PostQuitMessage(0);
        return 0;
    }
    return platform::DefWindowProc(window, message, wparam, lparam);
}

struct BridgeWindow {
    std::thread thread;
    std::mutex mutex;
    std::condition_variable ready;
    platform::Hwnd main = 0;
    bool started = false;

    void Start() {
        thread = std::thread([this] {
            platform::RegisterClass("BridgeBench", BenchProc, 1);
            platform::Hwnd window = platform::CreateWindowEx(0, "BridgeBench", "bench", platform::WS_VISIBLE, 0,
                                                             0, 80, 24, 0, 0, 1, nullptr);
            platform::CreateWindowEx(0, "edit", "", platform::WS_CHILD | platform::WS_VISIBLE, 0, 0, 80, 24,
                                     window, shell::LogPaneId, 1, nullptr);
            {
                std::lock_guard lock(mutex);
                main = window;
                started = true;
            }
            ready.notify_all();
            platform::Msg msg{};
            while (platform::GetMessage(&msg)) platform::DispatchMessage(&msg);
        });
        std::unique_lock lock(mutex);
        ready.wait(lock, [this] { return started; });
    }
    void Stop() {
        platform::PostMessage(main, platform::WM_CLOSE, 0, 0);
        thread.join();
    }
};

Figures MeasureBridge(const Pty& gsm, const Pty& irda, std::int32_t mode, std::size_t size, int trips,
                      int idle_seconds) {
    Figures figures;
    shell::DisplayMode.store(mode);
    BridgeWindow window;
    window.Start();
    if (platform::SendMessage(window.main, platform::WM_COMMAND, 153, 0) != 0) {
        std::fprintf(stderr, "bridge_bench: the bridge did not start\n");
        std::exit(1);
    }
    Throughput(gsm, irda, size, &figures);
    Latency(gsm, irda, trips, &figures);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double cpu = ProcessCpuMs();
    std::this_thread::sleep_for(std::chrono::seconds(idle_seconds));
    figures.idle_cpu_ms = ProcessCpuMs() - cpu;
    window.Stop();
    Drain(gsm.master);
    Drain(irda.master);
    return figures;
}

Figures MeasureSocat(const Pty& gsm, const Pty& irda, std::size_t size, int trips, int idle_seconds) {
    Figures figures;
    const std::string a = gsm.slave_path + ",raw,echo=0", b = irda.slave_path + ",raw,echo=0";
    const char* argv[] = {"socat", "-b1024", a.c_str(), b.c_str(), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "socat", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
        std::fprintf(stderr, "bridge_bench: socat not found (apt-get install -y socat)\n");
        std::exit(1);
    }
    // Ready once a probe byte gets through.
    for (int i = 0;; ++i) {
        std::uint8_t probe = 0x5A, got = 0;
        WriteAll(gsm.master, &probe, 1);
        pollfd pfd{irda.master, POLLIN, 0};
        if (::poll(&pfd, 1, 100) > 0 && ::read(irda.master, &got, 1) == 1) break;
        if (i == 100) {
            std::fprintf(stderr, "bridge_bench: socat relays nothing\n");
            std::exit(1);
        }
    }
    Drain(irda.master);
    Throughput(gsm, irda, size, &figures);
    Latency(gsm, irda, trips, &figures);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double cpu = ChildCpuMs(pid);
    std::this_thread::sleep_for(std::chrono::seconds(idle_seconds));
    figures.idle_cpu_ms = ChildCpuMs(pid) - cpu;
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    Drain(gsm.master);
    Drain(irda.master);
    return figures;
}

void Print(const char* name, const Figures& f) {
    std::printf("%-22s %9.1f %9.1f %9.1f %10.1f %10.1f %12.2f   %s\n", name, f.out_mbps, f.in_mbps, f.both_mbps,
                f.median_us, f.p99_us, f.idle_cpu_ms, f.intact ? "intact" : "BYTES LOST OR CHANGED");
}

void PrintRatios(const char* name, const Figures& f, const Figures& socat) {
    auto ratio = [](double x, double y) { return y > 0 ? x / y : 0.0; };
    std::printf("%-22s %9.2f %9.2f %9.2f %10.2f %10.2f %12s\n", name, ratio(f.out_mbps, socat.out_mbps),
                ratio(f.in_mbps, socat.in_mbps), ratio(f.both_mbps, socat.both_mbps),
                ratio(f.median_us, socat.median_us), ratio(f.p99_us, socat.p99_us),
                (std::to_string(f.idle_cpu_ms).substr(0, 5) + " vs " + std::to_string(socat.idle_cpu_ms).substr(0, 5))
                    .c_str());
}

}  // namespace

int main(int argc, char** argv) {
    long megabytes = 64, trips = 1000, idle_seconds = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        long value = std::strtol(argv[i + 1], nullptr, 10);
        if (std::strcmp(argv[i], "--megabytes") == 0) megabytes = value;
        else if (std::strcmp(argv[i], "--trips") == 0) trips = value;
        else if (std::strcmp(argv[i], "--idle-seconds") == 0) idle_seconds = value;
        else {
            std::fprintf(stderr, "usage: bridge_bench [--megabytes N] [--trips N] [--idle-seconds N]\n");
            return 2;
        }
    }
    const std::size_t size = static_cast<std::size_t>(megabytes) << 20;
    // The bench's windows keep their instance socket away from a running tool's.
    char runtime[] = "/tmp/fwu-bridge-bench-XXXXXX";
    if (::mkdtemp(runtime) == nullptr) return 1;
    ::setenv("FIRMWARE_UTILITY_RUNTIME_DIR", runtime, 1);
    const int quiet = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    platform::internal::SetHeadlessOutput(quiet);  // the log pane's text, as with `> /dev/null`

    Pty gsm = MakePty(), irda = MakePty();
    platform::Profile profile;
    std::string error;
    const std::string text = "[devices]\nCOM2: = " + gsm.slave_path + "\nCOM3: = " + irda.slave_path +
                             "\n[registry]\nHKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial\\Index = 2\n";
    if (!platform::ParseProfile(text, "bridge_bench", &profile, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    platform::SetProfile(profile);
    shell::BridgePeer.store(3);

    std::printf("pseudo-terminals %s (GSM side) and %s (IrDA peer); %ld MB each way, %ld trips, %ld s idle\n",
                gsm.slave_path.c_str(), irda.slave_path.c_str(), megabytes, trips, idle_seconds);
    const Figures quiet_mode = MeasureBridge(gsm, irda, 0, size, static_cast<int>(trips), static_cast<int>(idle_seconds));
    const Figures logged = MeasureBridge(gsm, irda, 3, size, static_cast<int>(trips), static_cast<int>(idle_seconds));
    const Figures socat = MeasureSocat(gsm, irda, size, static_cast<int>(trips), static_cast<int>(idle_seconds));

    std::printf("\n%-22s %9s %9s %9s %10s %10s %12s\n", "", "GSM>peer", "peer>GSM", "both", "rtt p50", "rtt p99",
                "idle CPU");
    std::printf("%-22s %9s %9s %9s %10s %10s %12s\n", "", "MB/s", "MB/s", "MB/s", "us", "us", "ms");
    Print("bridge, DisplayMode 0", quiet_mode);
    Print("bridge, DisplayMode 3", logged);
    Print("socat -b1024", socat);
    std::printf("\nratios bridge/socat (throughput: higher is better; latency: lower is better)\n");
    PrintRatios("DisplayMode 0", quiet_mode, socat);
    PrintRatios("DisplayMode 3", logged, socat);
    ::close(quiet);
    std::error_code ignored;
    std::filesystem::remove_all(runtime, ignored);
    return quiet_mode.intact && logged.intact && socat.intact ? 0 : 1;
}
