// Implemented in sim/serial_lines.cpp.
// The simulated handset's serial lines: pseudo-terminal masters served by one thread that
// sleeps in poll beside a wake-up descriptor. Each line hands the bytes the tool (or a host
// program) wrote to its receiver, and keeps a queue of bytes to write back that drains as the
// slave side takes them, so nothing is lost when a reader is slow; a relay line stops reading
// while the queue of the line it feeds is full.
//
// Index: SerialLines::Add SetReceiver Feeds Start Stop Send SendAtOnce HangUp SlavePath FrameBits
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "sim/pty.h"

namespace sim {

class SerialLines {
public:
    using Receiver = std::function<void(const std::uint8_t* data, std::size_t size)>;
    static constexpr std::size_t RelayBacklog = 256 * 1024;

    SerialLines();
    ~SerialLines();
    SerialLines(const SerialLines&) = delete;
    SerialLines& operator=(const SerialLines&) = delete;

    // Before Start: takes the pty over and gives the line's number.
    int Add(Pty pty);
    void SetReceiver(int line, Receiver receiver);
    // `line` pauses its reads while `target` has more than RelayBacklog bytes queued.
    void Feeds(int line, int target);
    bool Start(std::string* error);
    // Ends the thread and closes every pty.
    void Stop();

    // Any thread: queue bytes for the slave side of `line`.
    void Send(int line, const std::uint8_t* data, std::size_t size);
    // Any thread: as Send, but the bytes go onto the pty at once from the calling thread when
    // nothing is queued before them (no hop through the lines' thread); the rest is queued.
    void SendAtOnce(int line, const std::uint8_t* data, std::size_t size);
    // Any thread: the line's device goes away (its master closes; the slave side hangs up).
    void HangUp(int line);
    std::string SlavePath(int line) const;
    // The bits a byte takes on `line` as its slave is set now (sim/pty.h FrameBits); 0 once the
    // line is gone. Only from a receiver: the lines' thread alone closes a master.
    std::uint32_t FrameBits(int line) const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace sim
