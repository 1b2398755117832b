// Implemented in platform/devices/net_port.cpp and platform/devices/net_pump.cpp.
// Serial ports across the network through libgensio.
//
// How it works: a network port is a SerialPort like any other, so reads, writes, time-outs and
// event waits run unchanged: its descriptor is one end of a Unix socket pair. One event loop
// thread for all network ports owns the gensio connections and relays bytes between each and
// the other end of its pair; the tty requests the port layer makes (line settings, DTR/RTS, purge) come to
// NetIoctl instead of the kernel and go out as RFC 2217 COM port controls, each waited for
// within NetAnswerTimeoutMs. A line setting (speed, data bits, parity, stop bits) the exporter
// leaves unanswered fails with ETIMEDOUT, one it answers with another value with EPROTO, each
// with the reason in the last error's text; an answer of 0 ("not supported": the exporter
// does not set its port) is said once (SetPortNoteHandler) and the port goes on. The first
// setting sends all four, since the exporter's own are not known. A raw `tcp://` port has no line control: its settings are kept
// and it has no modem lines, as a pty. A connection that ends shuts the pair down, so the port
// reads end-of-file as a hung-up tty does and the line counts as lost.
//
// Index: NetLink OpenNetworkPort NetIoctl StopNetLink NetOpenTimeoutMs
// NetAnswerTimeoutMs
#pragma once

#include <memory>
#include <string>

namespace platform::internal {

struct SerialPort;
struct NetLink;

// The bound on an open: the connection, and for rfc2217:// the exporter's first answer.
inline constexpr int NetOpenTimeoutMs = 10000;
// The bound on the exporter's answer to one COM port control.
inline constexpr int NetAnswerTimeoutMs = 5000;

// Connects to `path` (a well-formed network entry); null with the last error set, its text
// the reason ("no connection within 10 s (the host does not answer)").
std::shared_ptr<SerialPort> OpenNetworkPort(const char* path);
// A tty request on a network port, as ioctl answers: 0, or -1 with errno; a line setting
// (TCSETS2) that fails sets the last error too, with the exporter's reason when it gave one.
int NetIoctl(SerialPort& port, unsigned long request, void* argument);
// Ends the connection (the port was closed) and waits (bounded) until the event loop has let go
// of the link and its descriptors.
void StopNetLink(NetLink& link);

}  // namespace platform::internal
