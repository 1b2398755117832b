#include "tests/support/socket_service.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace fwu_test {
namespace {

std::string MakeDirectory() {
    char pattern[] = "/tmp/fwu-test-XXXXXX";
    if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

int Listen(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 8) != 0)
        throw std::runtime_error("cannot listen on " + path);
    return fd;
}

}  // namespace

struct SocketService::State {
    std::string directory, path;
    int listener = -1, wake = -1;
    std::thread thread;
    mutable std::mutex mutex;
    Reply reply = Reply::Status;
    std::uint32_t status = 0;
    std::vector<std::uint32_t> codes;
    std::vector<int> silent;  // connections held open without an answer
    int connections = 0;
    int finished = 0;
    mutable std::condition_variable finished_changed;

    void Serve() {
        for (;;) {
            pollfd fds[2] = {{wake, POLLIN, 0}, {listener, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) continue;
            if (fds[0].revents) return;
            int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            unsigned char in[4];
            std::size_t got = 0;
            while (got < 4) {
                ssize_t n = ::read(fd, in + got, 4 - got);
                if (n <= 0) break;
                got += static_cast<std::size_t>(n);
            }
            std::lock_guard lock(mutex);
            ++connections;
            if (got == 4) codes.push_back(in[0] | in[1] << 8 | in[2] << 16 | static_cast<std::uint32_t>(in[3]) << 24);
            if (reply == Reply::Silent) {
                silent.push_back(fd);
                continue;
            }
            if (reply == Reply::Status) {
                unsigned char out[4] = {static_cast<unsigned char>(status), static_cast<unsigned char>(status >> 8),
                                        static_cast<unsigned char>(status >> 16),
                                        static_cast<unsigned char>(status >> 24)};
                (void)::send(fd, out, 4, MSG_NOSIGNAL);
            }
            ::close(fd);
            ++finished;
            finished_changed.notify_all();
        }
    }
};

SocketService::SocketService() : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.directory = MakeDirectory();
    s.path = s.directory + "/service.sock";
    s.listener = Listen(s.path);
    s.wake = ::eventfd(0, EFD_CLOEXEC);
    s.thread = std::thread([&s] { s.Serve(); });
}

SocketService::~SocketService() {
    State& s = *state_;
    std::uint64_t one = 1;
    (void)::write(s.wake, &one, sizeof one);
    s.thread.join();
    for (int fd : s.silent) ::close(fd);
    ::close(s.listener);
    ::close(s.wake);
    ::unlink(s.path.c_str());
    ::rmdir(s.directory.c_str());
}

const std::string& SocketService::path() const { return state_->path; }

void SocketService::Script(Reply reply, std::uint32_t status) {
    std::lock_guard lock(state_->mutex);
    state_->reply = reply;
    state_->status = status;
}

std::vector<std::uint32_t> SocketService::Codes() const {
    std::lock_guard lock(state_->mutex);
    return state_->codes;
}

int SocketService::Connections() const {
    std::lock_guard lock(state_->mutex);
    return state_->connections;
}

bool SocketService::WaitFinished(int count, int timeout_ms) const {
    std::unique_lock lock(state_->mutex);
    return state_->finished_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                             [&] { return state_->finished >= count; });
}

DeadSocket::DeadSocket(bool bound) : directory_(MakeDirectory()), path_(directory_ + "/dead.sock") {
    if (bound) {
        // Bound and closed: the socket file stays, nobody listens on it.
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, path_.c_str());
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot bind " + path_);
        ::close(fd);
    }
}

DeadSocket::~DeadSocket() {
    ::unlink(path_.c_str());
    ::rmdir(directory_.c_str());
}

}  // namespace fwu_test
