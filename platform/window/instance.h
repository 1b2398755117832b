// Implemented in platform/window/instance.cpp.
// The wire format of the one-window-per-user socket, for the layer and its tests.
//
// A client connects to DIR/CLASS.sock (the class name with every character other than a
// letter or digit made '_'), writes one Request and reads one Reply; then both sides close.
// The window answers only peers of its own user id (SO_PEERCRED) and closes on anyone else
// without a word.
//
// Which start runs the window is decided under a lock: the process that holds the lock of an
// open file description (F_OFD_SETLK) on DIR/CLASS.lock, its process id written in it, is the
// only one that may listen, so it alone may remove a stale socket file. A start that finds the lock held knows a window runs, even
// before that window listens. A window whose every connection slot is taken answers a
// newcomer at once with EBUSY (and its process id) instead of a silent close.
//
// Index: InstanceRequest InstanceReply InstanceOp RuntimeDirectory InstanceSocketPath |
// InstanceLockPath ClaimInstance ReleaseInstance RemoveUnheldClaim ClaimedElsewhere | FillAddress PeerIsThisUser
// ConnectToListener
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
std::string InstanceLockPath(const std::string& directory, const char* class_name);

// Takes the lock for this process (or finds it taken by this process already): 0, EEXIST when
// another process holds it (*holder: its process id, read from the file found held), or why
// the lock file could not be used. The file holds the holder's process id from the moment it
// has its name; a release removes it.
int ClaimInstance(const std::string& lock_path, std::uint32_t* holder = nullptr);
void ReleaseInstance(const std::string& lock_path);
// Removes a lock file that no process holds: 0 (also when there is none), EEXIST when one
// holds it (*holder: its process id), or the errno why it could not be looked at.
int RemoveUnheldClaim(const std::string& lock_path, std::uint32_t* holder = nullptr);
// True when another process holds the lock; *holder is its process id (0 if unknown).
bool ClaimedElsewhere(const std::string& lock_path, std::uint32_t* holder);

// The address of a socket path; false (ENAMETOOLONG) when it does not fit.
bool FillAddress(const std::string& path, sockaddr_un* address);
bool PeerIsThisUser(int fd);
// A connected, non-blocking socket to a listener of this user; -1 with errno otherwise.
int ConnectToListener(const std::string& path, int timeout_ms);

}  // namespace platform::internal
