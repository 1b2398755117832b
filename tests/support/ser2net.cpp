// Starting and ending ser2net for the network port tests.
#include "tests/support/ser2net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace fwu_test {

namespace {

constexpr const char* Ser2netCandidates[] = {"/usr/sbin/ser2net", "/usr/bin/ser2net", "/usr/local/sbin/ser2net"};
// How long ser2net may take to listen on every accepter.
constexpr auto ListenBound = std::chrono::seconds(10);
constexpr auto ListenPoll = std::chrono::milliseconds(20);

// Ports are taken below the kernel's range for outgoing connections (32768 up by default),
// so that no connection of another test takes a port between its choice and ser2net's bind.
constexpr unsigned LowestPort = 20000;
constexpr unsigned PortSpan = 12000;

// `count` TCP ports of loopback that nobody uses now, all different (each held until all are
// found).
std::vector<unsigned> FreePorts(std::size_t count) {
    std::vector<int> held;
    std::vector<unsigned> ports;
    std::random_device seed;
    unsigned candidate = LowestPort + seed() % PortSpan;
    for (unsigned tries = 0; ports.size() < count && tries < PortSpan; ++tries) {
        candidate = LowestPort + (candidate - LowestPort + 1) % PortSpan;
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(candidate));
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            held.push_back(fd);
            ports.push_back(candidate);
        } else {
            ::close(fd);
        }
    }
    for (int fd : held) ::close(fd);
    return ports;
}

// Whether something listens on the port: a bind fails once ser2net holds it (a connection
// would open the exported device).
bool Listening(unsigned port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    bool taken = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 && errno == EADDRINUSE;
    ::close(fd);
    return taken;
}

}  // namespace

std::string Ser2netPath() {
    for (const char* path : Ser2netCandidates) {
        if (::access(path, X_OK) == 0) return path;
    }
    return {};
}

Exporter::~Exporter() { Kill(); }

bool Exporter::Start(const std::vector<Export>& exports, const std::string& directory, std::string* error) {
    const std::string program = Ser2netPath();
    if (program.empty()) {
        *error = "ser2net is not installed";
        return false;
    }
    exports_ = exports;
    const std::string config = directory + "/ser2net.yaml";
    log_ = directory + "/ser2net.log";
    std::ofstream yaml(config);
    ports_ = FreePorts(exports.size());
    for (std::size_t i = 0; i < exports.size(); ++i) {
        const char* tcp = exports[i].nodelay ? "tcp(nodelay)," : "tcp,";
        yaml << "connection: &port" << i << "\n"
             << "  accepter: " << (exports[i].rfc2217 ? "telnet(rfc2217)," : "") << tcp << "127.0.0.1," << ports_[i]
             << "\n  connector: serialdev," << exports[i].device << ",115200n81,local\n"
             << "  options:\n    kickolduser: false\n";
        for (const std::string& option : exports[i].options) yaml << "    " << option << "\n";
    }
    yaml.close();
    pid_ = ::fork();
    if (pid_ == 0) {
        int out = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(out, 1);
        ::dup2(out, 2);
        ::execl(program.c_str(), program.c_str(), "-n", "-d", "-c", config.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    if (pid_ < 0) {
        *error = "fork failed";
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + ListenBound;
    for (unsigned port : ports_) {
        while (!Listening(port)) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                *error = "ser2net ended: " + Log();
                return false;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                *error = "ser2net did not listen on port " + std::to_string(port) + ": " + Log();
                return false;
            }
            std::this_thread::sleep_for(ListenPoll);
        }
    }
    return true;
}

std::string Exporter::Url(std::size_t i) const {
    return std::string(exports_[i].rfc2217 ? "rfc2217" : "tcp") + "://127.0.0.1:" + std::to_string(ports_[i]);
}

void Exporter::Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

std::string Exporter::Log() const {
    std::ifstream in(log_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace fwu_test
