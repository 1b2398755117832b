// Network serial ports, the port's side: opening a link and waiting for it, and the tty
// requests of the port layer as RFC 2217 controls (gensio's side: net_pump.cpp).
#include "platform/devices/net_port.h"

#include <asm/termbits.h>
#include <gensio/sergensio.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <iterator>
#include <mutex>
#include <string>

#include "platform/base/sys.h"
#include "platform/base/system.h"
#include "platform/devices/serial.h"
#include "platform/base/thread.h"
#include "platform/devices/net_address.h"
#include "platform/devices/net_link.h"
#include "platform/devices/serial_port.h"

namespace platform::internal {

namespace {

// Queues one control for the pump and waits for the exporter's answer (its value in *answer).
int Send(NetLink& link, Control control, unsigned value, unsigned* answer = nullptr) {
    auto request = std::make_shared<Request>(Request{control, value});
    std::unique_lock lock(link.mutex);
    if (link.stop) return EBADF;
    link.queue.push_back(request);
    SignalWake(link.ctl_fd);
    if (!link.changed.wait_for(lock, std::chrono::milliseconds(NetAnswerTimeoutMs), [&] { return request->done; }))
        return ETIMEDOUT;
    if (answer != nullptr) *answer = request->answer;
    return request->error;
}

// RFC 2217's codes for the termios line settings.
unsigned DataSize(const termios2& t) {
    switch (t.c_cflag & CSIZE) {
    case CS5: return 5;
    case CS6: return 6;
    case CS7: return 7;
    default: return 8;
    }
}

unsigned Parity(const termios2& t) {
    if (!(t.c_cflag & PARENB)) return SERGENSIO_PARITY_NONE;
    const bool odd = (t.c_cflag & PARODD) != 0;
    if (t.c_cflag & CMSPAR) return odd ? SERGENSIO_PARITY_MARK : SERGENSIO_PARITY_SPACE;
    return odd ? SERGENSIO_PARITY_ODD : SERGENSIO_PARITY_EVEN;
}

unsigned StopBits(const termios2& t) { return (t.c_cflag & CSTOPB) ? 2 : 1; }

// A line setting's control: its name for people, and its value as they read it.
constexpr struct {
    Control control;
    const char* name;
} LineControls[] = {
    {Control::Baud, "speed"}, {Control::DataSize, "data bits"}, {Control::Parity, "parity"}, {Control::StopBits, "stop bits"}};

// The answer RFC 2217 gives no setting: 0 asks for the current value, so an exporter that
// answers 0 says it does not set this one.
constexpr unsigned NotSupportedAnswer = 0;

const char* ControlName(Control control) {
    for (const auto& row : LineControls) {
        if (row.control == control) return row.name;
    }
    return "control";
}

std::string ValueText(Control control, unsigned value) {
    if (control != Control::Parity) return std::to_string(value);
    constexpr const char* names[] = {"?", "none", "odd", "even", "mark", "space"};
    return value < std::size(names) ? names[value] : std::to_string(value);
}

std::atomic<PortNoteHandler> note_handler{nullptr};

// Said once per port on the trace and to the handler.
void Note(const std::string& text) {
    const std::string line = text + "\r\n";
    DebugOutput(line.c_str(), line.size());
    if (PortNoteHandler handler = note_handler.load()) handler(text.c_str());
}

// One line setting sent and its answer held to it: a control left unanswered, or answered
// with another value than asked, ends the setting with the reason in the last error.
int SendLineControl(NetLink& link, Control control, unsigned want) {
    unsigned answer = 0;
    const int error = Send(link, control, want, &answer);
    const std::string asked = std::string("the ") + ControlName(control) + " control (" + ValueText(control, want) + ")";
    if (error == ETIMEDOUT) {
        SetLastError(ETIMEDOUT, "the exporter did not answer " + asked + " within " +
                                    std::to_string(NetAnswerTimeoutMs / 1000) + " s");
        return error;
    }
    if (error != 0) {
        SetLastError(static_cast<std::uint32_t>(error));
        return error;
    }
    if (answer == want) return 0;
    if (answer == NotSupportedAnswer) {
        bool said;
        {
            std::lock_guard lock(link.mutex);
            said = link.unsupported_said;
            link.unsupported_said = true;
        }
        if (!said) {
            Note(link.path + ": the exporter answered " + asked + " with 0: it does not set its port's line settings, "
                 "which stay as the exporter is configured");
        }
        return 0;
    }
    SetLastError(EPROTO, "the exporter answered " + asked + " with " + ValueText(control, answer) +
                             ": its port does not run as asked");
    return EPROTO;
}

int SetLine(NetLink& link, const termios2& next) {
    termios2 now;
    bool sent;
    {
        std::lock_guard lock(link.mutex);
        now = link.settings;
        sent = link.line_sent;
    }
    if (link.address.rfc2217) {
        const struct {
            Control control;
            unsigned want, have;
        } changes[] = {
            {Control::Baud, next.c_ospeed, now.c_ospeed},
            {Control::DataSize, DataSize(next), DataSize(now)},
            {Control::Parity, Parity(next), Parity(now)},
            {Control::StopBits, StopBits(next), StopBits(now)},
        };
        // The exporter's own settings are not known: the first time, each one is sent.
        for (const auto& change : changes) {
            if (sent && change.want == change.have) continue;
            if (int error = SendLineControl(link, change.control, change.want); error != 0) return error;
        }
    }
    std::lock_guard lock(link.mutex);
    link.settings = next;
    link.line_sent = true;
    return 0;
}

int SetLines(NetLink& link, int bits, bool on) {
    if (!link.address.rfc2217) return ENOTTY;  // raw TCP carries no modem lines, as a pty
    const struct {
        int bit;
        Control control;
    } rows[] = {{TIOCM_DTR, Control::Dtr}, {TIOCM_RTS, Control::Rts}};
    for (const auto& row : rows) {
        if (!(bits & row.bit)) continue;
        {
            std::lock_guard lock(link.mutex);
            if (((link.lines & row.bit) != 0) == on) continue;  // as it is: nothing to ask
        }
        {
            std::lock_guard lock(link.mutex);
            if (link.no_lines) return ENOTTY;
        }
        int error = Send(link, row.control, on ? SERGENSIO_DTR_ON : SERGENSIO_DTR_OFF);
        std::lock_guard lock(link.mutex);
        if (error == ETIMEDOUT || error == ENOTTY) {
            // ser2net leaves a change it could not make on its device (a pty) unanswered.
            link.no_lines = true;
            return ENOTTY;
        }
        if (error != 0) return error;
        link.lines = on ? (link.lines | row.bit) : (link.lines & ~row.bit);
    }
    return 0;
}

// Drops what arrived and was not read; the exporter drops what it still holds.
int Flush(SerialPort& port, NetLink& link, long queue) {
    if (queue != TCOFLUSH) {
        unsigned char sink[PumpChunk];
        while (SysRead(port.fd, sink, sizeof sink) > 0) {
        }
    }
    if (!link.address.rfc2217) return 0;
    const unsigned which = queue == TCIFLUSH    ? SERGENSIO_FLUSH_RCV_BUFFER
                           : queue == TCOFLUSH ? SERGENSIO_FLUSH_XMIT_BUFFER
                                               : SERGENSIO_FLUSH_RCV_XMIT_BUFFERS;
    return Send(link, Control::Flush, which);
}

}  // namespace

std::shared_ptr<SerialPort> OpenNetworkPort(const char* path) {
    auto link = std::make_shared<NetLink>();
    link->path = path;
    auto refuse = [](int error, const std::string& report) {
        SetLastError(static_cast<std::uint32_t>(error), report);
        return nullptr;
    };
    if (!ParseNetworkPath(path, &link->address)) return nullptr;  // the last error says what is wrong
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) return refuse(errno, {});
    link->pump_fd = pair[1];
    link->ctl_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (link->ctl_fd < 0 || wake < 0) {
        int error = errno;
        ::close(pair[0]);
        if (wake >= 0) ::close(wake);
        return refuse(error, {});
    }
    // A port opens as the kernel leaves a fresh tty: 115,200 baud, 8 bits, raw.
    link->settings.c_cflag = BOTHER | CS8 | CREAD | CLOCAL;
    link->settings.c_ispeed = link->settings.c_ospeed = 115200;
    if (int error = StartPump(link); error != 0) {
        ::close(pair[0]);
        ::close(wake);
        return refuse(error, "gensio's event loop did not start");
    }
    std::unique_lock lock(link->mutex);
    bool answered = link->changed.wait_for(lock, std::chrono::milliseconds(NetOpenTimeoutMs),
                                           [&] { return link->open_done; });
    if (!answered || link->open_error != 0) {
        std::string report = link->report;
        int error = link->open_error;
        if (!answered) {
            error = ETIMEDOUT;
            report = link->connected ? "the exporter accepted the connection but did not answer the RFC 2217 "
                                       "negotiation within " + std::to_string(NetOpenTimeoutMs / 1000) + " s"
                                     : "no connection within " + std::to_string(NetOpenTimeoutMs / 1000) +
                                           " s (the host does not answer)";
        }
        lock.unlock();
        StopNetLink(*link);  // the pump closes the connection and lets go of the link
        ::close(pair[0]);
        ::close(wake);
        return refuse(error, report);
    }
    lock.unlock();
    auto port = std::make_shared<SerialPort>(pair[0], wake, path);
    port->net = std::move(link);
    return port;
}

int NetIoctl(SerialPort& port, unsigned long request, void* argument) {
    NetLink& link = *port.net;
    int error = 0;
    switch (request) {
    case TCGETS2: {
        std::lock_guard lock(link.mutex);
        *static_cast<termios2*>(argument) = link.settings;
        return 0;
    }
    case TCSETS2:
        error = SetLine(link, *static_cast<const termios2*>(argument));
        if (error == 0) return 0;
        errno = error;  // the last error is set, with the exporter's reason when it gave one
        return -1;
    case TIOCMBIS: error = SetLines(link, *static_cast<int*>(argument), true); break;
    case TIOCMBIC: error = SetLines(link, *static_cast<int*>(argument), false); break;
    case TIOCMGET:
        if (!link.address.rfc2217) {
            error = ENOTTY;
        } else {
            std::lock_guard lock(link.mutex);
            if (link.no_lines) error = ENOTTY;
            else *static_cast<int*>(argument) = link.lines;
        }
        break;
    case TCFLSH: error = Flush(port, link, reinterpret_cast<long>(argument)); break;
    case TIOCSBRK:
    case TIOCCBRK:
        error = link.address.rfc2217
                    ? Send(link, Control::Break, request == TIOCSBRK ? SERGENSIO_BREAK_ON : SERGENSIO_BREAK_OFF)
                    : ENOTTY;
        break;
    case TIOCINQ:
    case TIOCOUTQ: return SysIoctl(port.fd, request, argument);  // the socket's own queues
    case TIOCEXCL:
    case TIOCNXCL: return 0;  // the exporter holds the device for one connection
    default: error = ENOTTY; break;
    }
    if (error == 0) return 0;
    errno = error;
    return -1;
}

}  // namespace platform::internal

namespace platform {

void SetPortNoteHandler(PortNoteHandler handler) { internal::note_handler.store(handler); }

}  // namespace platform
