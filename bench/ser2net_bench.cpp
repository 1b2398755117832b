// A whole firmware update through ser2net against the same update on the local pty, in one
// run: the simulated handset in this process, ser2net on loopback exporting its module link
// (RFC 2217) and AT port (raw TCP), `firmware-utility update` alternating between the handset's
// own profile and one naming the exported ports. The time is the run's, from the radio
// driver's suspend control (its first step) to the kernel's reboot control (its last), and the
// program's whole life; the image rate is the image's bytes over the run's time.
//
// Usage: ser2net_bench [RUNS]   (default 3 of each)
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "sim/firmware.h"
#include "sim/sim.h"
#include "tests/support/ser2net.h"
#include "update/payloads.h"

namespace {

using Clock = std::chrono::steady_clock;

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

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 3;
    // The handset runs the payload set's image as its revision, as the program's own does.
    sim::KnownFirmware(update::CurrentPayloadSet().sha256, update::CurrentPayloadSet().revision);
    sim::Handset handset;
    std::string error;
    if (!handset.Start({}, &error)) {
        std::fprintf(stderr, "ser2net_bench: %s\n", error.c_str());
        return 1;
    }
    fwu_test::Exporter exporter;
    if (!exporter.Start({{handset.DevicePath("COM1:"), true}, {handset.DevicePath("COM2:"), false}},
                        handset.Directory(), &error)) {
        std::fprintf(stderr, "ser2net_bench: %s\n", error.c_str());
        return 1;
    }
    // The handset's profile with the link and the AT port named through the exporter.
    const std::string net_profile = handset.Directory() + "/net.prof";
    {
        std::ifstream in(handset.ProfilePath());
        std::ofstream out(net_profile);
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("COM1: = ", 0) == 0) line = "COM1: = " + exporter.Url(0);
            if (line.rfind("COM2: = ", 0) == 0) line = "COM2: = " + exporter.Url(1);
            out << line << "\n";
        }
    }
    std::printf("whole update, %d runs each, alternating (run: suspend control to reboot control)\n", runs);
    std::printf("%-28s %8s %10s %12s\n", "path", "run s", "process s", "image kB/s");
    double sums[2] = {0, 0};
    for (int i = 0; i < runs; ++i) {
        const struct {
            const char* name;
            std::string profile;
        } paths[] = {{"local pty", handset.ProfilePath()}, {"ser2net (rfc2217 + raw tcp)", net_profile}};
        for (int p = 0; p < 2; ++p) {
            Timing timing;
            if (!UpdateOnce(handset, paths[p].profile, &timing)) {
                std::fprintf(stderr, "ser2net_bench: the run through %s failed\n%s", paths[p].name, exporter.Log().c_str());
                return 1;
            }
            sums[p] += timing.run_s;
            std::printf("%-28s %8.2f %10.2f %12.1f\n", paths[p].name, timing.run_s, timing.process_s,
                        update::FirmwareLength / timing.run_s / 1000.0);
        }
    }
    std::printf("mean: local %.2f s, through ser2net %.2f s (%.2f times)\n", sums[0] / runs, sums[1] / runs,
                sums[1] / sums[0]);
    return 0;
}
