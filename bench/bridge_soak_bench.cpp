// A long logged relay: the program's bridge with every relay line logged (display mode 3, one
// line per read), in the headless window and in the terminal window, against socat over the same
// pseudo-terminals, all three as processes of their own.
//
// Two pty pairs stand for the GSM-side UART (COM2:) and the IrDA peer (COM3:); the benchmark
// holds their masters as the far ends and floods both directions at once for SECONDS, reading
// everything that comes out. For each subject it prints:
//   MB/s         bytes relayed per second, both directions together;
//   CPU-s/MB     the subject's CPU time (all threads) per MB relayed;
//   RSS          resident size before the flood, after it, and its peak over samples taken
//                every tenth of the run (printed too), in MiB.
// The program runs as `firmware-utility --profile P --command 153`, headless with stdout to
// /dev/null, and in the terminal window on a pseudo-terminal of 80x24 (TERM=xterm-256color)
// whose screen output the benchmark reads and drops.
//
// Build and run (socat from Debian: apt-get install -y socat):
//   cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release && cmake --build build-bench -j2 --target bridge_soak_bench
//   build-bench/bench/bridge_soak_bench [--seconds 20] [--program PATH]
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_pty.h"
#include "platform/base/format.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int Samples = 10;
constexpr std::size_t Piece = 64 * 1024;
constexpr int ReadyTries = 100, ReadyPollMs = 100, QuietMs = 500, EndWaitMs = 10000;

enum class Subject { Socat, Headless, Terminal };

struct Soak {
    double mb = 0, mbps = 0, cpu_per_mb = 0;
    double rss_before = 0, rss_after = 0, rss_peak = 0;
    std::vector<double> samples;
    bool ran = false;
};

struct Child {
    pid_t pid = -1;
    int screen = -1;  // the terminal window's pty master
    std::thread screen_reader;
    std::atomic<bool> stop{false};
};

// The terminal window on a pty of its own, as a session leader whose controlling tty it is.
bool StartInTerminal(const std::vector<std::string>& args, const std::vector<std::string>& env, Child* child) {
    std::string name, error;
    if (!sim::OpenPtyMaster(false, &child->screen, &name, &error)) return false;
    winsize size{};
    size.ws_row = 24;
    size.ws_col = 80;
    ::ioctl(child->screen, TIOCSWINSZ, &size);
    std::vector<char*> argv, envp;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    child->pid = ::fork();
    if (child->pid == 0) {
        ::setsid();
        int tty = ::open(name.c_str(), O_RDWR);
        int null = ::open("/dev/null", O_WRONLY);
        if (tty < 0 || ::ioctl(tty, TIOCSCTTY, 0) != 0) ::_exit(127);
        ::dup2(tty, 0);
        ::dup2(tty, 1);
        ::dup2(null, 2);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    child->screen_reader = std::thread([child] {
        char buffer[65536];
        while (!child->stop.load()) {
            pollfd pfd{child->screen, POLLIN, 0};
            if (::poll(&pfd, 1, 100) > 0 && ::read(child->screen, buffer, sizeof buffer) <= 0) break;
        }
    });
    return child->pid > 0;
}

bool StartPlain(const std::vector<std::string>& args, const std::vector<std::string>& env, Child* child) {
    std::vector<char*> argv, envp;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const int failed = posix_spawnp(&child->pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return failed == 0;
}

void Stop(Child* child) {
    if (child->pid > 0) {
        ::kill(child->pid, SIGTERM);
        int waited = 0;
        while (::waitpid(child->pid, nullptr, WNOHANG) == 0) {
            if (waited >= EndWaitMs) {
                ::kill(child->pid, SIGKILL);
                ::waitpid(child->pid, nullptr, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            waited += 10;
        }
    }
    child->stop = true;
    if (child->screen_reader.joinable()) child->screen_reader.join();
    if (child->screen >= 0) ::close(child->screen);
}

// Ready once a probe byte gets through.
bool Relaying(const bench::Pty& gsm, const bench::Pty& irda) {
    for (int i = 0; i < ReadyTries; ++i) {
        std::uint8_t probe = 0x5A, got = 0;
        bench::WriteAll(gsm.master, &probe, 1);
        pollfd pfd{irda.master, POLLIN, 0};
        if (::poll(&pfd, 1, ReadyPollMs) > 0 && ::read(irda.master, &got, 1) == 1) {
            std::this_thread::sleep_for(std::chrono::milliseconds(ReadyPollMs));
            bench::Drain(irda.master);
            bench::Drain(gsm.master);
            return true;
        }
    }
    return false;
}

// Both directions flooded for `seconds`; the far ends read until the relay has gone quiet.
Soak Flood(const bench::Pty& gsm, const bench::Pty& irda, pid_t pid, bool threads_cpu, int seconds) {
    Soak soak;
    std::vector<std::uint8_t> data(Piece);
    std::mt19937 generator(1);
    for (auto& byte : data) byte = static_cast<std::uint8_t>(generator());
    std::atomic<bool> writing{true};
    std::atomic<std::uint64_t> received{0};
    auto cpu = [&] { return threads_cpu ? bench::ProcessTicksCpuMs(pid) : bench::ChildCpuMs(pid); };
    auto writer = [&](int fd) {
        while (writing.load()) {
            if (!bench::WriteAll(fd, data.data(), data.size())) break;
        }
    };
    auto reader = [&](int fd) {
        std::vector<std::uint8_t> buffer(Piece);
        int quiet = 0;
        while (writing.load() || quiet < QuietMs) {
            pollfd pfd{fd, POLLIN, 0};
            if (::poll(&pfd, 1, 50) <= 0) {
                quiet += 50;
                continue;
            }
            ssize_t n = ::read(fd, buffer.data(), buffer.size());
            if (n > 0) {
                received += static_cast<std::uint64_t>(n);
                quiet = 0;
            }
        }
    };
    soak.rss_before = bench::ResidentMiB(pid);
    const double cpu_before = cpu();
    const auto start = Clock::now();
    std::thread threads[4] = {std::thread(writer, gsm.master), std::thread(writer, irda.master),
                              std::thread(reader, irda.master), std::thread(reader, gsm.master)};
    for (int i = 1; i <= Samples; ++i) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(1000L * seconds * i / Samples));
        soak.samples.push_back(bench::ResidentMiB(pid));
    }
    writing = false;
    for (auto& t : threads) t.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count() - QuietMs / 1000.0;
    soak.rss_after = bench::ResidentMiB(pid);
    soak.mb = static_cast<double>(received.load()) / 1e6;
    soak.mbps = soak.mb / elapsed;
    soak.cpu_per_mb = soak.mb > 0 ? (cpu() - cpu_before) / 1000.0 / soak.mb : 0;
    soak.rss_peak = soak.rss_after;
    for (double rss : soak.samples) soak.rss_peak = std::max(soak.rss_peak, rss);
    soak.ran = true;
    return soak;
}

Soak Measure(Subject subject, const bench::Pty& gsm, const bench::Pty& irda, const std::string& program,
             const std::string& profile, const std::string& runtime, int seconds) {
    Child child;
    bool started;
    if (subject == Subject::Socat) {
        started = StartPlain({"socat", "-b1024", gsm.slave_path + ",raw,echo=0", irda.slave_path + ",raw,echo=0"},
                             {"PATH=/usr/bin:/bin"}, &child);
    } else {
        std::vector<std::string> args = {program, "--profile", profile, "--command", "153"};
        std::vector<std::string> env = {"PATH=/usr/bin:/bin", "FIRMWARE_UTILITY_RUNTIME_DIR=" + runtime,
                                        "TERM=xterm-256color", "LANG=C.UTF-8"};
        if (subject == Subject::Headless) args.push_back("--headless");
        started = subject == Subject::Headless ? StartPlain(args, env, &child) : StartInTerminal(args, env, &child);
    }
    Soak soak;
    if (started && Relaying(gsm, irda)) {
        soak = Flood(gsm, irda, child.pid, subject != Subject::Socat, seconds);
    } else {
        platform::SayOnStderrAs("bridge_soak_bench", "subject %d did not relay", static_cast<int>(subject));
    }
    Stop(&child);
    bench::Drain(gsm.master);
    bench::Drain(irda.master);
    return soak;
}

void Print(const char* name, const Soak& soak) {
    if (!soak.ran) {
        std::printf("%-34s did not run\n", name);
        return;
    }
    std::printf("%-34s %8.1f %8.1f %9.4f %8.1f %8.1f %8.1f   RSS samples:", name, soak.mb, soak.mbps,
                soak.cpu_per_mb, soak.rss_before, soak.rss_after, soak.rss_peak);
    for (double rss : soak.samples) std::printf(" %.1f", rss);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    long seconds = 20;
    std::string program = FWU_PROGRAM;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0) {
            seconds = std::strtol(argv[i + 1], nullptr, 10);
        } else if (std::strcmp(argv[i], "--program") == 0) {
            program = argv[i + 1];
        } else {
            platform::SayOnStderrAs("bridge_soak_bench", "usage: bridge_soak_bench [--seconds N] [--program PATH]");
            return 2;
        }
    }
    char dir[] = "/tmp/fwu-soak-bench-XXXXXX";
    if (::mkdtemp(dir) == nullptr) return 1;
    bench::Pty gsm = bench::MakePty(), irda = bench::MakePty();
    const std::string profile = std::string(dir) + "/bench.prof";
    std::ofstream(profile) << "[devices]\nCOM2: = " << gsm.slave_path << "\nCOM3: = " << irda.slave_path
                           << "\n[registry]\nHKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial\\Index = 2\n";

    std::printf("%s; pseudo-terminals %s (GSM side) and %s (IrDA peer); %ld s of flood both ways each\n",
                program.c_str(), gsm.slave_path.c_str(), irda.slave_path.c_str(), seconds);
    const Soak socat = Measure(Subject::Socat, gsm, irda, program, profile, "", static_cast<int>(seconds));
    const Soak headless = Measure(Subject::Headless, gsm, irda, program, profile, std::string(dir) + "/run1",
                                  static_cast<int>(seconds));
    const Soak terminal = Measure(Subject::Terminal, gsm, irda, program, profile, std::string(dir) + "/run2",
                                  static_cast<int>(seconds));

    std::printf("\n%-34s %8s %8s %9s %8s %8s %8s\n", "", "relayed", "both", "CPU", "RSS", "RSS", "RSS");
    std::printf("%-34s %8s %8s %9s %8s %8s %8s\n", "", "MB", "MB/s", "s/MB", "before", "after", "peak");
    Print("socat -b1024", socat);
    Print("bridge, DisplayMode 3, headless", headless);
    Print("bridge, DisplayMode 3, terminal", terminal);
    auto ratio = [](double x, double y) { return y > 0 ? x / y : 0.0; };
    std::printf("\nthroughput bridge/socat: headless %.2f, terminal %.2f; CPU per MB terminal/headless: %.2f\n",
                ratio(headless.mbps, socat.mbps), ratio(terminal.mbps, socat.mbps),
                ratio(terminal.cpu_per_mb, headless.cpu_per_mb));
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return socat.ran && headless.ran && terminal.ran ? 0 : 1;
}
