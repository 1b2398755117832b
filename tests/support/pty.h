// A pseudo-terminal for serial tests: the test holds the master (the "far end"), the code under
// test opens the slave path like any tty. Reads on the master are bounded by poll.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/pty.h"

namespace fwu_test {

class Pty {
public:
    Pty() {
        std::string error;
        sim::OpenPtyMaster(false, &master_, &slave_, &error);
    }
    ~Pty() { CloseMaster(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool ok() const { return master_ >= 0 && !slave_.empty(); }
    int master() const { return master_; }
    const char* slave() const { return slave_.c_str(); }

    // The far end goes away, as a pulled USB adapter does.
    void CloseMaster() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

    bool Send(const std::vector<std::uint8_t>& bytes) {
        return ::write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

    // Whatever arrives within `ms` of silence, up to `limit` bytes.
    std::vector<std::uint8_t> Receive(int ms, std::size_t limit = 1 << 20) {
        std::vector<std::uint8_t> out;
        while (out.size() < limit) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, ms) != 1 || !(p.revents & POLLIN)) break;
            std::uint8_t buffer[4096];
            std::size_t want = std::min(sizeof buffer, limit - out.size());
            ssize_t n = ::read(master_, buffer, want);
            if (n <= 0) break;
            out.insert(out.end(), buffer, buffer + n);
        }
        return out;
    }

private:
    int master_ = -1;
    std::string slave_;
};

}  // namespace fwu_test
