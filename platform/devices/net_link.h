// Implemented in platform/devices/net_port.cpp and platform/devices/net_pump.cpp.
// What the two halves of a network port share (platform/devices/net_port.cpp, the port's
// side: opening, tty requests as controls; platform/devices/net_pump.cpp, gensio's side: the
// one event loop thread of all network ports, the connection, the relay of bytes). A control
// travels as a Request through the link's queue and eventfd to the pump, which sends it and
// finishes it when the exporter answers.
//
// Index: Control Request NetLink PumpChunk StartPump StopNetLink
#pragma once

#include <asm/termbits.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/devices/net_address.h"

struct gensio;
struct gensio_iod;
struct gensio_os_funcs;

namespace platform::internal {

// The most bytes the pump moves in one step, each way (also the size of a purge's reads).
inline constexpr std::size_t PumpChunk = 16384;

enum class Control { Baud, DataSize, Parity, StopBits, Dtr, Rts, Break, Flush };

struct Request {
    Control control;
    unsigned value;
    bool done = false;
    int error = 0;
    unsigned answer = 0;  // the value the exporter answered with
};

struct NetLink {
    NetworkAddress address;
    std::string path;
    int pump_fd = -1;  // the pair's far end from the port's descriptor
    int ctl_fd = -1;   // eventfd: requests queued, or stop

    std::mutex mutex;  // guards the block below
    std::condition_variable changed;
    std::deque<std::shared_ptr<Request>> queue;
    bool stop = false;
    bool connected = false, open_done = false;
    int open_error = 0;
    std::string report;
    termios2 settings{};
    int lines = TIOCM_DTR | TIOCM_RTS;  // set when a port opens, as the kernel sets them
    bool no_lines = false;  // a line change went unanswered: the exporter's device has none
    bool line_sent = false;     // every line setting went out once (the exporter's are unknown before)
    bool unsupported_said = false;  // an exporter's "not supported" answer was said
    bool retired = false;   // the event loop has let go of the link and its descriptors

    // The pump thread's own.
    gensio_os_funcs* os = nullptr;
    gensio* io = nullptr;
    gensio_iod* pump_iod = nullptr;
    gensio_iod* ctl_iod = nullptr;
    bool verified = false, lost = false, closing = false, finished = false;
    std::string early;
    std::vector<unsigned char> out;  // read from the port, not yet taken by gensio
    std::size_t out_at = 0;
    std::vector<std::shared_ptr<Request>> waiting;  // sent, answer not yet in

    // The pump lets go of a link only once its connection has closed and its descriptors
    // left the event loop.
    ~NetLink() {
        if (pump_fd >= 0) ::close(pump_fd);
        if (ctl_fd >= 0) ::close(ctl_fd);
    }
};

// Hands a new link to the event loop (started on first use), which opens its connection; 0,
// or the error that kept the loop from starting.
int StartPump(const std::shared_ptr<NetLink>& link);

}  // namespace platform::internal
