// ser2net on loopback, exporting local ttys (the simulated handset's ptys) as network serial
// ports, for tests and benchmarks: a YAML configuration in a directory of the caller's, one
// accepter per device on a free port (RFC 2217 or raw TCP), started in the foreground
// (`ser2net -n -d -c CONFIG`) and killed with the object.
//
// Index: Ser2netPath Export Exporter
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace fwu_test {

// The installed ser2net, or "" when there is none (tests skip then).
std::string Ser2netPath();

struct Export {
    std::string device;  // the tty ser2net opens
    bool rfc2217 = true; // else raw TCP
    bool nodelay = true; // tcp(nodelay) on the accepter
    std::vector<std::string> options = {};  // more connection options, "chardelay: false"
};

class Exporter {
public:
    Exporter() = default;
    ~Exporter();  // kills and reaps ser2net
    Exporter(const Exporter&) = delete;
    Exporter& operator=(const Exporter&) = delete;

    // False with *error set. Returns once every accepter takes connections.
    bool Start(const std::vector<Export>& exports, const std::string& directory, std::string* error);
    // "rfc2217://127.0.0.1:PORT" or "tcp://127.0.0.1:PORT" of export i.
    std::string Url(std::size_t i) const;
    // Ends ser2net at once (SIGKILL): every connection drops.
    void Kill();
    // What ser2net wrote (its log), for failure messages.
    std::string Log() const;

private:
    pid_t pid_ = -1;
    std::string log_;
    std::vector<Export> exports_;
    std::vector<unsigned> ports_;
};

}  // namespace fwu_test
