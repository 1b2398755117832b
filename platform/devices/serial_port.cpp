// Serial ports on termios: exclusive open, line settings, time-outs, purge, queue sizes, line
// functions, the event mask and error clearing. Reads, writes and event waits: serial_io.cpp.
//
// The kernel's termios2 is used directly (through the sys-call seam) rather than the C
// library's wrappers, so every call goes through SysIoctl.
#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <utility>

#include "platform/devices/devices.h"
#include "platform/base/ending.h"
#include "platform/devices/serial_port.h"
#include "platform/devices/net_port.h"
#include "platform/base/sys.h"
#include "platform/base/thread.h"
#include "platform/devices/serial.h"

namespace platform {
namespace internal {

SerialPort::SerialPort(int port_fd, int port_wake_fd, std::string device_path)
    : fd(port_fd), wake_fd(port_wake_fd), path(std::move(device_path)) {}

SerialPort::~SerialPort() {
    if (net) StopNetLink(*net);
    if (!closed) ForgetExclusivePort(fd);
    SysClose(fd);
    SysClose(wake_fd);
}

void SerialPort::Close() {
    {
        std::unique_lock lock(io);  // waits out a system call in flight on another thread
        if (closed.exchange(true)) return;
        // The descriptor stays open until the last call lets go of the object; the device is
        // free for a new open from now on.
        ForgetExclusivePort(fd);
        SysIoctl(fd, TIOCNXCL, nullptr);
        SysFlock(fd, LOCK_UN);
    }
    SignalWake(wake_fd);  // never drained: every later wait on this port returns at once
    if (net) StopNetLink(*net);
    std::lock_guard lock(mutex);
    WakeWaiters(WaiterRead | WaiterWrite | WaiterEvent);
}

ssize_t SerialPort::Read(void* buffer, std::size_t size) {
    std::shared_lock lock(io);
    if (closed) {
        errno = EBADF;
        return -1;
    }
    return SysRead(fd, buffer, size);
}

ssize_t SerialPort::Write(const void* buffer, std::size_t size) {
    std::shared_lock lock(io);
    if (closed) {
        errno = EBADF;
        return -1;
    }
    if (net) {
        // The far end of a network port's pair shut down: the connection is gone, as a
        // hung-up tty's write fails.
        ssize_t n = ::send(fd, buffer, size, MSG_NOSIGNAL);
        if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) errno = EIO;
        return n;
    }
    return SysWrite(fd, buffer, size);
}

int SerialPort::Ioctl(unsigned long request, void* argument) {
    std::shared_lock lock(io);
    if (closed) {
        errno = EBADF;
        return -1;
    }
    if (net) return NetIoctl(*this, request, argument);
    return SysIoctl(fd, request, argument);
}

void SerialPort::NoteLineLost() { line_lost.store(true); }

void SerialPort::UpdateLineCounts() {
    if (!has_counts) return;
    serial_icounter_struct now{};
    if (Ioctl(TIOCGICOUNT, &now) != 0) return;
    // counter, Ce flag, Ev flag
    const struct {
        int now;
        int* seen;
        std::uint32_t error;
        std::uint32_t event;
    } rows[] = {
        {now.brk, &counts.brk, CeBreak, EvBreak},
        {now.frame, &counts.frame, CeFrame, EvErr},
        {now.parity, &counts.parity, CeRxParity, EvErr},
        {now.overrun, &counts.overrun, CeOverrun, EvErr},
        {now.buf_overrun, &counts.buf_overrun, CeRxOver, EvErr},
    };
    for (const auto& row : rows) {
        if (row.now != *row.seen) {
            *row.seen = row.now;
            errors |= row.error;
            pending_events |= row.event;
        }
    }
}

void SerialPort::WakeWaiters(int kinds) {
    for (const auto& [thread_fd, waiter_kinds] : waiters) {
        if (waiter_kinds & kinds) SignalWake(thread_fd);
    }
}

WaitScope::WaitScope(SerialPort& port, int kinds) : port_(port), wake_fd_(ThreadWakeFd()) {
    std::lock_guard lock(port_.mutex);
    port_.waiters.emplace_back(wake_fd_, kinds);
    read_aborts_ = port_.read_aborts;
    write_aborts_ = port_.write_aborts;
    mask_changes_ = port_.mask_changes;
}

WaitScope::~WaitScope() {
    std::lock_guard lock(port_.mutex);
    auto& list = port_.waiters;
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->first == wake_fd_) {
            list.erase(it);
            break;
        }
    }
}

bool WaitScope::ReadAborted() {
    std::lock_guard lock(port_.mutex);
    return port_.read_aborts != read_aborts_;
}

bool WaitScope::WriteAborted() {
    std::lock_guard lock(port_.mutex);
    return port_.write_aborts != write_aborts_;
}

bool WaitScope::MaskChanged() {
    std::lock_guard lock(port_.mutex);
    return port_.mask_changes != mask_changes_;
}

namespace {

// Speed, termios code; scanned from the first row.
constexpr struct {
    std::uint32_t rate;
    unsigned code;
} BaudRates[] = {
    {110, B110},       {300, B300},       {600, B600},         {1200, B1200},
    {2400, B2400},     {4800, B4800},     {9600, B9600},       {19200, B19200},
    {38400, B38400},   {57600, B57600},   {115200, B115200},   {230400, B230400},
    {460800, B460800}, {500000, B500000}, {576000, B576000},   {921600, B921600},
    {1000000, B1000000}, {1500000, B1500000}, {2000000, B2000000}, {3000000, B3000000},
    {4000000, B4000000},
};

unsigned BaudCode(std::uint32_t rate) {
    for (const auto& row : BaudRates) {
        if (row.rate == rate) return row.code;
    }
    return 0;
}

std::uint32_t BaudRate(unsigned code) {
    for (const auto& row : BaudRates) {
        if (row.code == code) return row.rate;
    }
    return 0;
}

// Raw mode: bytes pass unchanged, no echo, no signals, no line editing.
void MakeRaw(termios2& t) {
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                         IXON | IXOFF | IXANY | INPCK);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
}

// The line-settings record as the device stands after the open.
Dcb DcbFromTermios(const termios2& t) {
    Dcb dcb{};
    dcb.length = sizeof(Dcb);
    dcb.baud_rate = BaudRate(t.c_cflag & CBAUD);
    if (dcb.baud_rate == 0) dcb.baud_rate = t.c_ospeed;
    dcb.binary = 1;
    dcb.dtr_control = 1;
    dcb.rts_control = (t.c_cflag & CRTSCTS) ? 2 : 1;
    dcb.cts_flow = (t.c_cflag & CRTSCTS) ? 1 : 0;
    switch (t.c_cflag & CSIZE) {
        case CS5: dcb.byte_size = 5; break;
        case CS6: dcb.byte_size = 6; break;
        case CS7: dcb.byte_size = 7; break;
        default: dcb.byte_size = 8; break;
    }
    if (t.c_cflag & PARENB) {
        bool odd = (t.c_cflag & PARODD) != 0;
        dcb.parity = (t.c_cflag & CMSPAR) ? (odd ? 3 : 4) : (odd ? 1 : 2);
    }
    dcb.stop_bits = (t.c_cflag & CSTOPB) ? 2 : 0;
    dcb.xon_char = 0x11;
    dcb.xoff_char = 0x13;
    return dcb;
}

// Raises or lowers a modem line; a tty without modem lines (a pty) ignores the request.
bool ModemLine(SerialPort& port, unsigned long request, int line) {
    int bits = line;
    if (port.Ioctl(request, &bits) == 0) return true;
    if (errno == ENOTTY || errno == EINVAL) return true;
    return Fail(errno);
}

// A line setting that failed: a network port's has set the last error itself, with the
// exporter's reason; a tty's is in errno.
bool FailRequest(const SerialPort& port) {
    if (port.net && GetLastError() == static_cast<std::uint32_t>(errno)) return false;
    return Fail(errno);
}

Handle FailHandle(int code) {
    SetLastError(static_cast<std::uint32_t>(code));
    return InvalidHandle;
}

}  // namespace

namespace {
// The ports this process has open, by path: a reset pulse uses the module link's own port.
std::mutex open_ports_mutex;
std::vector<std::weak_ptr<SerialPort>> open_ports;
}  // namespace

// Keeps a port findable by its path.
void Remember(const std::shared_ptr<SerialPort>& port) {
    std::lock_guard lock(open_ports_mutex);
    std::erase_if(open_ports, [](const std::weak_ptr<SerialPort>& held) { return held.expired(); });
    open_ports.push_back(port);
}

Handle OpenRemotePort(const char* path) {
    std::shared_ptr<SerialPort> port = OpenNetworkPort(path);
    if (!port) return InvalidHandle;
    termios2 t{};
    if (port->Ioctl(TCGETS2, &t) == 0) port->dcb = DcbFromTermios(t);  // what a caller gives back
    Remember(port);
    return InsertObject(std::move(port));
}

Handle OpenSerialPort(const char* path) {
    int fd = SysOpen(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return FailHandle(errno);
    bool exclusive = false;
    auto give_up = [fd, &exclusive](int code) {
        if (exclusive) {  // a refused open leaves the device as it found it
            ForgetExclusivePort(fd);
            SysIoctl(fd, TIOCNXCL, nullptr);
        }
        SysClose(fd);
        return FailHandle(code);
    };
    // The lock makes a held port fail also for root (who passes TIOCEXCL) and inside one process.
    if (SysFlock(fd, LOCK_EX | LOCK_NB) != 0) return give_up(errno == EWOULDBLOCK ? EBUSY : errno);
    // Noted first: an ending between the two still finds the port to give back.
    NoteExclusivePort(fd);  // given back at exit or on a crash if still held then
    exclusive = true;
    if (SysIoctl(fd, TIOCEXCL, nullptr) != 0) return give_up(errno);
    termios2 t{};
    if (SysIoctl(fd, TCGETS2, &t) != 0) return give_up(errno);
    MakeRaw(t);
    if (SysIoctl(fd, TCSETS2, &t) != 0) return give_up(errno);
    int wake = SysEventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) return give_up(errno);
    auto port = std::make_shared<SerialPort>(fd, wake, path);
    port->dcb = DcbFromTermios(t);
    serial_icounter_struct counts{};
    if (SysIoctl(fd, TIOCGICOUNT, &counts) == 0) {
        port->has_counts = true;
        port->counts = {counts.frame, counts.overrun, counts.parity, counts.brk, counts.buf_overrun};
    }
    Remember(port);
    return InsertObject(std::move(port));
}

std::shared_ptr<SerialPort> FindOpenPort(const std::string& path) {
    std::lock_guard lock(open_ports_mutex);
    for (const auto& held : open_ports) {
        auto port = held.lock();
        if (port && !port->closed && port->path == path) return port;
    }
    return nullptr;
}

}  // namespace internal

using internal::Fail;
using internal::SerialPort;

namespace {

std::shared_ptr<SerialPort> Port(Handle handle) {
    auto port = internal::Lookup<SerialPort>(handle);
    if (!port) SetLastError(EBADF);
    return port;
}

}  // namespace

bool GetCommState(Handle handle, Dcb* dcb) {
    auto port = Port(handle);
    if (!port) return false;
    if (dcb == nullptr) return Fail(EINVAL);
    std::lock_guard lock(port->mutex);
    *dcb = port->dcb;
    return true;
}

bool SetCommState(Handle handle, const Dcb* dcb) {
    auto port = Port(handle);
    if (!port) return false;
    if (dcb == nullptr) return Fail(EINVAL);
    const unsigned baud = internal::BaudCode(dcb->baud_rate);
    if (baud == 0 || dcb->byte_size < 5 || dcb->byte_size > 8 || dcb->parity > 4 || dcb->stop_bits > 2) {
        return Fail(EINVAL);
    }
    termios2 t{};
    if (port->Ioctl(TCGETS2, &t) != 0) return Fail(errno);
    constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | CIBAUD | CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= baud | sizes[dcb->byte_size - 5] | CREAD | CLOCAL;
    t.c_ispeed = t.c_ospeed = dcb->baud_rate;
    // parity: 1 odd, 2 even, 3 mark, 4 space
    if (dcb->parity != 0) t.c_cflag |= PARENB;
    if (dcb->parity == 1 || dcb->parity == 3) t.c_cflag |= PARODD;
    if (dcb->parity >= 3) t.c_cflag |= CMSPAR;
    // One and a half stop bits do not exist here: that code selects two.
    if (dcb->stop_bits != 0) t.c_cflag |= CSTOPB;
    if (dcb->cts_flow || dcb->rts_control == 2) t.c_cflag |= CRTSCTS;
    t.c_iflag &= ~static_cast<tcflag_t>(INPCK | IXON | IXOFF | IXANY);
    if (dcb->parity_check) t.c_iflag |= INPCK;
    if (dcb->out_x) t.c_iflag |= IXON;
    if (dcb->in_x) t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = static_cast<cc_t>(dcb->xon_char ? dcb->xon_char : 0x11);
    t.c_cc[VSTOP] = static_cast<cc_t>(dcb->xoff_char ? dcb->xoff_char : 0x13);
    if (port->Ioctl(TCSETS2, &t) != 0) return internal::FailRequest(*port);
    // DTR and RTS: 1 on while open, 0 off; handshake modes leave the line to the driver.
    if (dcb->dtr_control <= 1 &&
        !internal::ModemLine(*port, dcb->dtr_control ? TIOCMBIS : TIOCMBIC, TIOCM_DTR)) {
        return false;
    }
    if (dcb->rts_control <= 1 &&
        !internal::ModemLine(*port, dcb->rts_control ? TIOCMBIS : TIOCMBIC, TIOCM_RTS)) {
        return false;
    }
    std::lock_guard lock(port->mutex);
    port->dcb = *dcb;
    return true;
}

bool GetCommTimeouts(Handle handle, CommTimeouts* timeouts) {
    auto port = Port(handle);
    if (!port) return false;
    if (timeouts == nullptr) return Fail(EINVAL);
    std::lock_guard lock(port->mutex);
    *timeouts = port->timeouts;
    return true;
}

bool SetCommTimeouts(Handle handle, const CommTimeouts* timeouts) {
    auto port = Port(handle);
    if (!port) return false;
    if (timeouts == nullptr) return Fail(EINVAL);
    if (port->closed) return Fail(EBADF);
    std::lock_guard lock(port->mutex);
    port->timeouts = *timeouts;
    port->timeouts_set = true;
    return true;
}

bool PurgeComm(Handle handle, std::uint32_t flags) {
    auto port = Port(handle);
    if (!port) return false;
    if (flags & ~(PurgeTxAbort | PurgeRxAbort | PurgeTxClear | PurgeRxClear)) return Fail(EINVAL);
    if (flags & (PurgeTxAbort | PurgeRxAbort)) {
        std::lock_guard lock(port->mutex);
        int kinds = 0;
        if (flags & PurgeTxAbort) {
            ++port->write_aborts;
            kinds |= internal::WaiterWrite;
        }
        if (flags & PurgeRxAbort) {
            ++port->read_aborts;
            kinds |= internal::WaiterRead | internal::WaiterEvent;
        }
        port->WakeWaiters(kinds);
    }
    if (port->line_lost) return Fail(EIO);
    const bool rx = (flags & PurgeRxClear) != 0, tx = (flags & PurgeTxClear) != 0;
    if (rx || tx) {
        const long queue = rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH;
        if (port->Ioctl(TCFLSH, reinterpret_cast<void*>(queue)) != 0) return Fail(errno);
    } else if (port->closed) {
        return Fail(EBADF);
    }
    return true;
}

bool PurgeQueuedInput(Handle handle) {
    auto port = Port(handle);
    if (!port) return false;
    if (port->line_lost) return Fail(EIO);
    int queued = 0;
    // Between requests the queue is nearly always empty: asking is cheaper than flushing.
    if (port->Ioctl(TIOCINQ, &queued) == 0 && queued == 0) return true;
    return port->Ioctl(TCFLSH, reinterpret_cast<void*>(long{TCIFLUSH})) == 0 || Fail(errno);
}

bool SetupComm(Handle handle, std::uint32_t in_queue, std::uint32_t out_queue) {
    auto port = Port(handle);
    if (!port) return false;
    if (port->closed) return Fail(EBADF);
    // The tty layer sizes its own buffers; the request is kept and answered.
    std::lock_guard lock(port->mutex);
    port->in_queue_size = in_queue;
    port->out_queue_size = out_queue;
    return true;
}

bool GetCommModemStatus(Handle handle, std::uint32_t* status) {
    auto port = Port(handle);
    if (!port) return false;
    if (port->line_lost) return Fail(EIO);
    int bits = 0;
    // A tty without modem lines (a pty) fails here: ENOTTY or EINVAL.
    if (port->Ioctl(TIOCMGET, &bits) != 0) return Fail(errno);
    *status = static_cast<std::uint32_t>(bits);
    return true;
}

bool EscapeCommFunction(Handle handle, int function) {
    auto port = Port(handle);
    if (!port) return false;
    if (port->line_lost) return Fail(EIO);
    switch (function) {
        case 1: return port->Ioctl(TCXONC, reinterpret_cast<void*>(long{TCOOFF})) == 0 || Fail(errno);
        case 2: return port->Ioctl(TCXONC, reinterpret_cast<void*>(long{TCOON})) == 0 || Fail(errno);
        case SetRts: return internal::ModemLine(*port, TIOCMBIS, TIOCM_RTS);
        case 4: return internal::ModemLine(*port, TIOCMBIC, TIOCM_RTS);
        case SetDtr: return internal::ModemLine(*port, TIOCMBIS, TIOCM_DTR);
        case 6: return internal::ModemLine(*port, TIOCMBIC, TIOCM_DTR);
        case 8: return port->Ioctl(TIOCSBRK, nullptr) == 0 || Fail(errno);
        case 9: return port->Ioctl(TIOCCBRK, nullptr) == 0 || Fail(errno);
        default: return Fail(EINVAL);
    }
}

bool SetCommMask(Handle handle, std::uint32_t mask) {
    auto port = Port(handle);
    if (!port) return false;
    if (port->closed) return Fail(EBADF);
    std::lock_guard lock(port->mutex);
    port->mask = mask;
    // A wait in progress on another thread returns with an empty event word.
    ++port->mask_changes;
    port->WakeWaiters(internal::WaiterEvent);
    return true;
}

bool GetCommMask(Handle handle, std::uint32_t* mask) {
    auto port = Port(handle);
    if (!port) return false;
    if (mask == nullptr) return Fail(EINVAL);
    std::lock_guard lock(port->mutex);
    *mask = port->mask;
    return true;
}

bool ClearCommError(Handle handle, std::uint32_t* errors, ComStat* status) {
    auto port = Port(handle);
    if (!port) return false;
    if (port->closed) return Fail(EBADF);
    if (!port->line_lost) {
        // A device that hung up since the last call shows here even if nobody waited on it.
        pollfd probe{port->fd, 0, 0};
        if (internal::SysPoll(&probe, 1, 0) == 1 && (probe.revents & (POLLHUP | POLLERR | POLLNVAL))) {
            port->NoteLineLost();
        }
    }
    std::uint32_t flags;
    {
        std::lock_guard lock(port->mutex);
        port->UpdateLineCounts();
        flags = port->errors;
        port->errors = 0;
    }
    if (port->line_lost) flags |= CeIoe;
    if (errors) *errors = flags;
    if (status) {
        int in = 0, out = 0;
        if (port->line_lost || port->Ioctl(TIOCINQ, &in) != 0) in = 0;
        if (port->line_lost || port->Ioctl(TIOCOUTQ, &out) != 0) out = 0;
        status->in_queue = static_cast<std::uint32_t>(in);
        status->out_queue = static_cast<std::uint32_t>(out);
    }
    return true;
}

}  // namespace platform
