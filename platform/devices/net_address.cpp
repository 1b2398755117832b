// The form of a network port entry: scheme, host, TCP port.
#include "platform/devices/net_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>

#include "platform/base/system.h"
#include "platform/devices/devices.h"
#include "platform/devices/kinds.h"

namespace platform::internal {

namespace {

constexpr const char* SchemeMark = "://";
constexpr unsigned HighestTcpPort = 65535;

// The longest host name and label the name system takes.
constexpr std::size_t LongestHostName = 253;
constexpr std::size_t LongestLabel = 63;

// Letters, digits and '-' in dot-separated labels, none starting or ending with '-'.
bool IsHostName(const std::string& host) {
    if (host.size() > LongestHostName) return false;
    std::size_t start = 0;
    for (;;) {
        const std::size_t dot = host.find('.', start);
        const std::string label = host.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (label.empty() || label.size() > LongestLabel || label.front() == '-' || label.back() == '-') return false;
        for (char c : label) {
            const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
            if (!letter && !(c >= '0' && c <= '9') && c != '-') return false;
        }
        if (dot == std::string::npos) return true;
        start = dot + 1;
    }
}

// A host name, an IPv4 address, or (bracketed in the entry) an IPv6 address; nothing else
// reaches the connection string.
bool IsHost(const std::string& host, bool bracketed) {
    unsigned char address[sizeof(in6_addr)];
    if (bracketed) return ::inet_pton(AF_INET6, host.c_str(), address) == 1;
    if (::inet_pton(AF_INET, host.c_str(), address) == 1) return true;
    // Digits and dots only are an IPv4 address or nothing ("10.0.0.256" is no name).
    if (host.find_first_not_of("0123456789.") == std::string::npos) return false;
    return IsHostName(host);
}

// Splits "HOST:PORT" or "[V6]:PORT"; false when the port is missing.
bool SplitHostPort(const std::string& rest, std::string* host, std::string* port) {
    std::size_t colon;
    if (!rest.empty() && rest.front() == '[') {
        std::size_t close = rest.find(']');
        if (close == std::string::npos) return false;
        *host = rest.substr(1, close - 1);
        colon = close + 1;
        if (colon >= rest.size() || rest[colon] != ':') return false;
    } else {
        colon = rest.rfind(':');
        if (colon == std::string::npos) return false;
        *host = rest.substr(0, colon);
        if (host->find(':') != std::string::npos) return false;  // a bare IPv6 literal
    }
    *port = rest.substr(colon + 1);
    return true;
}

std::string Check(const std::string& path, NetworkAddress* address) {
    std::size_t mark = path.find(SchemeMark);
    if (mark == std::string::npos) return "not a network port: " + path;
    const std::string scheme = path.substr(0, mark);
    const DeviceKind* kind = KindOfScheme(scheme);
    if (kind != nullptr) address->rfc2217 = kind->line_control;
    if (kind == nullptr) return "unknown network port scheme " + scheme + ":// (expected rfc2217:// or tcp://)";
    const std::string rest = path.substr(mark + std::strlen(SchemeMark));
    std::string host, port;
    if (!SplitHostPort(rest, &host, &port)) {
        return "a network port needs HOST:PORT: " + path + " (the exporter's TCP port, e.g. " + scheme +
               "://host:2000)";
    }
    if (host.empty()) return "a network port needs a host: " + path;
    if (!IsHost(host, rest.front() == '[')) {
        return "a network port's host must be a host name, an IPv4 address or an IPv6 address in brackets: " + host;
    }
    unsigned number = 0;
    bool digits = !port.empty() && port.size() <= 5;
    for (char c : port) {
        if (c < '0' || c > '9') digits = false;
        else number = number * 10 + static_cast<unsigned>(c - '0');
    }
    if (!digits || number == 0 || number > HighestTcpPort)
        return "a network port's TCP port must be 1 to 65535: " + port;
    address->host = host;
    address->port = number;
    return {};
}

}  // namespace

bool ParseNetworkPath(const std::string& path, NetworkAddress* address) {
    NetworkAddress parsed;
    std::string problem = Check(path, &parsed);
    if (!problem.empty()) {
        SetLastError(EINVAL, std::move(problem));
        return false;
    }
    *address = parsed;
    return true;
}

}  // namespace platform::internal
