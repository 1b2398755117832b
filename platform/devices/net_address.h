// Implemented in platform/devices/net_address.cpp.
// Serial ports across the network, as a profile names them: `rfc2217://HOST:PORT` (a port an
// exporter such as ser2net serves with RFC 2217 line control) or `tcp://HOST:PORT` (raw bytes,
// no line control). Only the form is checked here, so the profile parser needs no network
// library; platform/devices/net_port.cpp opens them. The schemes are rows of the kind table
// (platform/devices/kinds.h), which says whether one carries line control.
//
// Index: NetworkAddress ParseNetworkPath
#pragma once

#include <string>

namespace platform::internal {

struct NetworkAddress {
    bool rfc2217 = false;  // else raw TCP
    std::string host;      // without the brackets of an IPv6 literal
    unsigned port = 0;
};

// Fills *address from a well-formed entry; false for anything else, with the last error EINVAL
// and its text what is wrong ("a network port's TCP port must be 1 to 65535: 0").
bool ParseNetworkPath(const std::string& path, NetworkAddress* address);

}  // namespace platform::internal
