// Implemented in platform/window/scope.cpp.
// Runs side by side: a headless update takes a runtime directory of its own (as a station
// does), so the one-window-per-user rule never turns it away, while the module port it updates
// is claimed in the user's runtime directory, so that one port is updated by one run at a time.
//
// A claim is a lock of an open file description on USERDIR/port-KEY.lock (KEY the device number
// of the node, else the path's text made a file name), the holder's process id written in it; it
// goes with the descriptor, so a run that ends in any way gives it back. The file has its name
// only once the id is in it, a release removes it, and the files that runs which were killed
// left are removed by the next claim of that port and by the next update's start.
//
// Index: EnterPrivateRuntimeScope PortClaim ClaimPort ReleasePortClaim
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Remembers the user's runtime directory for the port claims, then points this process's
// runtime directory at a fresh private one (removed when the process ends). False with the
// last error set.
bool EnterPrivateRuntimeScope(std::string* directory);
// How a claim ended: Claimed (also when this process holds it already); Held by another process
// (last error EEXIST), named by *holder (its process id, 0 when unknown) and *holder_name; or
// Unusable, the last error saying why the claim file could not be used (the run goes on: the
// port's own lock still keeps a second user off it).
enum class PortClaim { Claimed, Held, Unusable };
PortClaim ClaimPort(const std::string& path, std::uint32_t* holder, std::string* holder_name);
void ReleasePortClaim(const std::string& path);

}  // namespace platform
