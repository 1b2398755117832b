// The whole firmware update against the simulated handset over pseudo-terminals, as a user
// runs it (`firmware-utility update --profile FILE`), with the handset in this process.
//
// Unpaced: the run's time from the radio driver's suspend control (the update command's first
// step) to the kernel's reboot control (its last), minus the fixed pauses of the run (500 +
// 1000 + 20 + 100 + 20 + 200 ms), is the transfer overhead; the child's CPU time comes from
// wait4.
//
// Paced at 921,600 baud: the tool (no trace, as users run it) and a minimal protocol client
// (bench/minimal_client.h, a process of its own started from this program), interleaved over
// several rounds, each against a fresh handset. Both are timed on the handset's clock over the
// steps they share: from the radio driver's reset that starts the download to its reset after
// the final 0xA5 (the last two reset controls the handset recorded), minus the protocol's pauses
// within (20 + 100 + 20 + 200 ms). The tool's steps before that reset (the AT port's query, the
// second before the reset) and after it (the revision check, about 2.1 s) are left out: the
// minimal client does none of them. Wire time is that of the protocol's bytes, each framed in
// the bits the simulated module saw on the line (11 for 8 data and 2 stop bits); efficiency =
// wire time / time; tool/minimal = the tool's time / the minimal client's: 1.000 means the
// tool adds nothing beyond what the protocol itself costs.
//
// Then the time to a verdict against misbehaving modules at --module-timeout 2 and the default
// attempts, all cases side by side (each run mostly waits).
//
// Usage: update_bench [RUNS [BAUD [ROUNDS]]]   (default: 3 unpaced runs of each kind, then 3
// rounds paced at 921,600 baud, then the verdict table); update_bench paced [ROUNDS [BAUD]]
// (the paced comparison alone); update_bench verdicts (the verdict table alone)
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/minimal_client.h"
#include "platform/base/format.h"
#include "sim/sim.h"
#include "update/payloads.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double FixedPausesS = (500 + 1000 + 20 + 100 + 20 + 200) / 1000.0;

struct Child {
    int status = -1;
    double cpu_s = 0;      // user + system of the child
    double process_s = 0;  // fork to reaped
    std::string out;
};

// The argument that makes this program the minimal client: `update_bench minimal LINK RIL`.
constexpr char MinimalMode[] = "minimal";
constexpr char SelfProgram[] = "/proc/self/exe";

// Runs `program` (the tool by default) with `args` (and `env` entries added to this process's
// environment), draining its output, and reaps it with its resource usage.
Child RunProgram(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                 const char* program = FWU_PROGRAM) {
    Child child;
    std::vector<std::string> strings{program};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : strings) argv.push_back(s.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment(env);
    for (char** e = environ; *e != nullptr; ++e) environment.push_back(*e);  // first entry of a name wins
    std::vector<char*> envp;
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return child;
    const auto start = Clock::now();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(out[1], STDERR_FILENO);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(out[1]);
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n > 0) child.out.append(buffer, static_cast<std::size_t>(n));
        else if (n == 0 || errno != EINTR) break;
    }
    ::close(out[0]);
    int status = 0;
    rusage usage{};
    if (pid > 0 && ::wait4(pid, &status, 0, &usage) == pid) {
        child.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        child.cpu_s = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                      static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
    child.process_s = std::chrono::duration<double>(Clock::now() - start).count();
    return child;
}

struct Run {
    bool ok = false;
    double run_s = 0;  // suspend control to reboot control
    Child child;
};

// A fresh simulated handset whose module link is paced at `baud` (0: unpaced).
bool StartHandset(sim::Handset* handset, std::uint32_t baud) {
    sim::Options options;
    options.module_baud = baud;
    std::string error;
    if (handset->Start(options, &error)) return true;
    platform::SayOnStderrAs("update_bench", "%s", error.c_str());
    return false;
}

Run UpdateOnce(std::uint32_t baud, bool trace) {
    Run run;
    sim::Handset handset;
    if (!StartHandset(&handset, baud)) return run;
    std::vector<std::string> args{"update", "--profile", handset.ProfilePath()};
    if (trace) {
        args.push_back("--trace");
        args.push_back(handset.Directory() + "/trace.txt");
    }
    run.child = RunProgram(args);
    const auto ril = handset.RilRecords();
    const auto kernel = handset.KernelRecords();
    run.ok = run.child.status == 0 && !ril.empty() && ril.front().code == sim::RilSuspend && !kernel.empty() &&
             kernel.back().code == sim::KernelReboot && handset.module().DownloadDone();
    if (run.ok) run.run_s = std::chrono::duration<double>(kernel.back().at - ril.front().at).count();
    if (trace) ::unlink((handset.Directory() + "/trace.txt").c_str());
    if (!run.ok) platform::SayOnStderrAs("update_bench", "the run failed (exit %d): %s", run.child.status, run.child.out.c_str());
    return run;
}

// The bytes of the protocol on the critical path, both directions: the casting byte that gets
// 0xA0; stage 1's frame; stage 2's size, loader and XOR; stage 3's 0x50, 0x54, two 3-byte
// headers, the image and two checksums; and the module's answers (0xA0, 0xA5, 7 x 0xAA, 0xA5,
// "OK" 0xA5, 3 x 0xA5, 620 x 0xAA, 0xA5).
std::uint64_t ProtocolBytes() {
    const std::uint64_t to_module = 1 + (update::Boot1Length + 2) + (2 + update::Boot2Length + 1) + 1 + 1 + 3 + 3 +
                                    update::FirmwareLength + 2;
    const std::uint64_t to_tool = 1 + 1 + update::Boot2Length / 1000 + 1 + 3 + 3 + update::FirmwareLength / 4000 + 1;
    return to_module + to_tool;
}

// One download paced at `baud` against a fresh handset, by the tool or by the minimal client.
struct Paced {
    bool ok = false;
    double seconds = 0;  // reset to reset, minus the protocol's pauses
    double wire_s = 0;   // the protocol's bytes, framed as the module saw the line
    std::uint32_t frame_bits = 0;
};

Paced PacedOnce(std::uint32_t baud, bool minimal) {
    Paced paced;
    sim::Handset handset;
    if (!StartHandset(&handset, baud)) return paced;
    const Child child =
        minimal ? RunProgram({MinimalMode, handset.DevicePath("COM1:"), handset.DevicePath("RIL1:")}, {}, SelfProgram)
                : RunProgram({"update", "--profile", handset.ProfilePath()});
    std::vector<Clock::time_point> resets;
    for (const sim::ControlRecord& record : handset.RilRecords()) {
        if (record.code == sim::RilResetModule) resets.push_back(record.at);
    }
    paced.ok = child.status == 0 && resets.size() >= 2 && handset.module().DownloadDone();
    if (!paced.ok) {
        platform::SayOnStderrAs("update_bench", "the %s failed (exit %d): %s", minimal ? "minimal client" : "tool",
                     child.status, child.out.c_str());
        return paced;
    }
    paced.seconds = std::chrono::duration<double>(resets.back() - resets[resets.size() - 2]).count() -
                    bench::MinimalPausesMs / 1000.0;
    paced.frame_bits = handset.module().FrameBits();
    paced.wire_s =
        std::chrono::duration<double>(sim::WireClock::Time(ProtocolBytes(), baud, paced.frame_bits)).count();
    return paced;
}

struct Spread {
    double min, median, max;
};
Spread SpreadOf(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return {values.front(), values[values.size() / 2], values.back()};
}
void PrintSpread(const char* name, const Spread& spread, const char* format) {
    std::printf("  %-32s", name);
    std::printf(format, spread.min);
    std::printf(format, spread.median);
    std::printf(format, spread.max);
    std::printf("\n");
}

// The tool against the minimal client, interleaved (the order swaps each round).
bool ComparePaced(std::uint32_t baud, int rounds) {
    std::vector<double> tool, minimal, tool_efficiency, minimal_efficiency, ratios;
    Paced last{};
    for (int round = 0; round < rounds; ++round) {
        Paced pair[2];
        for (int i = 0; i < 2; ++i) {
            const bool is_minimal = (i + round) % 2 == 1;
            pair[is_minimal ? 1 : 0] = PacedOnce(baud, is_minimal);
            if (!pair[is_minimal ? 1 : 0].ok) return false;
        }
        tool.push_back(pair[0].seconds);
        minimal.push_back(pair[1].seconds);
        tool_efficiency.push_back(100.0 * pair[0].wire_s / pair[0].seconds);
        minimal_efficiency.push_back(100.0 * pair[1].wire_s / pair[1].seconds);
        ratios.push_back(pair[0].seconds / pair[1].seconds);
        std::printf("  round %d: tool %.3f s (%u bits a byte), minimal %.3f s (%u bits a byte), tool/minimal %.4f\n",
                    round + 1, pair[0].seconds, pair[0].frame_bits, pair[1].seconds, pair[1].frame_bits, ratios.back());
        std::fflush(stdout);
        last = pair[0];
    }
    // Each answer awaited is a round trip through both pseudo-terminals, the module's pacer and
    // the client: the 0xA0, each loader's 0xA5, stage 2's chunks, the memory check, the size
    // header's three 0xA5 (one request), the image's chunks and the final 0xA5.
    const int acks = 1 + 1 + static_cast<int>(update::Boot2Length / 1000) + 1 + 1 + 1 +
                     static_cast<int>(update::FirmwareLength / 4000) + 1;
    const Spread t = SpreadOf(tool), m = SpreadOf(minimal);
    std::printf("  protocol bytes %llu, wire time %.3f s; %d round trips\n",
                static_cast<unsigned long long>(ProtocolBytes()), last.wire_s, acks);
    std::printf("  %-32s%10s%10s%10s\n", "", "min", "median", "max");
    PrintSpread("tool (s)", t, "%10.3f");
    PrintSpread("minimal client (s)", m, "%10.3f");
    PrintSpread("tool efficiency (%)", SpreadOf(tool_efficiency), "%10.2f");
    PrintSpread("minimal efficiency (%)", SpreadOf(minimal_efficiency), "%10.2f");
    auto per_trip = [&](const Spread& x) {
        return Spread{1e6 * (x.min - last.wire_s) / acks, 1e6 * (x.median - last.wire_s) / acks,
                      1e6 * (x.max - last.wire_s) / acks};
    };
    PrintSpread("tool beyond wire/trip (us)", per_trip(t), "%10.1f");
    PrintSpread("minimal beyond wire/trip (us)", per_trip(m), "%10.1f");
    PrintSpread("tool/minimal, per round", SpreadOf(ratios), "%10.4f");
    std::printf("  tool/minimal of the medians %.4f (aim <= 1.000)\n", t.median / m.median);
    return true;
}

struct VerdictCase {
    const char* name;
    sim::RomFault fault;
    int exit_code = -1;
    double seconds = 0;
    double cpu_s = 0;
};

constexpr int Always = 1000000;

// One update against a module with `c->fault`, to its verdict.
void RunToVerdict(VerdictCase* c) {
    sim::Handset handset;
    sim::Options options;
    options.module_fault = c->fault;
    std::string error;
    if (!handset.Start(options, &error)) {
        platform::SayOnStderrAs("update_bench", "%s", error.c_str());
        return;
    }
    // A runtime directory of its own: each run is its own window.
    Child child = RunProgram({"update", "--profile", handset.ProfilePath(), "--module-timeout", "2"},
                             {"FIRMWARE_UTILITY_RUNTIME_DIR=" + handset.Directory()});
    c->exit_code = child.status;
    c->seconds = child.process_s;
    c->cpu_s = child.cpu_s;
}

void PrintVerdicts() {
    using sim::RomFaultKind;
    using sim::RomStep;
    sim::RomFault noise;
    noise.kind = RomFaultKind::Noise;
    noise.seed = 4;  // the noisiest rate
    std::vector<VerdictCase> cases = {
        {"silent", {RomFaultKind::Silent, RomStep::Handshake, 0, Always}},
        {"one wrong byte, then silence", {RomFaultKind::WrongByte, RomStep::Handshake, 0, Always}},
        {"0x00 at 100 KB/s", {RomFaultKind::Flood, RomStep::Handshake, 0, Always}},
        {"stage 1 refused every time", {RomFaultKind::RejectChecksum, RomStep::Stage1Ack, 0, Always}},
        {"stage 2 refused every time", {RomFaultKind::RejectChecksum, RomStep::Stage2Ack, 0, Always}},
        {"silent in stage 2 every time", {RomFaultKind::Silent, RomStep::Stage2ChunkAck, 3, Always}},
        {"silent after 0x50", {RomFaultKind::Silent, RomStep::MemoryCheck, 0, 1}},
        {"every other chunk acknowledged", {RomFaultKind::EveryOther, RomStep::Stage3ChunkAck, 0, 1}},
        {"stray 0xA5, checksums refused", {RomFaultKind::StrayAck, RomStep::FinalAck, 0, 1}},
        {"noise (seed 4)", noise},
        {"a correct module", {}},
    };
    std::vector<std::thread> threads;
    for (VerdictCase& c : cases) threads.emplace_back(RunToVerdict, &c);
    for (std::thread& t : threads) t.join();
    std::printf("\ntime to a verdict, --module-timeout 2, default attempts (10), side by side\n");
    std::printf("  %-32s %5s  %9s  %12s\n", "module", "exit", "time (s)", "tool CPU (s)");
    for (const VerdictCase& c : cases) {
        std::printf("  %-32s %5d  %9.2f  %12.3f\n", c.name, c.exit_code, c.seconds, c.cpu_s);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], MinimalMode) == 0) return bench::RunMinimalClient(argv[2], argv[3]);
    if (argc > 1 && std::strcmp(argv[1], "verdicts") == 0) {
        PrintVerdicts();
        return 0;
    }
    const bool paced_only = argc > 1 && std::strcmp(argv[1], "paced") == 0;
    const int runs = argc > 1 && !paced_only ? std::max(1, std::atoi(argv[1])) : 3;
    const int rounds = std::max(1, paced_only ? (argc > 2 ? std::atoi(argv[2]) : 3) : (argc > 3 ? std::atoi(argv[3]) : 3));
    const char* baud_arg = paced_only ? (argc > 3 ? argv[3] : nullptr) : (argc > 2 ? argv[2] : nullptr);
    const std::uint32_t baud = baud_arg != nullptr ? static_cast<std::uint32_t>(std::atoi(baud_arg)) : 921600;
    char runtime[] = "/tmp/fwu-update-bench-XXXXXX";
    if (::mkdtemp(runtime) == nullptr) return 1;
    ::setenv("FIRMWARE_UTILITY_RUNTIME_DIR", runtime, 1);
    // The simulated module runs the image it got as the set's revision, as the check expects.
    sim::KnownFirmware(update::CurrentPayloadSet().sha256, update::CurrentPayloadSet().revision);

    std::printf("update_bench: whole update against the simulated handset over pseudo-terminals\n");
    if (!paced_only) {
        std::printf("fixed pauses of a run: %.3f s\n\n", FixedPausesS);
        std::printf("unpaced                run (s)  overhead (s)  tool CPU (s)  process (s)\n");
        std::vector<double> overheads, cpus;
        for (int trace = 0; trace < 2; ++trace) {
            for (int i = 0; i < runs; ++i) {
                Run run = UpdateOnce(0, trace != 0);
                if (!run.ok) return 1;
                const double overhead = run.run_s - FixedPausesS;
                std::printf("  %-20s %7.3f  %12.3f  %12.3f  %11.3f\n", trace ? "with --trace FILE" : "no trace", run.run_s,
                            overhead, run.child.cpu_s, run.child.process_s);
                overheads.push_back(overhead);
                cpus.push_back(run.child.cpu_s);
            }
        }
        std::sort(overheads.begin(), overheads.end());
        std::sort(cpus.begin(), cpus.end());
        std::printf("  median overhead %.3f s (aim < 0.1), median tool CPU %.3f s (aim < 0.2)\n\n",
                    overheads[overheads.size() / 2], cpus[cpus.size() / 2]);
    }

    std::printf("paced at %u baud, %d rounds, the tool and the minimal client interleaved; reset to reset\n"
                "minus the protocol's pauses (%.3f s)\n",
                baud, rounds, bench::MinimalPausesMs / 1000.0);
    if (!ComparePaced(baud, rounds)) return 1;
    if (!paced_only) PrintVerdicts();
    ::rmdir(runtime);
    return 0;
}
