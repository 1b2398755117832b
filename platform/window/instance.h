// The wire format of the one-window-per-user socket, for the layer and its tests.
//
// A client connects to DIR/CLASS.sock (the class name with every character other than a
// letter or digit made '_'), writes one Request and reads one Reply; then both sides close.
// The window answers only peers of its own user id (SO_PEERCRED) and closes on anyone else
// without a word.
//
// Index: InstanceRequest InstanceReply InstanceOp RuntimeDirectory InstanceSocketPath |
// FillAddress PeerIsThisUser ConnectToListener
#pragma once

#include <cstdint>
#include <string>

struct sockaddr_un;

namespace platform::internal {

// How long a client waits for a window to take its connection and answer a ping.
inline constexpr int PingTimeoutMs = 2000;

inline constexpr std::uint32_t InstanceMagic = 0x31555746;  // "FWU1"

enum InstanceOp : std::uint32_t {
    InstancePing = 1,     // is a window there? The reply's result is its process id
    InstanceFront = 2,    // come to the front
    InstanceCommand = 3,  // WM_COMMAND with the id in `argument`; the reply carries its result
    // As InstanceCommand, but the handler may defer the reply (DeferReply) until CompleteReply.
    InstanceCommandAwait = 4,
};

struct InstanceRequest {
    std::uint32_t magic;
    std::uint32_t op;
    std::uint32_t argument;
};

struct InstanceReply {
    std::uint32_t magic;
    std::int32_t status;  // 0, or an errno value
    std::int64_t result;
};

// $FIRMWARE_UTILITY_RUNTIME_DIR, else $XDG_RUNTIME_DIR/firmware-utility, else
// /tmp/firmware-utility-UID.
std::string RuntimeDirectory();
std::string InstanceSocketPath(const std::string& directory, const char* class_name);

// The address of a socket path; false (ENAMETOOLONG) when it does not fit.
bool FillAddress(const std::string& path, sockaddr_un* address);
bool PeerIsThisUser(int fd);
// A connected, non-blocking socket to a listener of this user; -1 with errno otherwise.
int ConnectToListener(const std::string& path, int timeout_ms);

}  // namespace platform::internal
