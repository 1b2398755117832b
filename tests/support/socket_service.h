// A test's own driver service on a Unix socket, independent of the simulated handset: it
// records the codes it receives and answers each control as the test scripts it (a status,
// closing without an answer, or staying silent until the test ends).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace fwu_test {

class SocketService {
public:
    enum class Reply { Status, Close, Silent };

    // Listens on a fresh path in a private temporary directory.
    SocketService();
    ~SocketService();
    SocketService(const SocketService&) = delete;
    SocketService& operator=(const SocketService&) = delete;

    const std::string& path() const;
    // How the next controls are answered (Status with `status`).
    void Script(Reply reply, std::uint32_t status = 0);
    std::vector<std::uint32_t> Codes() const;
    // Connections accepted so far.
    int Connections() const;
    // Waits (bounded by `timeout_ms`) until `count` connections have been answered or dropped
    // and their descriptors closed; false when that did not happen in time.
    bool WaitFinished(int count, int timeout_ms = 5000) const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// A path in a fresh temporary directory where nothing listens (the directory goes with the
// object); connecting there fails with ECONNREFUSED when `bound` is true (a socket file with
// no listener), ENOENT otherwise.
class DeadSocket {
public:
    explicit DeadSocket(bool bound);
    ~DeadSocket();
    const std::string& path() const { return path_; }

private:
    std::string directory_;
    std::string path_;
};

}  // namespace fwu_test
