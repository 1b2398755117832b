// The port bridge, as a process of its own, against socat over the same kind of pseudo-terminals.
//
// Each run takes two fresh pty pairs standing for the GSM-side UART (COM2:) and the IrDA peer
// (COM3:); the benchmark holds their masters as the far ends, and between the slaves runs one
// subject:
//   socat -b1024 SLAVE_A,raw,echo=0 SLAVE_B,raw,echo=0   (the reference; the bridge reads 1024 too)
//   firmware-utility bridge --profile P --command 112|115 >FILE   (headless, display mode 0|3)
//   firmware-utility --profile P --command 153 --command 112|115       (the window, in tmux 80x24)
// Every round runs every subject once, the order turned by one each round, so that a machine
// busy with something else meets all of them alike. Each run gives:
//   throughput  MB/s of MEGABYTES of random bytes GSM->peer, then peer->GSM, then both at once;
//   CPU per MB  CPU time of the subject's process (all its threads) per MB relayed in each of
//               those three phases;
//   round trip  TRIPS trips of 1 byte and of 64 bytes from the GSM far end, echoed back by a
//               responder on the peer's far end: p50 and p99.
// Every byte that arrives is compared with what was sent, and the log shows the display mode in
// force: headless, at least a relay line per 1024 bytes in mode 3 and only the probes' in mode
// 0; in tmux, relay lines on the screen in mode 3. Printed: min/median/max over the
// rounds for each subject, and the ratio bridge/socat of the same round (min/median/max).
// A subject that does not start, loses or changes a byte, logs otherwise than its mode says, or
// (the bridge) does not end with 0 on SIGTERM is named, and the benchmark exits 1. It asserts
// no speed.
//
// Build and run (socat and tmux from Debian):
//   cmake --build build -j2 --target bridge_bench
//   build/bench/bridge_bench [--rounds 5] [--megabytes 16] [--trips 3000] [--quick]
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_pty.h"
#include "platform/base/format.h"
#include "tests/support/program.h"
#include "tests/support/tmux.h"

extern char** environ;

namespace {

using bench::Pty;
using bench::ReadAll;
using bench::WriteAll;
using Clock = std::chrono::steady_clock;

constexpr int DefaultRounds = 5;
constexpr long DefaultMegabytes = 16;
constexpr long DefaultTrips = 3000;
constexpr int QuickRounds = 2;
constexpr long QuickMegabytes = 4;
constexpr long QuickTrips = 500;
constexpr int SmallTrip = 1;
constexpr int LargeTrip = 64;
constexpr int ProbeMs = 100;
constexpr int ReadyTries = 100;  // probes before a subject counts as not relaying
constexpr int EndTimeoutMs = 10000;
constexpr int ResponderPollMs = 20;
constexpr int TerminalWidth = 80;
constexpr int TerminalHeight = 24;
constexpr std::uint16_t DisplayModeZero = 112;
constexpr std::uint16_t DisplayModeThree = 115;
constexpr std::uint16_t StartBridgeCommand = 153;
constexpr std::size_t RelayReadSize = 1024;  // the bridge's (and socat's -b) largest read
constexpr long ProbeLines = 16;              // relay lines mode 0 may show: the probes' before it applies

enum class Kind { Socat, Headless, Terminal };

struct Subject {
    const char* name;
    Kind kind;
    int mode;
};

constexpr Subject Subjects[] = {
    {"socat -b1024", Kind::Socat, 0},
    {"bridge headless, display mode 0", Kind::Headless, 0},
    {"bridge headless, display mode 3", Kind::Headless, 3},
    {"bridge in tmux, display mode 0", Kind::Terminal, 0},
    {"bridge in tmux, display mode 3", Kind::Terminal, 3},
};
constexpr std::size_t SubjectCount = std::size(Subjects);
constexpr std::size_t Reference = 0;

enum Figure {
    OutMbps, InMbps, BothMbps, OutCpu, InCpu, BothCpu, SmallP50, SmallP99, LargeP50, LargeP99, FigureCount
};

constexpr const char* FigureNames[FigureCount] = {
    "GSM>peer MB/s",         "peer>GSM MB/s",         "both at once MB/s",      "CPU GSM>peer ms/MB",
    "CPU peer>GSM ms/MB",    "CPU both ms/MB",        "round trip 1 B p50 us",  "round trip 1 B p99 us",
    "round trip 64 B p50 us", "round trip 64 B p99 us",
};

using Figures = std::array<double, FigureCount>;

struct Settings {
    int rounds = DefaultRounds;
    std::size_t size = static_cast<std::size_t>(DefaultMegabytes) << 20;
    int trips = DefaultTrips;
};

// A subject between the two slaves: its process, and for the window the tmux that draws it.
struct Running {
    pid_t pid = -1;
    std::unique_ptr<fwu_test::Tmux> tmux;
    std::unique_ptr<fwu_test::TerminalRun> terminal;
    std::string stdout_path, stderr_path;
};

// CPU time of every thread of a process, in ms, from the scheduler's nanosecond counts.
double ProcessCpuMs(pid_t pid) {
    std::error_code error;
    unsigned long long total = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream file(task.path() / "schedstat");
        unsigned long long ns = 0;
        if (file >> ns) total += ns;
    }
    return static_cast<double>(total) / 1e6;
}

std::string ReadText(const std::string& path) {
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// stdout and stderr to DIR/stdout and DIR/stderr.
bool Spawn(const std::vector<std::string>& args, const std::string& dir, Running* running) {
    const std::string stdout_path = dir + "/stdout", stderr_path = dir + "/stderr";
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    const int failed = posix_spawnp(&running->pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) running->pid = -1;  // nothing to signal or reap
    running->stdout_path = stdout_path;
    running->stderr_path = stderr_path;
    return failed == 0;
}

std::string ProfileFor(const Pty& gsm, const Pty& peer, const std::string& dir) {
    const std::string path = dir + "/bench.prof";
    std::ofstream(path) << "[devices]\nCOM2: = " << gsm.slave_path << "\nCOM3: = " << peer.slave_path
                        << "\n[registry]\nHKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial\\Index = 2\n";
    return path;
}

bool Start(const Subject& subject, const Pty& gsm, const Pty& peer, const std::string& dir, Running* running,
           std::string* why) {
    const std::string mode = std::to_string(subject.mode == 0 ? DisplayModeZero : DisplayModeThree);
    if (subject.kind == Kind::Socat) {
        if (Spawn({"socat", "-b1024", gsm.slave_path + ",raw,echo=0", peer.slave_path + ",raw,echo=0"},
                  dir, running)) {
            return true;
        }
        *why = "socat did not start (apt-get install -y socat)";
        return false;
    }
    const std::string profile = ProfileFor(gsm, peer, dir);
    if (subject.kind == Kind::Headless) {
        if (Spawn({FWU_PROGRAM, "bridge", "--profile", profile, "--command", mode}, dir, running)) {
            return true;
        }
        *why = std::string("cannot run ") + FWU_PROGRAM;
        return false;
    }
    running->tmux = std::make_unique<fwu_test::Tmux>();
    running->terminal = std::make_unique<fwu_test::TerminalRun>();
    const std::string command = fwu_test::ShellQuote(FWU_PROGRAM) + " --profile " + fwu_test::ShellQuote(profile) +
                                " --command " + std::to_string(StartBridgeCommand) + " --command " + mode;
    if (!running->terminal->Start(*running->tmux, command, {}, TerminalWidth, TerminalHeight) ||
        (running->pid = running->terminal->Pid()) <= 0) {
        *why = "the window did not start in tmux (is tmux installed?)";
        return false;
    }
    return true;
}

std::string StderrOf(const Running& running) {
    return running.terminal ? running.terminal->Stderr() : ReadText(running.stderr_path);
}

// SIGTERM, then the exit status: 0 expected of the bridge; socat's is not judged.
int Stop(Running* running) {
    if (running->pid <= 0) return -1;
    ::kill(running->pid, SIGTERM);
    if (running->terminal) return running->terminal->WaitForExit(EndTimeoutMs);
    int status = 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(EndTimeoutMs);
    while (::waitpid(running->pid, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            ::kill(running->pid, SIGKILL);
            ::waitpid(running->pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(ResponderPollMs));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Relaying once a probe byte gets from `from` to `to`. A marker sent after it is then read
// for: the probes still on their way arrive before it, so nothing of them is left behind.
bool Relays(int from, int to) {
    constexpr std::uint8_t Probe = 0x5A, Marker = 0xA5;
    for (int i = 0; i < ReadyTries; ++i) {
        if (!WriteAll(from, &Probe, 1)) return false;
        pollfd pfd{to, POLLIN, 0};
        if (::poll(&pfd, 1, ProbeMs) <= 0) continue;
        if (!WriteAll(from, &Marker, 1)) return false;
        for (std::uint8_t got = 0; got != Marker;) {
            if (!ReadAll(to, &got, 1)) return false;
        }
        return true;
    }
    return false;
}

struct Load {
    const std::vector<std::uint8_t>* data = nullptr;
    int from = -1, to = -1;
    std::vector<std::uint8_t> got;
    bool ok = false;
    double seconds = 0;
};

Load LoadOf(const std::vector<std::uint8_t>& data, int from, int to) {
    Load load;
    load.data = &data;
    load.from = from;
    load.to = to;
    return load;
}

// The loads at once, each writer and reader on a thread of its own; true when every byte came
// intact. *cpu_ms is the subject's CPU time over the phase.
bool Pass(std::vector<Load>* loads, pid_t pid, double* cpu_ms) {
    std::vector<std::thread> threads;
    std::vector<char> wrote(loads->size(), 0);
    for (Load& load : *loads) load.got.assign(load.data->size(), 0);
    const double cpu = ProcessCpuMs(pid);
    const auto start = Clock::now();
    for (std::size_t i = 0; i < loads->size(); ++i) {
        Load& load = (*loads)[i];
        threads.emplace_back([&load, &wrote, i] {
            wrote[i] = WriteAll(load.from, load.data->data(), load.data->size());
        });
        threads.emplace_back([&load, start] {
            load.ok = ReadAll(load.to, load.got.data(), load.got.size());
            load.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        });
    }
    for (auto& thread : threads) thread.join();
    *cpu_ms = ProcessCpuMs(pid) - cpu;
    bool intact = true;
    for (std::size_t i = 0; i < loads->size(); ++i) {
        intact = intact && wrote[i] && (*loads)[i].ok && (*loads)[i].got == *(*loads)[i].data;
    }
    return intact;
}

bool Throughput(const Pty& gsm, const Pty& peer, const std::vector<std::uint8_t>& out,
                const std::vector<std::uint8_t>& in, pid_t pid, Figures* figures, std::string* why) {
    const double mb = static_cast<double>(out.size()) / 1e6;
    double cpu = 0;
    std::vector<Load> one{LoadOf(out, gsm.master, peer.master)};
    if (!Pass(&one, pid, &cpu)) return (*why = "GSM>peer: bytes lost or changed", false);
    (*figures)[OutMbps] = mb / one[0].seconds;
    (*figures)[OutCpu] = cpu / mb;
    one = {LoadOf(in, peer.master, gsm.master)};
    if (!Pass(&one, pid, &cpu)) return (*why = "peer>GSM: bytes lost or changed", false);
    (*figures)[InMbps] = mb / one[0].seconds;
    (*figures)[InCpu] = cpu / mb;
    std::vector<Load> both{LoadOf(out, gsm.master, peer.master), LoadOf(in, peer.master, gsm.master)};
    if (!Pass(&both, pid, &cpu)) return (*why = "both at once: bytes lost or changed", false);
    (*figures)[BothMbps] = 2 * mb / std::max(both[0].seconds, both[1].seconds);
    (*figures)[BothCpu] = cpu / (2 * mb);
    return true;
}

// `trips` messages of `size` bytes from the GSM far end, each echoed back by a responder on
// the peer's; p50 and p99 of the round trips in microseconds.
bool RoundTrips(const Pty& gsm, const Pty& peer, int size, int trips, double* p50, double* p99) {
    std::atomic<bool> stop{false};
    std::thread responder([&] {
        std::uint8_t buffer[4096];
        while (!stop.load()) {
            pollfd pfd{peer.master, POLLIN, 0};
            if (::poll(&pfd, 1, ResponderPollMs) <= 0) continue;
            const ssize_t n = ::read(peer.master, buffer, sizeof buffer);
            if (n > 0 && !WriteAll(peer.master, buffer, static_cast<std::size_t>(n))) break;
        }
    });
    std::vector<double> micros;
    std::vector<std::uint8_t> message(static_cast<std::size_t>(size)), back(message.size());
    bool ok = true;
    for (int i = 0; i < trips && ok; ++i) {
        for (int k = 0; k < size; ++k) message[static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(i + k);
        const auto start = Clock::now();
        ok = WriteAll(gsm.master, message.data(), message.size()) && ReadAll(gsm.master, back.data(), back.size()) &&
             back == message;
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    stop = true;
    responder.join();
    if (!ok) return false;
    std::sort(micros.begin(), micros.end());
    *p50 = micros[micros.size() / 2];
    *p99 = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
    return true;
}

long RelayLines(const std::string& text) {
    long lines = 0;
    for (std::size_t at = 0; (at = text.find(" bytes ", at)) != std::string::npos; ++at) ++lines;
    return lines;
}

// The display mode shows in the log: false with *why when it does not.
bool ModeShows(const Subject& subject, const Running& running, std::size_t relayed, std::string* why) {
    if (subject.kind == Kind::Terminal) {
        if (subject.mode == 0 || running.tmux->Capture().find(" bytes ") != std::string::npos) return true;
        return (*why = "display mode 3: no relay line on the screen", false);
    }
    const long lines = RelayLines(ReadText(running.stdout_path));
    const long least = static_cast<long>(relayed / RelayReadSize);
    if (subject.mode == 0 ? lines <= ProbeLines : lines >= least) return true;
    *why = "display mode " + std::to_string(subject.mode) + ": " + std::to_string(lines) + " relay lines logged";
    return false;
}

// One run of one subject on fresh ptys; false with *why when it failed.
bool Measure(const Subject& subject, const Settings& settings, const std::vector<std::uint8_t>& out,
             const std::vector<std::uint8_t>& in, Figures* figures, std::string* why) {
    fwu_test::TempDir dir;
    Pty gsm = bench::MakePty(), peer = bench::MakePty();
    if (dir.path().empty() || gsm.master < 0 || peer.master < 0) return (*why = "no pseudo-terminal", false);
    Running running;
    bool ok = Start(subject, gsm, peer, dir.path(), &running, why);
    if (ok && !(Relays(gsm.master, peer.master) && Relays(peer.master, gsm.master))) {
        *why = "relays nothing";
        ok = false;
    }
    ok = ok && Throughput(gsm, peer, out, in, running.pid, figures, why);
    if (ok && !(RoundTrips(gsm, peer, SmallTrip, settings.trips, &(*figures)[SmallP50], &(*figures)[SmallP99]) &&
                RoundTrips(gsm, peer, LargeTrip, settings.trips, &(*figures)[LargeP50], &(*figures)[LargeP99]))) {
        *why = "round trip: bytes lost or changed";
        ok = false;
    }
    const bool on_screen = !ok || subject.kind != Kind::Terminal || ModeShows(subject, running, 0, why);
    const int status = Stop(&running);
    if (ok && subject.kind != Kind::Socat && status != 0) {
        *why = "ended with " + std::to_string(status) + " on SIGTERM, not 0";
        ok = false;
    }
    const std::size_t relayed = 4 * out.size();
    ok = ok && on_screen && (subject.kind != Kind::Headless || ModeShows(subject, running, relayed, why));
    if (!ok) {
        const std::string err = StderrOf(running);
        if (!err.empty()) why->append("; its stderr: ").append(err.substr(0, err.find_last_not_of('\n') + 1));
    }
    sim::ClosePty(&gsm);
    sim::ClosePty(&peer);
    return ok;
}

struct Spread {
    double min = 0, median = 0, max = 0;
    bool any = false;
};

Spread SpreadOf(std::vector<double> values) {
    Spread spread;
    if (values.empty()) return spread;
    std::sort(values.begin(), values.end());
    const std::size_t half = values.size() / 2;
    const double median = values.size() % 2 ? values[half] : (values[half - 1] + values[half]) / 2;
    spread = {values.front(), median, values.back(), true};
    return spread;
}

void PrintSpread(const Spread& spread, const char* format) {
    if (!spread.any) {
        std::printf("%24s", "-");
        return;
    }
    char text[64];
    std::snprintf(text, sizeof text, format, spread.min, spread.median, spread.max);
    std::printf("%24s", text);
}

// results[subject][round], with ok[subject][round] telling the rounds that ran through.
void PrintTable(const std::vector<std::vector<Figures>>& results, const std::vector<std::vector<char>>& ok) {
    std::printf("\nmin / median / max over the rounds; ratio = bridge/socat of the same round "
                "(throughput: higher is better; CPU and round trips: lower is better)\n");
    for (std::size_t s = 1; s < SubjectCount; ++s) {
        std::printf("\n%-26s%24s%24s%24s\n", Subjects[s].name, "bridge", Subjects[Reference].name, "ratio");
        for (int f = 0; f < FigureCount; ++f) {
            std::vector<double> mine, theirs, ratio;
            for (std::size_t r = 0; r < results[s].size(); ++r) {
                if (ok[s][r]) mine.push_back(results[s][r][f]);
                if (ok[Reference][r]) theirs.push_back(results[Reference][r][f]);
                if (ok[s][r] && ok[Reference][r] && results[Reference][r][f] > 0) {
                    ratio.push_back(results[s][r][f] / results[Reference][r][f]);
                }
            }
            std::printf("%-26s", FigureNames[f]);
            PrintSpread(SpreadOf(mine), "%.1f/%.1f/%.1f");
            PrintSpread(SpreadOf(theirs), "%.1f/%.1f/%.1f");
            PrintSpread(SpreadOf(ratio), "%.2f/%.2f/%.2fx");
            std::printf("\n");
        }
    }
}

bool ParseArguments(int argc, char** argv, Settings* settings) {
    long megabytes = DefaultMegabytes;
    for (int i = 1; i < argc; ++i) {
        const bool has_value = i + 1 < argc;
        if (std::strcmp(argv[i], "--quick") == 0) {
            settings->rounds = QuickRounds;
            settings->trips = QuickTrips;
            megabytes = QuickMegabytes;
            continue;
        }
        const long value = has_value ? std::strtol(argv[i + 1], nullptr, 10) : 0;
        if (value <= 0) return false;
        if (std::strcmp(argv[i], "--rounds") == 0) settings->rounds = static_cast<int>(value);
        else if (std::strcmp(argv[i], "--megabytes") == 0) megabytes = value;
        else if (std::strcmp(argv[i], "--trips") == 0) settings->trips = static_cast<int>(value);
        else return false;
        ++i;
    }
    settings->size = static_cast<std::size_t>(megabytes) << 20;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    if (!ParseArguments(argc, argv, &settings)) {
        platform::SayOnStderrAs("bridge_bench", "usage: bridge_bench [--rounds N] [--megabytes N] [--trips N] [--quick]");
        return 2;
    }
    // The bridges' instance sockets stay away from a tool the user runs meanwhile.
    fwu_test::TempDir runtime;
    ::setenv("FIRMWARE_UTILITY_RUNTIME_DIR", runtime.path().c_str(), 1);
    std::vector<std::uint8_t> out(settings.size), in(settings.size);
    std::mt19937 generator(1);
    for (auto& byte : out) byte = static_cast<std::uint8_t>(generator());
    for (auto& byte : in) byte = static_cast<std::uint8_t>(generator());

    std::printf("%d rounds; a run: %zu MiB GSM>peer, the same peer>GSM, both at once, then %d round trips of "
                "%d B and of %d B\n",
                settings.rounds, settings.size >> 20, settings.trips, SmallTrip, LargeTrip);
    std::vector<std::vector<Figures>> results(SubjectCount, std::vector<Figures>(settings.rounds));
    std::vector<std::vector<char>> ok(SubjectCount, std::vector<char>(settings.rounds, 0));
    const auto begin = Clock::now();
    bool all_ok = true;
    for (int round = 0; round < settings.rounds; ++round) {
        std::printf("round %d:", round + 1);
        std::fflush(stdout);
        for (std::size_t turn = 0; turn < SubjectCount; ++turn) {
            const std::size_t s = (turn + static_cast<std::size_t>(round)) % SubjectCount;
            std::string why;
            ok[s][round] = Measure(Subjects[s], settings, out, in, &results[s][round], &why);
            std::printf(" %s", ok[s][round] ? "." : "!");
            std::fflush(stdout);
            if (!ok[s][round]) {
                std::printf("\n%s, round %d: FAILED: %s\n", Subjects[s].name, round + 1, why.c_str());
                all_ok = false;
            }
        }
        std::printf("\n");
    }
    PrintTable(results, ok);
    std::printf("\n%.0f s in all%s\n", std::chrono::duration<double>(Clock::now() - begin).count(),
                all_ok ? "" : "; a subject FAILED (above)");
    return all_ok ? 0 : 1;
}
