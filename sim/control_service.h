// Implemented in sim/control_service.cpp.
// A simulated driver service on a Unix stream socket (the radio driver, the kernel): one
// control per connection, a 32-bit little-endian code in, a 32-bit little-endian status out.
// One thread sleeps in poll on the listener, the connections and a wake-up descriptor; a late
// answer is a deadline in that poll, so one slow control never holds up another. Every code
// received is recorded, also when a fault then refuses it or drops the connection.
//
// Index: ControlFault ControlService::Start Stop Codes SetFault
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sim {

struct ControlFault {
    enum class Kind { None, Refuse, CloseWithoutAnswer, AnswerLate };
    Kind kind = Kind::None;
    std::uint32_t code = 0;    // the control it strikes; 0: any control
    std::uint32_t status = 31; // Refuse: the status answered (non-zero)
    int delay_ms = 0;          // AnswerLate: how long after the code the status goes out
    int times = -1;            // how many controls it strikes; -1: all of them
};

class ControlService {
public:
    // The status to answer for a code (runs on the service's thread).
    using Handler = std::function<std::uint32_t(std::uint32_t code)>;

    ControlService();
    ~ControlService();
    ControlService(const ControlService&) = delete;
    ControlService& operator=(const ControlService&) = delete;

    // Binds and listens at path and starts serving. False with *error set.
    bool Start(const std::string& path, Handler handler, std::string* error);
    // Stops the thread, closes every descriptor and removes the socket file.
    void Stop();
    std::vector<std::uint32_t> Codes() const;
    void SetFault(const ControlFault& fault);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace sim
