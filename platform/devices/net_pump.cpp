// gensio's side of the network ports: one event loop thread for all of them, each link's
// connection, the relay between the connection and the port's socket pair, and the RFC 2217
// controls.
//
// Everything that touches gensio runs on that thread, in an event loop of its own (a
// single-threaded selector: no wake signal). Other threads reach it only through descriptors
// it watches: a link's end of the pair for the bytes, its eventfd for controls and the stop,
// and the loop's eventfd for new links.
#include <gensio/gensio.h>
#include <gensio/gensio_err.h>
#include <gensio/gensio_os_funcs.h>
#include <gensio/gensio_unix.h>
#include <gensio/selector.h>
#include <gensio/sergensio.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/signals.h"
#include "platform/base/thread.h"
#include "platform/devices/net_link.h"
#include "platform/devices/net_port.h"

namespace platform::internal {

namespace {

// Text an exporter sends before it drops a connection it refuses ("port in use"), kept for
// the explanation.
constexpr std::size_t EarlyTextLimit = 200;

using SetFunction = int (*)(struct sergensio*, unsigned, sergensio_done, void*);

// Control, the RFC 2217 request that carries it (answered by the exporter).
constexpr struct {
    Control control;
    SetFunction set;
} Answered[] = {
    {Control::Baud, sergensio_baud},     {Control::DataSize, sergensio_datasize},
    {Control::Parity, sergensio_parity}, {Control::StopBits, sergensio_stopbits},
    {Control::Dtr, sergensio_dtr},       {Control::Rts, sergensio_rts},
    {Control::Break, sergensio_sbreak},
};

// gensio's error, the errno a user's explanation starts from.
constexpr struct {
    int gensio;
    int error;
} Errors[] = {
    {GE_CONNREFUSE, ECONNREFUSED},     {GE_HOSTDOWN, EHOSTUNREACH},
    {GE_NOTFOUND, ENXIO},              {GE_NAME_ERROR, ENXIO},
    {GE_UNKNOWN_NAME_ERROR, ENXIO},    {GE_NAME_INVALID, ENXIO},
    {GE_NAME_SERVER_FAILURE, ENXIO},   {GE_NAME_NET_NOT_UP, ENETUNREACH},
    {GE_TIMEDOUT, ETIMEDOUT},          {GE_REMCLOSE, ECONNRESET},
    {GE_NOMEM, ENOMEM},                {GE_PERM, EACCES},
    {GE_INUSE, EBUSY},
};

// An exporter that drops a connection before it answers refuses the port.
constexpr const char* ClosedAtOnce =
    "the exporter closed the connection at once: its port is busy (another client holds it) or its device did "
    "not open";

int ErrnoOf(int gensio_error) {
    for (const auto& row : Errors) {
        if (row.gensio == gensio_error) return row.error;
    }
    return EIO;
}

void Finish(NetLink& link, const std::shared_ptr<Request>& request, int error) {
    std::lock_guard lock(link.mutex);
    request->done = true;
    request->error = error;
    link.changed.notify_all();
}

void EndOpen(NetLink& link, int error, const std::string& report) {
    std::lock_guard lock(link.mutex);
    if (link.open_done) return;
    link.open_done = true;
    link.open_error = error;
    link.report = report;
    link.changed.notify_all();
}

void BeginClose(NetLink& link);

void CloseDone(struct gensio*, void* data) { static_cast<NetLink*>(data)->finished = true; }

void BeginClose(NetLink& link) {
    if (link.closing) return;
    link.closing = true;
    link.os->set_read_handler(link.pump_iod, false);
    link.os->set_write_handler(link.pump_iod, false);
    if (link.io == nullptr || gensio_close(link.io, CloseDone, &link) != 0) link.finished = true;
}

// The connection ended: the port reads end-of-file from now on, and nothing waits for it.
void Lose(NetLink& link, int gensio_error) {
    if (link.lost) return;
    link.lost = true;
    ::shutdown(link.pump_fd, SHUT_RDWR);
    link.os->set_read_handler(link.pump_iod, false);
    link.os->set_write_handler(link.pump_iod, false);
    std::string report = gensio_error == GE_REMCLOSE ? ClosedAtOnce
                                                     : std::string("the connection failed: ") + gensio_err_to_str(gensio_error);
    while (!link.early.empty() && link.early.back() == ' ') link.early.pop_back();
    if (!link.early.empty()) report += "; it said: " + link.early;
    EndOpen(link, gensio_error == GE_REMCLOSE ? EBUSY : ErrnoOf(gensio_error), report);
    for (const auto& request : link.waiting) Finish(link, request, EIO);
    link.waiting.clear();
    {
        std::lock_guard lock(link.mutex);
        for (const auto& request : link.queue) {
            request->done = true;
            request->error = EIO;
        }
        link.queue.clear();
        link.changed.notify_all();
    }
}

// Hands what the port wrote to gensio; reads more from the port only once gensio took it all.
void FlushOut(NetLink& link) {
    while (link.out_at < link.out.size()) {
        gensiods count = 0;
        int rc = gensio_write(link.io, &count, link.out.data() + link.out_at, link.out.size() - link.out_at, nullptr);
        if (rc != 0) {
            Lose(link, rc);
            return;
        }
        if (count == 0) break;
        link.out_at += count;
    }
    const bool all = link.out_at == link.out.size();
    if (all) {
        link.out.clear();
        link.out_at = 0;
    }
    gensio_set_write_callback_enable(link.io, !all);
    link.os->set_read_handler(link.pump_iod, all);
}

// The received bytes go to the port; what does not fit waits in gensio until there is room.
int Deliver(NetLink& link, unsigned char* buffer, gensiods* length) {
    if (!link.verified) {
        // Only an exporter refusing the port talks before it answers: keep its words.
        for (gensiods i = 0; i < *length && link.early.size() < EarlyTextLimit; ++i) {
            unsigned char c = buffer[i];
            if (c >= 0x20 && c < 0x7F) link.early += static_cast<char>(c);
            else if (!link.early.empty() && link.early.back() != ' ') link.early += ' ';
        }
        return 0;
    }
    ssize_t n = ::send(link.pump_fd, buffer, *length, MSG_NOSIGNAL);
    if (n < 0 && errno != EAGAIN) {
        *length = 0;
        BeginClose(link);  // the port is gone
        return 0;
    }
    if (n < 0) n = 0;
    if (static_cast<gensiods>(n) < *length) {
        gensio_set_read_callback_enable(link.io, false);
        link.os->set_write_handler(link.pump_iod, true);
    }
    *length = static_cast<gensiods>(n);
    return 0;
}

int Event(struct gensio*, void* data, int event, int err, unsigned char* buffer, gensiods* length,
          const char* const*) {
    NetLink& link = *static_cast<NetLink*>(data);
    switch (event) {
    case GENSIO_EVENT_READ:
        if (err != 0) {
            Lose(link, err);
            return 0;
        }
        return Deliver(link, buffer, length);
    case GENSIO_EVENT_WRITE_READY:
        FlushOut(link);
        return 0;
    default:
        return GE_NOTSUP;  // the exporter's line and modem state reports are not asked for
    }
}

void Verified(NetLink& link) {
    link.verified = true;
    if (!link.early.empty()) {  // what came before the answer belongs to the line
        ssize_t n = ::send(link.pump_fd, link.early.data(), link.early.size(), MSG_NOSIGNAL);
        (void)n;
        link.early.clear();
    }
    link.os->set_read_handler(link.pump_iod, true);
    EndOpen(link, 0, {});
}

void BaudAnswered(struct sergensio*, int err, unsigned, void* data) {
    NetLink& link = *static_cast<NetLink*>(data);
    if (link.lost || link.closing) return;
    if (err != 0) {
        EndOpen(link, EPROTO, std::string("the exporter refused the line settings: ") + gensio_err_to_str(err));
        return;
    }
    Verified(link);
}

// Why a connection did not come about, in words.
std::string OpenReport(int err) {
    if (err == GE_REMCLOSE) return ClosedAtOnce;
    std::string report = gensio_err_to_str(err);
    if (ErrnoOf(err) == ENXIO) return "the host name does not resolve (" + report + ")";
    if (err == GE_CONNREFUSE) return "nobody listens on that port of the host";
    if (err == GE_HOSTDOWN) return "the host cannot be reached (" + report + ")";
    // An error the system has a code for is said by that code; gensio's words only beside one
    // it has none for.
    return ErrnoOf(err) == EIO ? report : std::string();
}

void OpenDone(struct gensio* io, int err, void* data) {
    NetLink& link = *static_cast<NetLink*>(data);
    if (err != 0) {
        link.lost = true;
        EndOpen(link, err == GE_REMCLOSE ? EBUSY : ErrnoOf(err), OpenReport(err));
        return;
    }
    {
        std::lock_guard lock(link.mutex);
        link.connected = true;
    }
    gensio_set_read_callback_enable(io, true);
    if (!link.address.rfc2217) {
        Verified(link);
        return;
    }
    // The exporter's answer to a query of the speed shows that it speaks RFC 2217.
    struct sergensio* sio = gensio_to_sergensio(io);
    if (sio == nullptr || sergensio_baud(sio, 0, BaudAnswered, &link) != 0)
        EndOpen(link, EPROTO, "the exporter accepted the connection but did not take up RFC 2217 (a raw TCP "
                              "port is named tcp://HOST:PORT)");
}

struct AnswerContext {
    NetLink* link;
    std::shared_ptr<Request> request;
};

void Answer(struct sergensio*, int err, unsigned value, void* data) {
    auto* context = static_cast<AnswerContext*>(data);
    NetLink& link = *context->link;
    std::erase(link.waiting, context->request);
    // An exporter whose device has no modem lines (a pty) leaves DTR and RTS unanswered:
    // the port has none, as a local pty. Any other control left unanswered timed out.
    const bool line = context->request->control == Control::Dtr || context->request->control == Control::Rts;
    {
        std::lock_guard lock(link.mutex);
        context->request->answer = value;
    }
    Finish(link, context->request, err == 0 ? 0 : err != GE_TIMEDOUT ? EIO : line ? ENOTTY : ETIMEDOUT);
    delete context;
}

void Execute(NetLink& link, const std::shared_ptr<Request>& request) {
    struct sergensio* sio = link.lost ? nullptr : gensio_to_sergensio(link.io);
    if (sio == nullptr) {
        Finish(link, request, link.lost ? EIO : ENOTTY);
        return;
    }
    if (request->control == Control::Flush) {
        Finish(link, request, sergensio_flush(sio, request->value) == 0 ? 0 : EIO);
        return;
    }
    for (const auto& row : Answered) {
        if (row.control != request->control) continue;
        auto* context = new AnswerContext{&link, request};
        link.waiting.push_back(request);
        if (row.set(sio, request->value, Answer, context) != 0) {
            std::erase(link.waiting, request);
            delete context;
            Finish(link, request, EIO);
        }
        return;
    }
    Finish(link, request, EINVAL);
}

void ControlReady(struct gensio_iod*, void* data) {
    NetLink& link = *static_cast<NetLink*>(data);
    std::uint64_t count = 0;
    ssize_t n = ::read(link.ctl_fd, &count, sizeof count);
    (void)n;
    std::deque<std::shared_ptr<Request>> requests;
    bool stop;
    {
        std::lock_guard lock(link.mutex);
        requests.swap(link.queue);
        stop = link.stop;
    }
    for (const auto& request : requests) {
        if (stop) Finish(link, request, EBADF);
        else if (!link.verified) Finish(link, request, EIO);
        else Execute(link, request);
    }
    if (stop) BeginClose(link);
}

void PortReadable(struct gensio_iod*, void* data) {
    NetLink& link = *static_cast<NetLink*>(data);
    if (link.lost || link.closing || !link.out.empty()) return;
    link.out.resize(PumpChunk);
    ssize_t n = ::read(link.pump_fd, link.out.data(), link.out.size());
    if (n <= 0) {
        link.out.clear();
        if (n == 0 || errno != EAGAIN) BeginClose(link);  // the port was closed
        return;
    }
    link.out.resize(static_cast<std::size_t>(n));
    link.out_at = 0;
    FlushOut(link);
}

void PortWritable(struct gensio_iod*, void* data) {
    NetLink& link = *static_cast<NetLink*>(data);
    link.os->set_write_handler(link.pump_iod, false);
    if (!link.lost && !link.closing) gensio_set_read_callback_enable(link.io, true);
}

void Cleared(struct gensio_iod*, void*) {}

std::string GensioString(const NetworkAddress& address) {
    std::string host = address.host;
    // No Nagle delay: the protocol waits for one-byte answers to every chunk.
    std::string text = address.rfc2217 ? "telnet(rfc2217),tcp(nodelay)," : "tcp(nodelay),";
    return text + host + "," + std::to_string(address.port);
}

// The one event loop of all network ports: gensio keeps its protocol classes for the life of
// the loop's functions, so they are made once and never freed.
struct Loop {
    gensio_os_funcs* os = nullptr;
    int new_fd = -1;  // eventfd: links wait in `starting`
    std::mutex mutex;
    std::vector<std::shared_ptr<NetLink>> starting;  // guarded by mutex
    std::vector<std::shared_ptr<NetLink>> live;      // the pump thread's own
};

Loop* loop = nullptr;  // lives until the process ends
std::once_flag loop_once;
int loop_error = 0;

// Takes a new link into the loop and opens its connection.
void StartLink(const std::shared_ptr<NetLink>& shared) {
    NetLink& link = *shared;
    gensio_os_funcs* os = loop->os;
    link.os = os;
    bool ready = os->add_iod(os, GENSIO_IOD_SOCKET, link.pump_fd, &link.pump_iod) == 0 &&
                 os->add_iod(os, GENSIO_IOD_PIPE, link.ctl_fd, &link.ctl_iod) == 0 &&
                 os->set_fd_handlers(link.pump_iod, &link, PortReadable, PortWritable, nullptr, Cleared) == 0 &&
                 os->set_fd_handlers(link.ctl_iod, &link, ControlReady, nullptr, nullptr, Cleared) == 0;
    loop->live.push_back(shared);
    if (!ready) {
        EndOpen(link, EIO, "gensio refused the descriptors");
        link.lost = link.finished = true;
        return;
    }
    os->set_read_handler(link.ctl_iod, true);
    const std::string gensio_string = GensioString(link.address);
    int rc = str_to_gensio(gensio_string.c_str(), os, Event, &link, &link.io);
    if (rc == 0) rc = gensio_open(link.io, OpenDone, &link);
    if (rc != 0) {
        EndOpen(link, rc == GE_REMCLOSE ? EBUSY : ErrnoOf(rc), OpenReport(rc));
        link.lost = true;
        BeginClose(link);
    }
    ControlReady(nullptr, &link);  // a stop that came before the start
}

// Lets go of the links whose connection has closed.
void Retire() {
    gensio_os_funcs* os = loop->os;
    std::erase_if(loop->live, [os](const std::shared_ptr<NetLink>& link) {
        if (!link->finished) return false;
        for (gensio_iod* iod : {link->pump_iod, link->ctl_iod}) {
            if (iod == nullptr) continue;
            os->clear_fd_handlers_norpt(iod);
            os->release_iod(iod);
        }
        link->pump_iod = link->ctl_iod = nullptr;
        if (link->io) gensio_free(link->io);
        link->io = nullptr;
        for (const auto& request : link->waiting) Finish(*link, request, EIO);
        link->waiting.clear();
        ::shutdown(link->pump_fd, SHUT_RDWR);
        {
            std::lock_guard lock(link->mutex);
            link->retired = true;
        }
        link->changed.notify_all();
        return true;
    });
}

void LinksArrived(struct gensio_iod*, void*) {
    std::uint64_t count = 0;
    ssize_t n = ::read(loop->new_fd, &count, sizeof count);
    (void)n;
    std::vector<std::shared_ptr<NetLink>> arrived;
    {
        std::lock_guard lock(loop->mutex);
        arrived.swap(loop->starting);
    }
    for (const auto& link : arrived) StartLink(link);
}

void RunLoop() {
    // A write to a connection the exporter dropped fails with EPIPE here rather than ending
    // the program: gensio's own writes cannot be given MSG_NOSIGNAL.
    BlockSignal(SIGPIPE);
    for (;;) {
        loop->os->service(loop->os, nullptr);
        Retire();
    }
}

void MakeLoop() {
    auto* made = new Loop;
    selector_s* selector = nullptr;
    gensio_iod* iod = nullptr;
    made->new_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (made->new_fd < 0 || sel_alloc_selector_nothread(&selector) != 0 ||
        gensio_unix_funcs_alloc(selector, 0, &made->os) != 0 ||
        made->os->add_iod(made->os, GENSIO_IOD_PIPE, made->new_fd, &iod) != 0 ||
        made->os->set_fd_handlers(iod, nullptr, LinksArrived, nullptr, nullptr, Cleared) != 0) {
        loop_error = EIO;
        return;  // every network open fails; nothing of the half-made loop is used
    }
    made->os->set_read_handler(iod, true);
    loop = made;
    std::thread(RunLoop).detach();  // serves until the process ends
}

}  // namespace

int StartPump(const std::shared_ptr<NetLink>& link) {
    std::call_once(loop_once, MakeLoop);
    if (loop == nullptr) return loop_error;
    {
        std::lock_guard lock(loop->mutex);
        loop->starting.push_back(link);
    }
    SignalWake(loop->new_fd);
    return 0;
}

void StopNetLink(NetLink& link) {
    std::unique_lock lock(link.mutex);
    if (!link.stop) {
        link.stop = true;
        SignalWake(link.ctl_fd);
    }
    // The loop lets go of the link's descriptors before the caller goes on: a descriptor the
    // caller makes next may take the number of one the loop still watches.
    link.changed.wait_for(lock, std::chrono::milliseconds(NetAnswerTimeoutMs), [&] { return link.retired; });
}

}  // namespace platform::internal
