#include "sim/control_service.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t MaxConnections = 64;

struct Connection {
    int fd = -1;
    unsigned char code[4] = {0, 0, 0, 0};
    std::size_t got = 0;
    bool answer_pending = false;  // a late answer waits for `answer_at`
    Clock::time_point answer_at{};
    std::uint32_t received = 0;
};

}  // namespace

struct ControlService::State {
    std::string path;
    Handler handler;
    int listener = -1;
    int wake = -1;
    std::thread thread;
    mutable std::mutex mutex;  // guards codes and fault
    std::vector<std::uint32_t> codes;
    ControlFault fault;
    std::vector<Connection> connections;  // the service thread's own

    void Serve();
    void Accept();
    void ReadCode(Connection* c);
    void Answer(Connection* c, std::uint32_t status);
};

ControlService::ControlService() : state_(std::make_unique<State>()) {}
ControlService::~ControlService() { Stop(); }

bool ControlService::Start(const std::string& path, Handler handler, std::string* error) {
    State& s = *state_;
    auto fail = [&](const char* step) {
        *error = path + ": " + step + ": " + std::strerror(errno);
        Stop();
        return false;
    };
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return fail("socket path");
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    s.path = path;
    s.handler = std::move(handler);
    s.wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (s.wake < 0) return fail("eventfd");
    s.listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s.listener < 0) return fail("socket");
    if (::bind(s.listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return fail("bind");
    if (::listen(s.listener, 16) != 0) return fail("listen");
    s.thread = std::thread([&s] { s.Serve(); });
    return true;
}

void ControlService::Stop() {
    State& s = *state_;
    if (s.thread.joinable()) {
        std::uint64_t one = 1;
        while (::write(s.wake, &one, sizeof one) < 0 && errno == EINTR) {
        }
        s.thread.join();
    }
    for (auto& c : s.connections) ::close(c.fd);
    s.connections.clear();
    if (s.listener >= 0) {
        ::close(s.listener);
        ::unlink(s.path.c_str());
    }
    if (s.wake >= 0) ::close(s.wake);
    s.listener = s.wake = -1;
}

std::vector<std::uint32_t> ControlService::Codes() const {
    std::lock_guard lock(state_->mutex);
    return state_->codes;
}

void ControlService::SetFault(const ControlFault& fault) {
    std::lock_guard lock(state_->mutex);
    state_->fault = fault;
}

void ControlService::State::Serve() {
    std::vector<pollfd> fds;
    for (;;) {
        fds.clear();
        fds.push_back({wake, POLLIN, 0});
        fds.push_back({listener, static_cast<short>(connections.size() < MaxConnections ? POLLIN : 0), 0});
        int timeout = -1;
        const auto now = Clock::now();
        for (auto& c : connections) {
            // A connection waiting for its late answer is left out of the poll (fd -1): a client
            // that gave up would otherwise poll as hung up again and again until the deadline.
            fds.push_back({c.answer_pending ? -1 : c.fd, POLLIN, 0});
            if (c.answer_pending) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(c.answer_at - now).count();
                int ms = static_cast<int>(std::max<long long>(0, left + 1));
                timeout = timeout < 0 ? ms : std::min(timeout, ms);
            }
        }
        if (::poll(fds.data(), fds.size(), timeout) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[0].revents) return;  // Stop
        // Connections first (their pollfds follow the listener's, in order), then new ones.
        for (std::size_t i = 0; i < connections.size(); ++i) {
            Connection& c = connections[i];
            if (c.answer_pending) {
                if (Clock::now() >= c.answer_at) Answer(&c, handler(c.received));
            } else if (fds[i + 2].revents) {
                ReadCode(&c);
            }
        }
        connections.erase(std::remove_if(connections.begin(), connections.end(),
                                         [](const Connection& c) { return c.fd < 0; }),
                          connections.end());
        if (fds[1].revents & POLLIN) Accept();
    }
}

void ControlService::State::Accept() {
    for (;;) {
        int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) return;  // EAGAIN: none left
        Connection c;
        c.fd = fd;
        connections.push_back(c);
        if (connections.size() >= MaxConnections) return;
    }
}

void ControlService::State::ReadCode(Connection* c) {
    ssize_t n = ::read(c->fd, c->code + c->got, sizeof c->code - c->got);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {  // the client went away before a whole code
        ::close(c->fd);
        c->fd = -1;
        return;
    }
    c->got += static_cast<std::size_t>(n);
    if (c->got < sizeof c->code) return;
    const std::uint32_t code = static_cast<std::uint32_t>(c->code[0]) |
                               static_cast<std::uint32_t>(c->code[1]) << 8 |
                               static_cast<std::uint32_t>(c->code[2]) << 16 |
                               static_cast<std::uint32_t>(c->code[3]) << 24;
    c->received = code;
    ControlFault strike;
    {
        std::lock_guard lock(mutex);
        codes.push_back(code);
        if (fault.kind != ControlFault::Kind::None && fault.times != 0 &&
            (fault.code == 0 || fault.code == code)) {
            strike = fault;
            if (fault.times > 0) --fault.times;
        }
    }
    switch (strike.kind) {
    case ControlFault::Kind::Refuse:
        Answer(c, strike.status);
        break;
    case ControlFault::Kind::CloseWithoutAnswer:
        ::close(c->fd);
        c->fd = -1;
        break;
    case ControlFault::Kind::AnswerLate:
        // The driver carries the control out when it answers, however late.
        c->answer_pending = true;
        c->answer_at = Clock::now() + std::chrono::milliseconds(strike.delay_ms);
        break;
    case ControlFault::Kind::None:
        Answer(c, handler(code));
        break;
    }
}

void ControlService::State::Answer(Connection* c, std::uint32_t status) {
    unsigned char out[4] = {static_cast<unsigned char>(status), static_cast<unsigned char>(status >> 8),
                            static_cast<unsigned char>(status >> 16),
                            static_cast<unsigned char>(status >> 24)};
    // Four bytes always fit a fresh connection's buffer; a client that has gone is no error.
    ssize_t n;
    do n = ::send(c->fd, out, sizeof out, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    ::close(c->fd);
    c->fd = -1;
    c->answer_pending = false;
}

}  // namespace sim
