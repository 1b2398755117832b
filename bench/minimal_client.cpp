#include "bench/minimal_client.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/base/format.h"
#include "sim/sim.h"
#include "update/payloads.h"
#include "update/protocol.h"

namespace bench {
namespace {

constexpr std::uint32_t LoaderChunk = 1000;
constexpr std::uint32_t ImageChunk = 4000;
constexpr int CastPeriodMs = 10;
constexpr int MaxCasts = 1000;        // ten seconds of casting
constexpr cc_t SilenceDs = 100;       // a wait gives up after 10 s without a byte (VTIME, 0.1 s units)

int link_fd = -1;
std::uint8_t pending[256];  // what the latest read brought and no wait has taken yet
std::size_t pending_at = 0, pending_end = 0;

bool Fail(const char* what) {
    platform::SayOnStderrAs("minimal client", "%s: %s", what, errno != 0 ? std::strerror(errno) : "no good answer");
    return false;
}

bool Write(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = ::write(link_fd, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return Fail("write");
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool WriteByte(std::uint8_t byte) { return Write(&byte, 1); }

// Until `expected` has come; the bytes before it are dropped, as the tool drops them.
bool Await(std::uint8_t expected) {
    for (;;) {
        while (pending_at < pending_end) {
            if (pending[pending_at++] == expected) return true;
        }
        errno = 0;
        const ssize_t n = ::read(link_fd, pending, sizeof pending);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return Fail("wait");
        pending_at = 0;
        pending_end = static_cast<std::size_t>(n);
    }
}

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The tool's line settings, raw; a read returns what is there, or waits for a first byte.
bool OpenLink(const char* path) {
    link_fd = ::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (link_fd < 0) return Fail(path);
    termios settings{};
    if (::tcgetattr(link_fd, &settings) != 0) return Fail(path);
    ::cfmakeraw(&settings);
    ::cfsetspeed(&settings, B115200);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CRTSCTS);
    settings.c_cflag |= CS8 | CSTOPB | CLOCAL | CREAD;
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = SilenceDs;
    if (::tcsetattr(link_fd, TCSANOW, &settings) != 0) return Fail(path);
    ::tcflush(link_fd, TCIOFLUSH);
    return true;
}

// The radio driver's reset control: a 32-bit little-endian code in, a status out.
bool ResetModule(const char* ril) {
    errno = 0;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, ril, sizeof address.sun_path - 1);
    const std::uint32_t code = sim::RilResetModule;
    const std::uint8_t request[4] = {static_cast<std::uint8_t>(code), static_cast<std::uint8_t>(code >> 8),
                                     static_cast<std::uint8_t>(code >> 16), static_cast<std::uint8_t>(code >> 24)};
    std::uint8_t status[4] = {1, 1, 1, 1};
    const bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                    ::write(fd, request, sizeof request) == sizeof request &&
                    ::recv(fd, status, sizeof status, MSG_WAITALL) == sizeof status &&
                    (status[0] | status[1] | status[2] | status[3]) == 0;
    if (fd >= 0) ::close(fd);
    return ok || Fail(ril);
}

bool Handshake(const char* ril) {
    if (!ResetModule(ril)) return false;
    for (int cast = 0; cast < MaxCasts; ++cast) {
        if (!WriteByte(update::CastingByte)) return false;
        pollfd ready{link_fd, POLLIN, 0};
        if (::poll(&ready, 1, CastPeriodMs) > 0) return Await(update::ReadyByte);
    }
    errno = 0;
    return Fail("handshake");
}

bool FirstLoader() {
    const std::uint8_t* loader = update::LoadPayload(update::PayloadBoot1);
    std::uint8_t frame[update::Boot1Length + 2];
    frame[0] = static_cast<std::uint8_t>(update::Boot1Length);
    std::uint8_t sum = 0;
    for (std::uint32_t i = 0; i < update::Boot1Length; ++i) sum ^= frame[1 + i] = loader[i];
    frame[1 + update::Boot1Length] = sum;
    return Write(frame, sizeof frame) && Await(update::AcceptByte);
}

// Chunks of `size`, each full one acknowledged by 0xAA; the XOR of all bytes and of the bytes
// at even and odd positions come back.
bool Chunks(const std::uint8_t* data, std::uint32_t length, std::uint32_t size, std::uint8_t* all,
            std::uint8_t* even, std::uint8_t* odd) {
    for (std::uint32_t sent = 0; sent < length;) {
        const std::uint32_t chunk = length - sent < size ? length - sent : size;
        if (!Write(data + sent, chunk)) return false;
        // Summed while the chunk is on the wire.
        for (std::uint32_t p = 0; p < chunk; ++p) {
            *all ^= data[sent + p];
            (p % 2 == 0 ? *even : *odd) ^= data[sent + p];
        }
        sent += chunk;
        if (chunk < size) break;
        if (!Await(update::ChunkAckByte)) return false;
    }
    return true;
}

bool SecondLoader() {
    std::uint8_t all = 0, even = 0, odd = 0;
    if (!WriteByte(update::Boot2Length / 256) || !WriteByte(update::Boot2Length % 256)) return false;
    Pause(SizePauseMs);
    return Chunks(update::LoadPayload(update::PayloadBoot2), update::Boot2Length, LoaderChunk, &all, &even, &odd) &&
           WriteByte(all) && Await(update::AcceptByte);
}

bool Image() {
    if (!WriteByte(update::BaudRateByte)) return false;
    Pause(BaudPauseMs);
    if (!Await(update::AcceptByte) || !WriteByte(update::SizeCommandByte) || !Write(update::FixedSizeHeader, 3)) return false;
    for (int i = 0; i < 3; ++i) {
        if (!Await(update::AcceptByte)) return false;
    }
    const std::uint8_t length[3] = {static_cast<std::uint8_t>(update::FirmwareLength >> 16),
                                    static_cast<std::uint8_t>(update::FirmwareLength >> 8),
                                    static_cast<std::uint8_t>(update::FirmwareLength)};
    if (!Write(length, sizeof length)) return false;
    Pause(LengthPauseMs);
    std::uint8_t all = 0, even = 0, odd = 0;
    return Chunks(update::LoadPayload(update::PayloadFirmware), update::FirmwareLength, ImageChunk, &all, &even, &odd) &&
           WriteByte(even) && WriteByte(odd) && Await(update::AcceptByte);
}

}  // namespace

int RunMinimalClient(const char* link, const char* ril) {
    const bool done = OpenLink(link) && Handshake(ril) && FirstLoader() && SecondLoader() && Image();
    if (done) Pause(DonePauseMs);
    const bool reset = done && ResetModule(ril);
    if (link_fd >= 0) ::close(link_fd);
    return reset ? 0 : 1;
}

}  // namespace bench
