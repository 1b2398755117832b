// `firmware-utility ports`: the machine's serial ports as a table for people, as tab-separated
// lines or JSON for scripts, or as `COMn: = ...` lines for a profile's [devices] section.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/platform.h"
#include "shell/cli.h"
#include "shell/json_lines.h"

namespace shell {
namespace {

constexpr char NoValue[] = "-";
constexpr char ColumnGap[] = "  ";
constexpr char HeldNo[] = "no";
constexpr char HeldUnknown[] = "unknown";
constexpr char HeldYes[] = "yes";
constexpr int JsonIndent = 2;  // `ports --json`: spaces per level

// The columns, in the order both outputs print them (doc/guide.md: "Finding the ports").
enum Column { Device, Driver, Usb, Maker, Product, Serial, Held, ById, ByPath, ColumnCount };
constexpr const char* TableHeadings[ColumnCount] = {"DEVICE", "DRIVER",  "USB",   "MAKER",  "PRODUCT",
                                                    "SERIAL", "HELD BY", "BY-ID", "BY-PATH"};
constexpr const char* TsvHeadings[ColumnCount] = {"device", "driver", "usb",   "maker", "product",
                                                  "serial", "held",   "by_id", "by_path"};
// The udev properties a port is offered by in a profile, the first one it has that no other
// port shares: its USB serial number, else where it is plugged in.
constexpr const char* IdentityKeys[] = {"ID_SERIAL_SHORT", "ID_PATH"};

// A value on one line and in one field: control characters (tabs, line ends) become spaces.
std::string OneField(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    }
    return out;
}

// "1234 (ModemManager), 99 (sh)", "unknown" or "no".
std::string HeldByText(const platform::SerialPortInfo& port) {
    if (port.holders.empty()) return port.holders_unknown ? HeldUnknown : HeldNo;
    std::string text;
    for (const platform::PortHolder& holder : port.holders) {
        if (!text.empty()) text += ", ";
        text += std::to_string(holder.pid) + " (" + holder.name + ")";
    }
    return text;
}

// For scripts: "yes:1234,99", "unknown" or "no".
std::string HeldField(const platform::SerialPortInfo& port) {
    if (port.holders.empty()) return port.holders_unknown ? HeldUnknown : HeldNo;
    std::string text = std::string(HeldYes) + ":";
    for (std::size_t i = 0; i < port.holders.size(); ++i) {
        if (i) text += ",";
        text += std::to_string(port.holders[i].pid);
    }
    return text;
}

// The /dev/serial/by-path/ link, else udev's ID_PATH as it is.
std::string ByPathOf(const platform::SerialPortInfo& port) { return port.by_path.empty() ? port.id_path : port.by_path; }

std::string IdentityValue(const platform::SerialPortInfo& port, const char* key) {
    return std::string(key) == IdentityKeys[0] ? port.serial_short : port.id_path;
}

// "udev:KEY=VALUE" that names this port alone, or "" when it has no such property.
std::string IdentityOf(const platform::SerialPortInfo& port, const std::vector<platform::SerialPortInfo>& ports) {
    for (const char* key : IdentityKeys) {
        const std::string value = IdentityValue(port, key);
        if (value.empty()) continue;
        const auto same = std::count_if(ports.begin(), ports.end(), [&](const platform::SerialPortInfo& other) {
            return IdentityValue(other, key) == value;
        });
        if (same == 1) return platform::IdentityValue(key, value);
    }
    return {};
}

std::vector<std::string> Fields(const platform::SerialPortInfo& port, bool for_script) {
    std::vector<std::string> fields = {port.node,    port.driver, port.usb_id,
                                       port.maker,   port.product, port.serial,
                                       for_script ? HeldField(port) : HeldByText(port), port.by_id,
                                       ByPathOf(port)};
    for (std::string& field : fields) {
        field = OneField(field);
        if (!for_script && field.empty()) field = NoValue;
    }
    return fields;
}

// Characters on screen of UTF-8 text: every byte that does not continue a character.
std::size_t Width(const std::string& text) {
    std::size_t width = 0;
    for (char c : text) width += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return width;
}

void PrintTable(const std::vector<platform::SerialPortInfo>& ports) {
    std::vector<std::vector<std::string>> rows;
    rows.emplace_back(TableHeadings, TableHeadings + ColumnCount);
    for (const auto& port : ports) rows.push_back(Fields(port, false));
    std::size_t widths[ColumnCount] = {};
    for (const auto& row : rows) {
        for (int c = 0; c < ColumnCount; ++c) widths[c] = std::max(widths[c], Width(row[c]));
    }
    for (const auto& row : rows) {
        std::string line;
        for (int c = 0; c < ColumnCount; ++c) {
            line += row[c];
            if (c + 1 < ColumnCount) line += std::string(widths[c] - Width(row[c]), ' ') + ColumnGap;
        }
        std::printf("%s\n", line.c_str());
    }
}

void PrintTsv(const std::vector<platform::SerialPortInfo>& ports) {
    std::vector<std::vector<std::string>> rows;
    rows.emplace_back(TsvHeadings, TsvHeadings + ColumnCount);
    for (const auto& port : ports) rows.push_back(Fields(port, true));
    for (const auto& row : rows) {
        std::string line;
        for (int c = 0; c < ColumnCount; ++c) line += (c ? "\t" : "") + row[c];
        std::printf("%s\n", line.c_str());
    }
}

// What the port is, for the comment after its profile line.
std::string Description(const platform::SerialPortInfo& port) {
    std::string text = port.driver;
    for (const std::string* part : {&port.usb_id, &port.maker, &port.product, &port.serial}) {
        if (!part->empty()) text += " " + OneField(*part);
    }
    return text;
}

// True when the profile parser reads `line` back as `name` naming `path`: a name that the
// parser would cut (a '#' or ';' in it) is not offered.
bool ReadsBack(const std::string& line, const std::string& name, const std::string& path) {
    platform::Profile profile;
    if (!platform::ParseProfile("[devices]\n" + line + "\n", "ports", &profile)) return false;
    auto found = profile.devices.find(name);
    return found != profile.devices.end() && found->second == path;
}

// One line per port, COM1: upwards in listing order; the stable name where it can be written.
void PrintProfileLines(const std::vector<platform::SerialPortInfo>& ports) {
    int number = 1;
    for (const auto& port : ports) {
        const std::string name = "COM" + std::to_string(number) + ":";
        std::string path = IdentityOf(port, ports);
        std::string note = " (now " + port.node + ")";
        if (path.empty() || !ReadsBack(name + " = " + path, name, path)) path = port.by_id;
        if (path.empty() || !ReadsBack(name + " = " + path, name, path)) {
            note = port.by_id.empty() ? " (no stable name)" : " (its stable name cannot be written in a profile)";
            path = port.node;
        } else if (path == port.by_id) {
            note.clear();
        }
        if (!ReadsBack(name + " = " + path, name, path)) {
            std::printf("; %s (%s) cannot be written in a profile\n", OneField(port.node).c_str(),
                        Description(port).c_str());
            continue;
        }
        std::printf("%s = %s ; %s%s\n", name.c_str(), path.c_str(), Description(port).c_str(), note.c_str());
        ++number;
    }
}

// One array, one object per port; values a port does not have are null.
void PrintJson(const std::vector<platform::SerialPortInfo>& ports) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const auto& port : ports) {
        nlohmann::ordered_json holders = nlohmann::ordered_json::array();
        for (const platform::PortHolder& holder : port.holders) holders.push_back({{"pid", holder.pid}, {"name", holder.name}});
        list.push_back({{"device", port.node},
                        {"driver", port.driver},
                        {"usb", TextOrNull(port.usb_id)},
                        {"maker", TextOrNull(port.maker)},
                        {"product", TextOrNull(port.product)},
                        {"serial", TextOrNull(port.serial)},
                        {"holders", holders},
                        {"holders_unknown", port.holders_unknown},
                        {"by_id", TextOrNull(port.by_id)},
                        {"by_path", TextOrNull(port.by_path)},
                        {"id_path", TextOrNull(port.id_path)},
                        {"identity", TextOrNull(IdentityOf(port, ports))}});
    }
    // Spread over lines for people reading it too; text that is not UTF-8 (a maker string from
    // a device) is written with replacement characters.
    std::fputs(JsonLine(list, JsonIndent).c_str(), stdout);
}

}  // namespace

int ListSerialPorts(const CliOptions& options) {
    std::vector<platform::SerialPortInfo> ports;
    if (!platform::ListSerialPorts(&ports)) {
        platform::SayOnStderr("ports: %s", platform::LastErrorText().c_str());
        return 1;
    }
    if (ports.empty()) platform::SayOnStderr("no serial ports found");
    if (options.ports_format == PortsFormat::Json) {
        PrintJson(ports);
    } else if (options.ports_format == PortsFormat::ProfileLines) {
        PrintProfileLines(ports);
    } else if (options.ports_format == PortsFormat::Tsv) {
        PrintTsv(ports);
    } else if (!ports.empty()) {
        PrintTable(ports);
    }
    std::fflush(stdout);
    return 0;
}

}  // namespace shell
