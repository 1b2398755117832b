// A whole firmware update through ser2net against the same update on the local pty, in one
// run: the simulated handset in this process, ser2net on loopback exporting its module link
// (RFC 2217) and AT port (raw TCP), `firmware-utility update` alternating between the handset's
// own profile and profiles naming the ports of exporters with different ser2net settings:
// its defaults, tcp(nodelay), and tcp(nodelay) with chardelay shortened or off. Each pace is a
// handset of its own: unpaced, or its module acknowledging at the pace of a baud rate (11 bits
// a byte, as the link is set). The time is the run's, from the radio driver's suspend control
// (its first step) to the kernel's reboot control (its last), and the program's whole life;
// the image rate is the image's bytes over the run's time. The load average is printed before
// and after, as other work on the machine takes its share.
//
// Usage: ser2net_bench [RUNS [BAUD...]]   (default 3 runs; paces 0 (unpaced) and 921600)
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/base/format.h"
#include "sim/firmware.h"
#include "sim/sim.h"
#include "tests/support/ser2net.h"
#include "update/payloads.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned DefaultPaces[] = {0, 921600};
constexpr int DefaultRuns = 3;

// The exporters compared, each a ser2net of its own; the last is the recommended one.
struct Setting {
    const char* name;
    bool nodelay;
    const char* option;  // a connection option, or nullptr
};
constexpr Setting Settings[] = {
    {"ser2net defaults", false, nullptr},
    {"tcp(nodelay)", true, nullptr},
    {"nodelay, chardelay-min: 100", true, "chardelay-min: 100"},
    {"nodelay, chardelay: false", true, "chardelay: false"},
};
constexpr std::size_t SettingCount = sizeof Settings / sizeof Settings[0];

// Runs the program to its end, its output dropped; the exit status, or -1.
int RunQuietly(const std::vector<std::string>& args) {
    std::vector<std::string> strings{FWU_PROGRAM};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : strings) argv.push_back(s.data());
    argv.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        int null = ::open(std::getenv("SER2NET_BENCH_LOG") ? std::getenv("SER2NET_BENCH_LOG") : "/dev/null", O_WRONLY | O_CREAT | O_APPEND, 0600);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Timing {
    double run_s = 0, process_s = 0;
};

bool UpdateOnce(const sim::Handset& handset, const std::string& profile, Timing* timing) {
    const std::size_t ril_before = handset.RilRecords().size(), kernel_before = handset.KernelRecords().size();
    const auto start = Clock::now();
    const int status = RunQuietly({"update", "--profile", profile});
    timing->process_s = std::chrono::duration<double>(Clock::now() - start).count();
    const auto ril = handset.RilRecords();
    const auto kernel = handset.KernelRecords();
    if (status != 0 || ril.size() <= ril_before || kernel.size() <= kernel_before) return false;
    timing->run_s = std::chrono::duration<double>(kernel.back().at - ril[ril_before].at).count();
    return true;
}

}  // namespace

namespace {

void PrintLoad(const char* when) {
    double load[3] = {0, 0, 0};
    if (::getloadavg(load, 3) == 3) std::printf("load average %s: %.2f %.2f %.2f\n", when, load[0], load[1], load[2]);
}

// The handset's profile with the link and the AT port named through the exporter.
std::string NetProfile(const sim::Handset& handset, const fwu_test::Exporter& exporter, std::size_t n) {
    const std::string path = handset.Directory() + "/net" + std::to_string(n) + ".prof";
    std::ifstream in(handset.ProfilePath());
    std::ofstream out(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("COM1: = ", 0) == 0) line = "COM1: = " + exporter.Url(0);
        if (line.rfind("COM2: = ", 0) == 0) line = "COM2: = " + exporter.Url(1);
        out << line << "\n";
    }
    return path;
}

// Every subject at one pace, RUNS rounds alternating; false when a run failed.
bool BenchPace(unsigned baud, int runs) {
    sim::Options options;
    options.module_baud = baud;
    sim::Handset handset;
    std::string error;
    if (!handset.Start(options, &error)) {
        platform::SayOnStderrAs("ser2net_bench", "%s", error.c_str());
        return false;
    }
    std::vector<std::string> names{"local pty"}, profiles{handset.ProfilePath()};
    std::vector<std::unique_ptr<fwu_test::Exporter>> exporters;
    for (std::size_t s = 0; s < SettingCount; ++s) {
        const std::string directory = handset.Directory() + "/exporter" + std::to_string(s);
        ::mkdir(directory.c_str(), 0700);
        std::vector<std::string> extra;
        if (Settings[s].option) extra.push_back(Settings[s].option);
        exporters.push_back(std::make_unique<fwu_test::Exporter>());
        if (!exporters.back()->Start({{handset.DevicePath("COM1:"), true, Settings[s].nodelay, extra},
                                      {handset.DevicePath("COM2:"), false, Settings[s].nodelay, extra}},
                                     directory, &error)) {
            platform::SayOnStderrAs("ser2net_bench", "%s", error.c_str());
            return false;
        }
        names.push_back(Settings[s].name);
        profiles.push_back(NetProfile(handset, *exporters.back(), s));
    }
    if (baud) {
        std::printf("\nmodule paced at %u baud, 11 bits a byte; %d runs each, alternating\n", baud, runs);
    } else {
        std::printf("\nmodule unpaced; %d runs each, alternating\n", runs);
    }
    std::vector<std::vector<double>> times(names.size());
    for (int i = 0; i < runs; ++i) {
        for (std::size_t p = 0; p < names.size(); ++p) {
            Timing timing;
            if (!UpdateOnce(handset, profiles[p], &timing)) {
                platform::SayOnStderrAs("ser2net_bench", "the run through %s failed: %s", names[p].c_str(),
                             p ? exporters[p - 1]->Log().c_str() : "");
                return false;
            }
            times[p].push_back(timing.run_s);
            std::printf("  %-30s %8.2f s run %8.2f s process %9.1f kB/s\n", names[p].c_str(), timing.run_s,
                        timing.process_s, update::FirmwareLength / timing.run_s / 1000.0);
            std::fflush(stdout);
        }
    }
    std::printf("%-32s %8s %8s %8s %12s\n", "path", "mean s", "min s", "max s", "x local pty");
    double local = 0;
    for (std::size_t p = 0; p < names.size(); ++p) {
        double sum = 0;
        for (double t : times[p]) sum += t;
        const double mean = sum / times[p].size();
        if (p == 0) local = mean;
        std::printf("%-32s %8.2f %8.2f %8.2f %12.3f\n", names[p].c_str(), mean,
                    *std::min_element(times[p].begin(), times[p].end()),
                    *std::max_element(times[p].begin(), times[p].end()), mean / local);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : DefaultRuns;
    std::vector<unsigned> paces;
    for (int i = 2; i < argc; ++i) paces.push_back(static_cast<unsigned>(std::strtoul(argv[i], nullptr, 10)));
    if (paces.empty()) paces.assign(std::begin(DefaultPaces), std::end(DefaultPaces));
    // The handset runs the payload set's image as its revision, as the program's own does.
    sim::KnownFirmware(update::CurrentPayloadSet().sha256, update::CurrentPayloadSet().revision);
    std::printf("whole update through ser2net against the local pty (run: suspend control to reboot control)\n");
    PrintLoad("before");
    for (unsigned baud : paces) {
        if (!BenchPace(baud, runs)) return 1;
    }
    PrintLoad("after");
    return 0;
}
