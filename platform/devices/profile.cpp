// The handset profile: parsing and the one profile the platform uses.
//
// A line is "[section]", "name = value" or blank; '#' or ';' starts a comment anywhere on a
// line (so a path cannot hold either). Names are kept upper-cased so that lookups ignore case.
// Any mistake is refused with "FILE:LINE: reason" before anything is opened.
#include "platform/devices/profile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/base/format.h"
#include "platform/base/system.h"
#include "platform/base/user_file.h"
#include "platform/devices/net_address.h"

namespace platform {
namespace {

constexpr const char* kLocalMachine = "HKEY_LOCAL_MACHINE\\";
constexpr std::size_t kMaxProfileBytes = 1 << 20;

std::string Upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

std::string Trim(const std::string& text) {
    const char* blanks = " \t\r\f\v";
    std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return {};
    std::size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

// A DWORD written in decimal or as 0x hex, nothing else on the value.
bool ParseDword(const std::string& text, std::uint32_t* value) {
    int base = 10;
    std::size_t i = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    }
    if (i >= text.size()) return false;
    std::uint64_t number = 0;
    for (; i < text.size(); ++i) {
        char c = text[i];
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else return false;
        number = number * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
        if (number > 0xFFFFFFFFull) return false;
    }
    *value = static_cast<std::uint32_t>(number);
    return true;
}

// The first control character of a text, escaped ("\\n", "\\x1B"); "" when it has none. A
// tab is a blank.
std::string ControlCharacter(std::string text) {
    for (char& c : text) {
        if (c == '\t') c = ' ';
    }
    return FirstControlCharacter(text);
}

// The longest reset pulse a profile may ask for.
constexpr std::uint32_t kMaxPulseMilliseconds = 10000;

// "COM0:" to "COM9:" (upper-cased): the serial ports the tool opens.
bool IsPortName(const std::string& device) {
    return device.size() == 5 && device.compare(0, 3, "COM") == 0 && device[3] >= '0' &&
           device[3] <= '9' && device[4] == ':';
}

std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    std::size_t at = 0;
    while ((at = text.find_first_not_of(" \t", at)) != std::string::npos) {
        std::size_t end = text.find_first_of(" \t", at);
        if (end == std::string::npos) end = text.size();
        words.push_back(text.substr(at, end - at));
        at = end;
    }
    return words;
}

// A program entry's reason to be refused, or "" when it is sound.
std::string ProgramProblem(const std::string& value) {
    std::vector<std::string> argv;
    if (!SplitProgram(value, &argv)) return "exec: needs a program: " + value;
    if (argv[0].front() != '/') return "exec: needs an absolute path: " + argv[0];
    return {};
}

// "COMn: dtr|rts MS [low|high]"; the reason it is refused, or "".
std::string ParseResetPulse(const std::string& value, ResetPulse* pulse) {
    const char* form = " (expected COMn: dtr|rts MILLISECONDS [low|high])";
    std::vector<std::string> words = Words(value);
    if (words.size() < 3 || words.size() > 4) return "reset needs a port, a line and a length" + std::string(form);
    pulse->port = Upper(words[0]);
    if (!IsPortName(pulse->port)) return "reset port must be COM0: to COM9:: " + words[0];
    std::string line = Upper(words[1]);
    if (line != "DTR" && line != "RTS") return "reset line must be dtr or rts: " + words[1];
    pulse->dtr = line == "DTR";
    std::uint32_t ms = 0;
    if (words[2].find_first_not_of("0123456789") != std::string::npos || !ParseDword(words[2], &ms) || ms == 0 ||
        ms > kMaxPulseMilliseconds)
        return "reset length must be 1 to 10000 milliseconds: " + words[2];
    pulse->milliseconds = ms;
    if (words.size() == 4) {
        std::string polarity = Upper(words[3]);
        if (polarity != "LOW" && polarity != "HIGH") return "reset polarity must be low or high: " + words[3];
        pulse->active_high = polarity == "HIGH";
    }
    return {};
}

// A device or service path is absolute: a relative one would name a different file in every
// directory the program is started from, and fail only when it is opened.
std::string PathProblem(const std::string& value) {
    if (value.front() == '/') return {};
    return "a device path must be absolute: " + value;
}

constexpr char kIdentityForm[] = " (expected udev:KEY=VALUE[,KEY=VALUE...], as `firmware-utility ports` offers)";
// Property names as udev writes them.
constexpr char kKeyCharacters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_";

// A byte order mark some editors put at the start of a UTF-8 file.
constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";

// Each section's entries: "" or the reason one is refused.
std::string AddDevice(Profile* profile, const std::string& key, const std::string& value) {
    std::string device = Upper(key);
    if (!IsPortName(device) && device != "RIL1:") return "unknown device " + key + " (expected COM0: to COM9: or RIL1:)";
    if (profile->devices.count(device)) return "duplicate device " + key;
    if (value.compare(0, std::strlen(ProgramPrefix), ProgramPrefix) == 0) {
        if (device != "RIL1:") return "a serial port cannot be a program: " + key;
        if (std::string problem = ProgramProblem(value); !problem.empty()) return problem;
    } else if (IsPortIdentity(value)) {
        if (!IsPortName(device)) return "only a serial port can be named by identity: " + key;
        std::vector<IdentityProperty> properties;
        std::string problem;
        if (!ParsePortIdentity(value, &properties, &problem)) return problem;
    } else if (internal::IsNetworkPath(value)) {
        if (device == "RIL1:") return "the radio driver cannot be a network port: " + value;
        internal::NetworkAddress address;
        if (!internal::ParseNetworkPath(value, &address)) return LastErrorText();
    } else if (std::string problem = PathProblem(value); !problem.empty()) {
        return problem;
    }
    profile->devices.emplace(device, value);
    return {};
}

std::string AddRegistryValue(Profile* profile, const std::string& key, const std::string& value) {
    std::string full = Upper(key);
    std::size_t prefix = std::strlen(kLocalMachine);
    if (full.compare(0, prefix, kLocalMachine) != 0) return "registry key must start with HKEY_LOCAL_MACHINE\\: " + key;
    std::string rest = full.substr(prefix);
    std::size_t slash = rest.rfind('\\');
    if (slash == std::string::npos || slash == 0 || slash + 1 == rest.size() || rest.find("\\\\") != std::string::npos)
        return "registry entry needs KEY\\VALUE: " + key;
    std::uint32_t dword = 0;
    if (!ParseDword(value, &dword)) return "registry value is not a number (decimal or 0x hex DWORD): " + value;
    if (profile->registry.count(rest)) return "duplicate registry value " + key;
    profile->registry.emplace(rest, dword);
    return {};
}

std::string AddKernel(Profile* profile, const std::string& key, const std::string& value) {
    if (Upper(key) != "KERNELIOCONTROL") return "unknown kernel entry " + key + " (expected KernelIoControl)";
    if (!profile->kernel.empty()) return "duplicate entry " + key;
    if (value.compare(0, std::strlen(ProgramPrefix), ProgramPrefix) == 0) {
        if (std::string problem = ProgramProblem(value); !problem.empty()) return problem;
    } else if (std::string problem = PathProblem(value); !problem.empty()) {
        return problem;
    }
    profile->kernel = value;
    return {};
}

std::string AddRadio(Profile* profile, const std::string& key, const std::string& value) {
    if (Upper(key) != "RESET") return "unknown radio entry " + key + " (expected reset)";
    if (profile->reset.milliseconds != 0) return "duplicate entry " + key;
    return ParseResetPulse(value, &profile->reset);
}

std::string AddHandset(Profile* profile, const std::string& key, const std::string& value) {
    if (Upper(key) != "SIMULATED") return "unknown handset entry " + key + " (expected simulated)";
    const std::string flag = Upper(value);
    if (flag != "TRUE" && flag != "FALSE") return "simulated must be true or false: " + value;
    profile->simulated = flag == "TRUE";
    return {};
}

constexpr char kSectionList[] = " (expected [devices], [registry], [kernel], [radio] or [handset])";

// Section (upper-cased), what adds its entries.
constexpr struct {
    const char* name;
    std::string (*add)(Profile*, const std::string& key, const std::string& value);
} kSections[] = {
    {"DEVICES", AddDevice}, {"REGISTRY", AddRegistryValue}, {"KERNEL", AddKernel}, {"RADIO", AddRadio},
    {"HANDSET", AddHandset},
};

bool IsSection(const std::string& title) {
    for (const auto& row : kSections) {
        if (Upper(title) == row.name) return true;
    }
    return false;
}

std::string Where(const std::string& name, int line) { return name + ":" + std::to_string(line) + ": "; }

std::mutex profile_mutex;
Profile& Current() {
    static Profile* profile = new Profile;  // lives until the process ends; guarded by profile_mutex
    return *profile;
}

}  // namespace

std::string AddProfileEntry(Profile* profile, const std::string& section, const std::string& key,
                            const std::string& value) {
    if (key.empty()) return "empty name before '='";
    if (value.empty()) return "empty value for " + key;
    if (const std::string control = ControlCharacter(key + value); !control.empty()) {
        return "a control character (" + control + ") in " + key;
    }
    for (const auto& row : kSections) {
        if (Upper(section) == row.name) return row.add(profile, key, value);
    }
    return "unknown section [" + section + "]" + kSectionList;
}

std::string ResetPortProblem(const Profile& profile) {
    if (profile.reset.milliseconds == 0 || profile.devices.count(profile.reset.port)) return {};
    return "reset port " + profile.reset.port + " has no entry in [devices]";
}

bool ParseProfile(const std::string& text, const std::string& name, Profile* profile,
                  std::string* error) {
    Profile result;
    result.path = name;
    std::string section;
    bool simulated_seen = false;
    int reset_line = 0;
    std::size_t start = text.compare(0, 3, kUtf8Bom) == 0 ? 3 : 0;
    for (int number = 1; start <= text.size(); ++number) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        auto fail = [&](const std::string& reason) {
            *error = Where(name, number) + reason;
            return false;
        };
        if (line.find('\0') != std::string::npos) return fail("NUL byte in line");
        std::size_t comment = line.find_first_of("#;");
        if (comment != std::string::npos) line.erase(comment);
        line = Trim(line);
        if (line.empty()) continue;
        if (const std::string control = ControlCharacter(line); !control.empty()) {
            return fail("a control character (" + control + ") in line");
        }

        if (line.front() == '[') {
            if (line.back() != ']') return fail("section header without closing ']'");
            const std::string title = Trim(line.substr(1, line.size() - 2));
            if (!IsSection(title)) {
                return fail("unknown section [" + title + "]" + kSectionList);
            }
            section = title;
            continue;
        }

        std::size_t equals = line.find('=');
        if (equals == std::string::npos) return fail("line without '=': " + line);
        std::string key = Trim(line.substr(0, equals));
        std::string value = Trim(line.substr(equals + 1));
        if (section.empty()) return fail("entry before any section: " + key);
        if (Upper(section) == "HANDSET" && simulated_seen && !key.empty() && !value.empty() && Upper(key) == "SIMULATED") {
            return fail("duplicate entry " + key);
        }
        if (std::string problem = AddProfileEntry(&result, section, key, value); !problem.empty()) return fail(problem);
        if (Upper(section) == "HANDSET") simulated_seen = true;
        if (Upper(section) == "RADIO") reset_line = number;
    }
    // The pulse needs its port, wherever in the file that is named.
    if (std::string problem = ResetPortProblem(result); !problem.empty()) {
        *error = Where(name, reset_line) + problem;
        return false;
    }
    *profile = std::move(result);
    return true;
}

bool IsPortIdentity(const std::string& value) { return value.compare(0, std::strlen(IdentityPrefix), IdentityPrefix) == 0; }

bool ParsePortIdentity(const std::string& value, std::vector<IdentityProperty>* properties, std::string* problem) {
    properties->clear();
    const std::string body = value.substr(std::strlen(IdentityPrefix));
    if (body.empty()) {
        *problem = "udev: needs at least one KEY=VALUE" + std::string(kIdentityForm);
        return false;
    }
    std::size_t start = 0;
    while (start <= body.size()) {
        std::size_t end = body.find(',', start);
        if (end == std::string::npos) end = body.size();
        const std::string pair = body.substr(start, end - start);
        const std::size_t equals = pair.find('=');
        const std::string key = pair.substr(0, equals);
        if (equals == std::string::npos) {
            *problem = "udev: " + (pair.empty() ? std::string("empty KEY=VALUE") : pair + " has no '='") + " in " +
                       value + kIdentityForm;
            return false;
        }
        if (key.empty() || key.find_first_not_of(kKeyCharacters) != std::string::npos) {
            *problem = "udev: the key of " + pair + " must be letters, digits and '_'" + kIdentityForm;
            return false;
        }
        if (equals + 1 == pair.size()) {
            *problem = "udev: " + key + " has no value in " + value + kIdentityForm;
            return false;
        }
        properties->push_back({key, pair.substr(equals + 1)});
        start = end + 1;
    }
    return true;
}

bool SplitProgram(const std::string& value, std::vector<std::string>* argv) {
    std::size_t prefix = std::strlen(ProgramPrefix);
    if (value.compare(0, prefix, ProgramPrefix) != 0) return false;
    *argv = Words(value.substr(prefix));
    return !argv->empty();
}

bool LoadProfile(const std::string& path, Profile* profile, std::string* error) {
    std::FILE* file = OpenUserFileStream(path, UserFileUse::Input);
    if (!file) {
        *error = path + ": " + LastErrorText();
        return false;
    }
    std::string text;
    char chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        text.append(chunk, n);
        if (text.size() > kMaxProfileBytes) break;
    }
    bool failed = std::ferror(file) != 0;
    int read_errno = errno;
    std::fclose(file);
    if (failed) {
        *error = path + ": " + std::strerror(read_errno);
        return false;
    }
    if (text.size() > kMaxProfileBytes) {
        *error = path + ": larger than 1 MiB, not a profile";
        return false;
    }
    return ParseProfile(text, path, profile, error);
}

void SetProfile(const Profile& profile) {
    std::lock_guard lock(profile_mutex);
    Current() = profile;
}

Profile CurrentProfile() {
    std::lock_guard lock(profile_mutex);
    return Current();
}

bool ProfileDevicePath(const char* device_name, std::string* path) {
    if (device_name == nullptr) return false;
    std::string name = Upper(device_name);
    std::lock_guard lock(profile_mutex);
    auto it = Current().devices.find(name);
    if (it == Current().devices.end()) return false;
    *path = it->second;
    return true;
}

bool ProfileRegistryKeyExists(const char* key) {
    if (key == nullptr) return false;
    std::string prefix = Upper(key) + "\\";
    std::lock_guard lock(profile_mutex);
    for (const auto& [name, value] : Current().registry) {
        (void)value;
        // The key itself, or a key below it, holds values.
        if (name.compare(0, prefix.size(), prefix) == 0) return true;
    }
    return false;
}

bool ProfileRegistryValue(const char* key, const char* value, std::uint32_t* data) {
    if (key == nullptr || value == nullptr || std::strchr(value, '\\') != nullptr) return false;
    std::string name = Upper(std::string(key) + "\\" + value);
    std::lock_guard lock(profile_mutex);
    auto it = Current().registry.find(name);
    if (it == Current().registry.end()) return false;
    *data = it->second;
    return true;
}

}  // namespace platform
