#include "sim/serial_lines.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace sim {
namespace {

struct Line {
    Pty pty;
    SerialLines::Receiver receiver;
    int feeds = -1;
    // Guarded by State::mutex:
    std::vector<std::uint8_t> out;
    bool hang_up = false;
    // The lines' thread's own:
    bool closed = false;  // hung up on request: the pty is gone
    bool broken = false;  // the master failed (should not happen while the slave is held)
};

}  // namespace

namespace {
// The lines whose thread is the calling one: a Send from that thread needs no wake-up, as
// the thread looks at the queues again before it sleeps.
thread_local const void* serving = nullptr;
}  // namespace

struct SerialLines::State {
    std::vector<Line> lines;
    int wake = -1;
    std::thread thread;
    std::atomic<bool> stopping{false};
    std::mutex mutex;

    void Wake() {
        std::uint64_t one = 1;
        while (::write(wake, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }
    void Serve();
};

SerialLines::SerialLines() : state_(std::make_unique<State>()) {}
SerialLines::~SerialLines() { Stop(); }

int SerialLines::Add(Pty pty) {
    state_->lines.emplace_back();
    state_->lines.back().pty = pty;
    return static_cast<int>(state_->lines.size() - 1);
}

void SerialLines::SetReceiver(int line, Receiver receiver) { state_->lines[line].receiver = std::move(receiver); }

void SerialLines::Feeds(int line, int target) { state_->lines[line].feeds = target; }

bool SerialLines::Start(std::string* error) {
    State& s = *state_;
    s.wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (s.wake < 0) {
        *error = std::string("serial lines: eventfd: ") + std::strerror(errno);
        return false;
    }
    s.thread = std::thread([&s] { s.Serve(); });
    return true;
}

void SerialLines::Stop() {
    State& s = *state_;
    if (s.thread.joinable()) {
        s.stopping.store(true);
        s.Wake();
        s.thread.join();
    }
    for (auto& line : s.lines) ClosePty(&line.pty);
    if (s.wake >= 0) ::close(s.wake);
    s.wake = -1;
}

void SerialLines::Send(int line, const std::uint8_t* data, std::size_t size) {
    State& s = *state_;
    {
        std::lock_guard lock(s.mutex);
        Line& l = s.lines[line];
        if (l.hang_up) return;  // the device is gone: nobody can read it
        l.out.insert(l.out.end(), data, data + size);
    }
    if (serving != &s) s.Wake();
}

void SerialLines::SendAtOnce(int line, const std::uint8_t* data, std::size_t size) {
    State& s = *state_;
    {
        std::lock_guard lock(s.mutex);
        Line& l = s.lines[line];
        if (l.hang_up) return;
        // The master is closed only under this lock (by the lines' thread), so it is still ours.
        if (l.out.empty() && !l.closed && l.pty.master >= 0) {
            ssize_t n;
            do {
                n = ::write(l.pty.master, data, size);
            } while (n < 0 && errno == EINTR);
            if (n > 0) {
                data += n;
                size -= static_cast<std::size_t>(n);
            }
        }
        if (size == 0) return;
        l.out.insert(l.out.end(), data, data + size);
    }
    if (serving != &s) s.Wake();
}

void SerialLines::HangUp(int line) {
    State& s = *state_;
    {
        std::lock_guard lock(s.mutex);
        s.lines[line].hang_up = true;
        s.lines[line].out.clear();
    }
    if (serving != &s) s.Wake();
}

std::string SerialLines::SlavePath(int line) const { return state_->lines[line].pty.slave_path; }

std::uint32_t SerialLines::FrameBits(int line) const {
    const Line& l = state_->lines[line];
    return l.closed || l.broken ? 0 : sim::FrameBits(l.pty.master);
}

void SerialLines::State::Serve() {
    serving = this;
    std::vector<pollfd> fds(lines.size() + 1);
    std::vector<std::uint8_t> buffer(16384);
    while (!stopping.load()) {
        fds[0] = {wake, POLLIN, 0};
        {
            std::lock_guard lock(mutex);
            for (std::size_t i = 0; i < lines.size(); ++i) {
                Line& l = lines[i];
                if (l.hang_up && !l.closed) {
                    // Closing the master here, on the only thread that polls it, so no other
                    // thread can be using the descriptor when it goes.
                    ClosePty(&l.pty);
                    l.closed = true;
                }
                short events = 0;
                if (l.feeds < 0 || lines[l.feeds].out.size() <= RelayBacklog) events |= POLLIN;
                if (!l.out.empty()) events |= POLLOUT;
                fds[i + 1] = {(l.closed || l.broken) ? -1 : l.pty.master, events, 0};
            }
        }
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[0].revents) {
            std::uint64_t count;
            while (::read(wake, &count, sizeof count) > 0) {
            }
        }
        for (std::size_t i = 0; i < lines.size(); ++i) {
            Line& l = lines[i];
            const short revents = fds[i + 1].revents;
            if (revents & (POLLIN | POLLHUP | POLLERR)) {
                ssize_t n = ::read(l.pty.master, buffer.data(), buffer.size());
                if (n > 0) {
                    if (l.receiver) l.receiver(buffer.data(), static_cast<std::size_t>(n));
                } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                    l.broken = true;  // stop polling it rather than spin on a hang-up
                }
            }
            if ((revents & POLLOUT) && !l.broken) {
                std::lock_guard lock(mutex);
                if (!l.out.empty() && !l.closed) {
                    ssize_t n = ::write(l.pty.master, l.out.data(), l.out.size());
                    if (n > 0) l.out.erase(l.out.begin(), l.out.begin() + n);
                }
            }
        }
    }
}

}  // namespace sim
