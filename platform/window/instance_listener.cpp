// The listener of the one-window-per-user socket: one thread per window, serving every client
// at once. It polls the listening socket and all connections together, each connection with
// its own deadline, so an idle, slow or half-sent one never holds up another. A request for the
// window is queued to the window's thread without waiting (QueueSentCall); its completion wakes
// the listener, which then writes the reply. A full backlog is drained in one go. An awaiting
// sender's answer may be deferred by its handler (DeferReply): the connection then waits, not
// polled, until CompleteReply or the window's end answers it. When every slot waits for the
// window, a newcomer is answered EBUSY at once. Only the holder of the instance lock listens
// (instance.h), so a socket file found at bind is a dead window's and is replaced.
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "platform/base/format.h"
#include "platform/window/instance.h"
#include "platform/window/screen_seam.h"
#include "platform/base/sys.h"
#include "platform/window/window_state.h"

namespace platform::internal {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int RequestTimeoutMs = 2000;  // a client has this long to send its whole request
constexpr int ReplyTimeoutMs = 1000;    // and to take its reply
constexpr int ListenBacklog = 64;
// Connections held at once; beyond it the oldest one still sending its request gives way.
constexpr std::size_t MaxClients = 64;
constexpr int AcceptPauseMs = 100;  // out of descriptors: how long the backlog waits
constexpr std::uint32_t MaxCommandId = 0xFFFF;

struct Listener {
    Hwnd window = 0;
    std::string path;
    std::string lock_path;
    int listen_fd = -1;
    int stop_fd = -1;
    dev_t device = 0;
    ino_t inode = 0;
    bool stopped = false;  // guarded by listeners_mutex
    // Only its eventfd is used: the window's answers wake the listener through it.
    std::shared_ptr<Queue> waker;
    std::thread thread;
};

std::mutex listeners_mutex;
std::vector<std::shared_ptr<Listener>>& Listeners() {
    static auto* list = new std::vector<std::shared_ptr<Listener>>;  // lives until the process ends
    return *list;
}

enum class Phase { Request, Window, Deferred, Reply };

// Answers that an awaiting sender's handler deferred, by ticket; the listener's waker is woken
// on completion.
struct Deferral {
    std::shared_ptr<Queue> waker;
    bool deferred = false;
    bool completed = false;
    bool window_gone = false;
    LResult result = 0;
    LResult if_abandoned = 0;
};
std::mutex deferrals_mutex;
std::map<ReplyTicket, Deferral>& Deferrals() {
    static auto* deferrals = new std::map<ReplyTicket, Deferral>;
    return *deferrals;
}
ReplyTicket last_ticket = 0;                 // guarded by deferrals_mutex
thread_local ReplyTicket awaiting_ticket = 0;  // the window's thread, inside an awaited command

ReplyTicket NewDeferral(const std::shared_ptr<Queue>& waker) {
    std::lock_guard lock(deferrals_mutex);
    if (++last_ticket == 0) ++last_ticket;
    Deferrals()[last_ticket].waker = waker;
    return last_ticket;
}

void ForgetDeferral(ReplyTicket ticket) {
    if (ticket == 0) return;
    std::lock_guard lock(deferrals_mutex);
    Deferrals().erase(ticket);
}

struct Client {
    int fd = -1;
    Phase phase = Phase::Request;
    Clock::time_point deadline;  // of the request or the reply; none while the window works
    InstanceRequest request{};
    std::size_t received = 0;
    std::shared_ptr<SentCall> call;
    ReplyTicket ticket = 0;  // an awaiting sender's
    InstanceReply reply{InstanceMagic, 0, 0};
    std::size_t sent = 0;
};

void StartReply(Client* client) {
    client->phase = Phase::Reply;
    client->deadline = Clock::now() + std::chrono::milliseconds(ReplyTimeoutMs);
}

// Queues the request's message to the window; a request that needs no window is answered.
void Dispatch(const Listener& listener, const std::shared_ptr<Queue>& waker, Client* client) {
    const InstanceRequest& request = client->request;
    if (request.op == InstancePing && request.argument == 0) {
        client->reply.result = ::getpid();  // a second start names the process it found
        return StartReply(client);
    }
    // A request that does not fit its form is refused whole: a command id has 16 bits, the
    // other requests take no argument.
    const bool is_command = request.op == InstanceCommand || request.op == InstanceCommandAwait;
    if ((request.op != InstanceFront && !is_command) || (is_command && request.argument > MaxCommandId) ||
        (!is_command && request.argument != 0)) {
        client->reply.status = EINVAL;
        return StartReply(client);
    }
    auto window = LookupWindow(listener.window);
    auto call = std::make_shared<SentCall>();
    const WParam command = MakeWParam(static_cast<std::uint16_t>(request.argument), 0);
    if (request.op == InstanceCommandAwait) {
        // Run on the window's thread with the ticket at hand, so that the handler can defer.
        const ReplyTicket ticket = NewDeferral(waker);
        const Hwnd hwnd = listener.window;
        client->ticket = ticket;
        call->call = [hwnd, command, ticket]() -> LResult {
            if (!IsWindow(hwnd)) {
                std::lock_guard lock(deferrals_mutex);
                Deferrals()[ticket].window_gone = true;
                return 0;
            }
            awaiting_ticket = ticket;
            LResult result = SendMessage(hwnd, WM_COMMAND, command, 0);
            awaiting_ticket = 0;
            return result;
        };
    } else {
        call->hwnd = listener.window;
        call->message = request.op == InstanceFront ? WM_FWU_FOREGROUND : WM_COMMAND;
        call->wparam = request.op == InstanceFront ? 0 : command;
    }
    call->waiter = waker;
    if (!window || !QueueSentCall(window->queue, call)) {
        client->reply.status = ESRCH;
        return StartReply(client);
    }
    client->call = call;
    client->phase = Phase::Window;
}

// The window answered (or went away): the reply is ready.
bool TakeAnswer(const Listener& listener, Client* client) {
    bool handled;
    LResult result;
    {
        std::lock_guard lock(client->call->mutex);
        if (!client->call->done) return false;
        handled = client->call->handled;
        result = client->call->result;
    }
    if (client->request.op == InstanceFront) {
        if (handled && result != 0) {
            CurrentScreen().AttentionRequested(listener.window);
        } else {
            client->reply.status = ESRCH;
        }
    } else if (handled) {
        client->reply.result = result;
    } else {
        client->reply.status = ESRCH;
    }
    client->call.reset();
    if (client->ticket != 0 && handled) {
        std::lock_guard lock(deferrals_mutex);
        const Deferral& deferral = Deferrals()[client->ticket];
        if (deferral.window_gone) client->reply.status = ESRCH;
        if (deferral.deferred && !deferral.completed) {
            client->phase = Phase::Deferred;
            return true;
        }
        if (deferral.completed) client->reply.result = deferral.result;
    }
    StartReply(client);
    return true;
}

// A deferred answer came, or (`abandon`) the window is going: the reply is ready.
bool TakeDeferred(Client* client, bool abandon) {
    {
        std::lock_guard lock(deferrals_mutex);
        const Deferral& deferral = Deferrals()[client->ticket];
        if (!deferral.completed && !abandon) return false;
        client->reply.result = deferral.completed ? deferral.result : deferral.if_abandoned;
    }
    StartReply(client);
    return true;
}

// One step of a connection whose descriptor is ready; false when it is finished with.
bool Step(const Listener& listener, const std::shared_ptr<Queue>& waker, Client* client) {
    if (client->phase == Phase::Request) {
        auto* into = reinterpret_cast<char*>(&client->request) + client->received;
        ssize_t n = SysRead(client->fd, into, sizeof client->request - client->received);
        if (n < 0 && errno == EAGAIN) return true;
        if (n <= 0) return false;
        client->received += static_cast<std::size_t>(n);
        if (client->received < sizeof client->request) return true;
        if (client->request.magic != InstanceMagic) return false;
        Dispatch(listener, waker, client);
    }
    if (client->phase != Phase::Reply) return true;
    // send() with MSG_NOSIGNAL: a client that went away is an error here, never a SIGPIPE.
    const auto* from = reinterpret_cast<const char*>(&client->reply) + client->sent;
    ssize_t n = ::send(client->fd, from, sizeof client->reply - client->sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    if (n <= 0) return false;
    client->sent += static_cast<std::size_t>(n);
    return client->sent < sizeof client->reply;
}

void Drop(std::vector<Client>* clients, std::size_t index) {
    SysClose((*clients)[index].fd);
    ForgetDeferral((*clients)[index].ticket);
    clients->erase(clients->begin() + static_cast<std::ptrdiff_t>(index));
}

// Takes every waiting connection; peers of other users are closed without a word. False when
// the process is out of descriptors or memory: the backlog waits a moment instead of spinning.
bool AcceptAll(const Listener& listener, std::vector<Client>* clients) {
    for (;;) {
        int fd = SysAccept4(listener.listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return errno == EAGAIN;
        }
        if (!PeerIsThisUser(fd)) {
            SysClose(fd);
            continue;
        }
        if (clients->size() >= MaxClients) {
            auto oldest = std::find_if(clients->begin(), clients->end(),
                                       [](const Client& c) { return c.phase == Phase::Request; });
            if (oldest == clients->end()) {
                // Every slot waits for the window: the newcomer is told so (a fresh socket's
                // buffer takes the reply whole) and may try again.
                InstanceReply busy{InstanceMagic, EBUSY, ::getpid()};
                (void)::send(fd, &busy, sizeof busy, MSG_NOSIGNAL | MSG_DONTWAIT);
                // A request left unread would turn the close into a reset for the newcomer.
                InstanceRequest unread;
                (void)::recv(fd, &unread, sizeof unread, MSG_DONTWAIT);
                SysClose(fd);
                continue;
            }
            Drop(clients, static_cast<std::size_t>(oldest - clients->begin()));
        }
        Client client;
        client.fd = fd;
        client.deadline = Clock::now() + std::chrono::milliseconds(RequestTimeoutMs);
        clients->push_back(client);
    }
}

// The earliest of the connections' deadlines and `also` (max: none); -1 for none at all.
int PollTimeout(const std::vector<Client>& clients, Clock::time_point also) {
    auto earliest = also;
    for (const Client& client : clients) {
        if (client.phase == Phase::Request || client.phase == Phase::Reply) {
            earliest = std::min(earliest, client.deadline);
        }
    }
    if (earliest == Clock::time_point::max()) return -1;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(earliest - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

void Serve(std::shared_ptr<Listener> listener) {
    const std::shared_ptr<Queue>& waker = listener->waker;
    std::vector<Client> clients;
    std::vector<pollfd> fds;
    bool stopping = false;
    Clock::time_point grace{};
    Clock::time_point accept_again{};  // after running out of descriptors
    while (!stopping || (!clients.empty() && Clock::now() < grace)) {
        const bool accepting = !stopping && Clock::now() >= accept_again;
        fds.clear();
        fds.push_back({accepting ? listener->listen_fd : -1, POLLIN, 0});
        fds.push_back({stopping ? -1 : listener->stop_fd, POLLIN, 0});
        fds.push_back({waker->wake_fd, POLLIN, 0});
        for (const Client& client : clients) {
            // A connection waiting for the window is not polled: its hang-up would spin the loop.
            short events = client.phase == Phase::Request ? POLLIN : client.phase == Phase::Reply ? POLLOUT : 0;
            fds.push_back({events ? client.fd : -1, events, 0});
        }
        auto wake_at = stopping ? grace : accepting ? Clock::time_point::max() : accept_again;
        if (SysPoll(fds.data(), fds.size(), PollTimeout(clients, wake_at)) < 0) break;
        if (fds[1].revents) {
            // The window is gone: calls in flight are answered (0) by its destruction; what is
            // still being sent is not served any more.
            stopping = true;
            grace = Clock::now() + std::chrono::milliseconds(ReplyTimeoutMs);
        }
        if (fds[2].revents) waker->Drain();
        auto now = Clock::now();
        std::vector<bool> finished(clients.size(), false);
        for (std::size_t i = 0; i < clients.size(); ++i) {
            Client& client = clients[i];
            if (client.phase == Phase::Window && !TakeAnswer(*listener, &client)) continue;
            if (client.phase == Phase::Deferred && !TakeDeferred(&client, stopping)) continue;
            bool ready = fds[3 + i].revents != 0 || client.phase == Phase::Reply;
            if (stopping && client.phase == Phase::Request) {
                finished[i] = true;
            } else if (ready && !Step(*listener, waker, &client)) {
                finished[i] = true;
            } else if (client.phase != Phase::Window && client.phase != Phase::Deferred && client.deadline <= now) {
                finished[i] = true;  // too slow to send its request or take its reply
            }
        }
        for (std::size_t i = clients.size(); i-- > 0;) {
            if (finished[i]) Drop(&clients, i);
        }
        if (!stopping && fds[0].revents && !AcceptAll(*listener, &clients)) {
            accept_again = Clock::now() + std::chrono::milliseconds(AcceptPauseMs);
        }
    }
    for (std::size_t i = clients.size(); i-- > 0;) Drop(&clients, i);
    SysClose(listener->listen_fd);
}

// Called under the instance lock: a socket file left there is a dead window's, never a live one.
int BindListener(const std::string& path) {
    sockaddr_un address;
    if (!FillAddress(path, &address)) return -1;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    auto* addr = reinterpret_cast<sockaddr*>(&address);
    if (::bind(fd, addr, sizeof address) != 0 &&
        (errno != EADDRINUSE || ::unlink(path.c_str()) != 0 || ::bind(fd, addr, sizeof address) != 0)) {
        int error = errno;
        SysClose(fd);
        errno = error;
        return -1;
    }
    if (::listen(fd, ListenBacklog) != 0) {
        int error = errno;
        SysClose(fd);
        ::unlink(path.c_str());
        errno = error;
        return -1;
    }
    return fd;
}

// One line on stderr: the window cannot be reached, so it does not run.
void ReportListenerFailure(const std::string& path, int error, std::uint32_t holder) {
    if (error == EEXIST) {
        platform::SayOnStderr("the window of this user already runs (process %u), started at the same "
                              "moment; this start ends",
                              static_cast<unsigned>(holder));
    } else {
        platform::SayOnStderr("%s: cannot listen for other starts: %s; the window ends",
                              path.c_str(), std::strerror(error));
    }
}

}  // namespace

bool StartInstanceListener(const std::shared_ptr<Window>& window) {
    // The start-up has refused a directory that cannot be used; a window made without it
    // (a test's) runs, but cannot be found.
    if (!PrepareRuntimeDirectory(window->class_name.c_str())) return true;
    const std::string directory = RuntimeDirectory();
    const std::string path = InstanceSocketPath(directory, window->class_name.c_str());
    const std::string lock_path = InstanceLockPath(directory, window->class_name.c_str());
    {
        std::lock_guard lock(listeners_mutex);
        for (auto& listener : Listeners()) {
            if (listener->path == path && !listener->stopped) return true;  // one per class
        }
    }
    std::uint32_t holder = 0;
    if (int error = ClaimInstance(lock_path, &holder)) {
        ReportListenerFailure(lock_path, error, holder);
        SetLastError(static_cast<std::uint32_t>(error));
        return false;
    }
    auto listener = std::make_shared<Listener>();
    listener->window = window->handle;
    listener->path = path;
    listener->lock_path = lock_path;
    listener->listen_fd = BindListener(path);
    int error = errno;
    listener->stop_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (listener->stop_fd < 0) error = errno;
    listener->waker = std::make_shared<Queue>();
    listener->waker->wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (listener->waker->wake_fd < 0) error = errno;
    if (listener->listen_fd < 0 || listener->stop_fd < 0 || listener->waker->wake_fd < 0) {
        if (listener->stop_fd >= 0) SysClose(listener->stop_fd);
        if (listener->listen_fd >= 0) {
            SysClose(listener->listen_fd);
            ::unlink(path.c_str());
        }
        ReleaseInstance(lock_path);
        ReportListenerFailure(path, error, 0);
        SetLastError(static_cast<std::uint32_t>(error));
        return false;
    }
    struct stat info {};
    ::stat(path.c_str(), &info);
    listener->device = info.st_dev;
    listener->inode = info.st_ino;
    listener->thread = std::thread(Serve, listener);
    std::lock_guard lock(listeners_mutex);
    Listeners().push_back(listener);
    return true;
}

// Never waits: the listener may be waiting for the very thread calling this.
void StopInstanceListener(Hwnd window) {
    std::lock_guard lock(listeners_mutex);
    for (auto& listener : Listeners()) {
        if (listener->window != window || listener->stopped) continue;
        listener->stopped = true;
        struct stat info {};
        // Only our own socket file: a later window may have replaced it.
        if (::stat(listener->path.c_str(), &info) == 0 && info.st_dev == listener->device &&
            info.st_ino == listener->inode) {
            ::unlink(listener->path.c_str());
        }
        // Once the socket is gone, the next start may take the window's place.
        ReleaseInstance(listener->lock_path);
        std::uint64_t one = 1;
        (void)SysWrite(listener->stop_fd, &one, sizeof one);
    }
}

void JoinStoppedListeners() {
    std::vector<std::shared_ptr<Listener>> stopped;
    {
        std::lock_guard lock(listeners_mutex);
        auto& list = Listeners();
        for (auto it = list.begin(); it != list.end();) {
            if ((*it)->stopped && (*it)->thread.get_id() != std::this_thread::get_id()) {
                stopped.push_back(*it);
                it = list.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& listener : stopped) {
        if (listener->thread.joinable()) listener->thread.join();
        SysClose(listener->stop_fd);
    }
}

}  // namespace platform::internal

namespace platform {

ReplyTicket DeferReply(LResult if_abandoned) {
    using namespace internal;
    if (awaiting_ticket == 0) return 0;
    std::lock_guard lock(deferrals_mutex);
    Deferral& deferral = Deferrals()[awaiting_ticket];
    deferral.deferred = true;
    deferral.if_abandoned = if_abandoned;
    return awaiting_ticket;
}

void CompleteReply(ReplyTicket ticket, LResult result) {
    using namespace internal;
    std::shared_ptr<Queue> waker;
    {
        std::lock_guard lock(deferrals_mutex);
        auto it = Deferrals().find(ticket);
        if (it == Deferrals().end() || it->second.completed) return;
        it->second.completed = true;
        it->second.result = result;
        waker = it->second.waker;
    }
    if (waker) waker->Wake();
}

}  // namespace platform
