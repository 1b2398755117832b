// Serial figures on a pseudo-terminal: the CPU time that a silent WaitForModuleByte spends over
// its whole bound (it should sleep in poll, near zero), and the bytes per second of raw writes
// through the port layer in 4 KiB and in 1-byte calls.
//
//   serial_bench [SECONDS]   the silent wait's bound (default 10)
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/devices/devices.h"
#include "platform/platform.h"
#include "sim/pty.h"
#include "update/cechat.h"
#include "update/run.h"

namespace {

using Clock = std::chrono::steady_clock;

double CpuSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double Since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Pty {
    int master = -1;
    std::string slave;
    Pty() {
        std::string error;
        if (!sim::OpenPtyMaster(false, &master, &slave, &error)) platform::SayOnStderrAs("serial_bench", "%s", error.c_str());
    }
    ~Pty() {
        if (master >= 0) ::close(master);
    }
};

void SilentWait(std::uint32_t seconds) {
    Pty pty;
    platform::Profile profile;
    profile.path = "bench";
    profile.devices["COM1:"] = pty.slave;
    platform::SetProfile(profile);
    if (update::OpenModuleLink() != 1) {
        std::printf("silent wait: COM1: did not open (errno %u)\n", platform::GetLastError());
        return;
    }
    update::UpdateRunOf().options.module_timeout_ms = seconds * 1000;
    double cpu = CpuSeconds();
    auto start = Clock::now();
    std::int32_t result = update::WaitForModuleByte(0xA0);
    double wall = Since(start);
    cpu = CpuSeconds() - cpu;
    std::printf("silent WaitForModuleByte: result %d after %.3f s wall, %.6f s CPU (%.4f%%)\n", result,
                wall, cpu, 100.0 * cpu / wall);

    // The same after one wrong byte: the read loop waits out the silence in the event wait.
    const unsigned char wrong = 0x12;
    if (::write(pty.master, &wrong, 1) != 1) return;
    cpu = CpuSeconds();
    start = Clock::now();
    result = update::WaitForModuleByte(0xA0);
    wall = Since(start);
    cpu = CpuSeconds() - cpu;
    std::printf("silent read loop after a wrong byte: result %d after %.3f s wall, %.6f s CPU (%.4f%%)\n",
                result, wall, cpu, 100.0 * cpu / wall);
    update::CloseModuleLink();
}

void Throughput(std::uint32_t chunk, std::size_t total) {
    Pty pty;
    platform::Handle port = platform::internal::OpenSerialPort(pty.slave.c_str());
    if (port == platform::InvalidHandle) {
        std::printf("throughput: the pty did not open (errno %u)\n", platform::GetLastError());
        return;
    }
    std::atomic<std::size_t> drained{0};
    std::thread reader([&] {
        std::vector<unsigned char> buffer(65536);
        while (drained < total) {
            pollfd p{pty.master, POLLIN, 0};
            if (::poll(&p, 1, 5000) != 1) break;
            ssize_t n = ::read(pty.master, buffer.data(), buffer.size());
            if (n <= 0) break;
            drained += static_cast<std::size_t>(n);
        }
    });
    std::vector<unsigned char> data(chunk, 0x55);
    std::size_t sent = 0;
    auto start = Clock::now();
    double cpu = CpuSeconds();
    while (sent < total) {
        std::uint32_t written = 0;
        if (!platform::WriteFile(port, data.data(), chunk, &written)) break;
        sent += written;
    }
    reader.join();
    double wall = Since(start);
    cpu = CpuSeconds() - cpu;
    std::printf("raw writes of %5u bytes: %zu bytes in %.3f s = %.1f MB/s (%.0f calls/s, %.2f s CPU)\n",
                chunk, static_cast<std::size_t>(drained), wall, static_cast<double>(drained) / wall / 1e6,
                static_cast<double>(sent) / chunk / wall, cpu);
    platform::CloseHandle(port);
}

}  // namespace

int main(int argc, char** argv) {
    std::uint32_t seconds = argc > 1 ? static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 10;
    Throughput(4096, 64u << 20);
    Throughput(1, 256u << 10);
    SilentWait(seconds);
    return 0;
}
