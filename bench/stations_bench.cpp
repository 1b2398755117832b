// Several modules at once: `firmware-utility update --profile ... ` with N = 1, 2, 4, 8, 32
// stations against simulated handsets in this process whose module links are paced at 921,600
// baud. Prints the wall time of N at once against one alone (N = 1 is a plain `update`) and
// the tool's CPU time per station (the program and its station children, from wait4).
//
// Usage: stations_bench [RUNS]   (default 3 runs of each N; the best wall time and the mean CPU)
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "platform/base/format.h"
#include "platform/base/spawn.h"
#include "platform/base/system.h"
#include "sim/sim.h"
#include "update/payloads.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint32_t Baud = 921600;
constexpr int Stations[] = {1, 2, 4, 8, 32};
constexpr int MostStations = Stations[std::size(Stations) - 1];

struct Run {
    int status = -1;
    double wall_s = 0;
    double cpu_s = 0;
};

// The program with `args`, its output to /dev/null; wall time and CPU of it and its children.
Run RunProgram(const std::vector<std::string>& args) {
    std::vector<std::string> strings{FWU_PROGRAM};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : strings) argv.push_back(s.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    Run run;
    const auto start = Clock::now();
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) return run;
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    run.wall_s = std::chrono::duration<double>(Clock::now() - start).count();
    run.cpu_s = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    // Each handset holds some twenty descriptors (its pseudo-terminals and sockets).
    if (!platform::RaiseDescriptorLimit()) {
        platform::SayOnStderrAs("stations_bench", "open-file limit: %s", platform::LastErrorText().c_str());
    }
    // The simulated modules run the image they got as the set's revision, as the check expects.
    sim::KnownFirmware(update::CurrentPayloadSet().sha256, update::CurrentPayloadSet().revision);
    std::vector<std::unique_ptr<sim::Handset>> handsets;
    for (int i = 0; i < MostStations; ++i) {
        auto handset = std::make_unique<sim::Handset>();
        sim::Options options;
        options.module_baud = Baud;
        std::string error;
        if (!handset->Start(options, &error)) {
            platform::SayOnStderrAs("stations_bench", "handset: %s", error.c_str());
            return 1;
        }
        handsets.push_back(std::move(handset));
    }
    char runtime[] = "/tmp/fwu-stations-bench-XXXXXX";
    if (::mkdtemp(runtime) == nullptr) return 1;
    ::setenv("FIRMWARE_UTILITY_RUNTIME_DIR", runtime, 1);

    std::printf("stations at %u baud, %d runs each (best wall time, mean CPU)\n", Baud, runs);
    std::printf("%3s  %9s  %11s  %14s  %s\n", "N", "wall s", "vs N = 1", "CPU s/station", "exit");
    double alone = 0;
    for (int n : Stations) {
        std::vector<std::string> args{"update"};
        for (int i = 0; i < n; ++i) {
            args.push_back("--profile");
            args.push_back((n == 1 ? "" : "m" + std::to_string(i + 1) + "=") + handsets[i]->ProfilePath());
        }
        double best = 1e9, cpu = 0;
        int status = 0;
        for (int r = 0; r < runs; ++r) {
            Run run = RunProgram(args);
            best = std::min(best, run.wall_s);
            cpu += run.cpu_s / runs;
            status = std::max(status, run.status);
        }
        if (n == 1) alone = best;
        std::printf("%3d  %9.2f  %10.3fx  %14.3f  %d\n", n, best, best / alone, cpu / n, status);
        std::fflush(stdout);
    }
    ::rmdir(runtime);
    return 0;
}
