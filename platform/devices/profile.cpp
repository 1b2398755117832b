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
#include "platform/devices/devices.h"
#include "platform/devices/kinds.h"
#include "platform/devices/net_address.h"

namespace platform {
namespace {

constexpr const char* kLocalMachine = "HKEY_LOCAL_MACHINE\\";
constexpr std::size_t kMaxProfileBytes = 1 << 20;

using internal::UpperName;

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

// Refuses what is being checked: false, with the reason in the last-error text.
bool Refuse(const std::string& reason) {
    SetLastError(EINVAL, reason);
    return false;
}

// A program entry's check.
bool CheckProgram(const std::string& value) {
    std::vector<std::string> argv;
    if (!SplitProgram(value, &argv)) return Refuse("exec: needs a program: " + value);
    if (argv[0].front() != '/') return Refuse("exec: needs an absolute path: " + argv[0]);
    return true;
}

// "COMn: dtr|rts MS [low|high]".
bool ParseResetPulse(const std::string& value, ResetPulse* pulse) {
    const char* form = " (expected COMn: dtr|rts MILLISECONDS [low|high])";
    std::vector<std::string> words = Words(value);
    if (words.size() < 3 || words.size() > 4) return Refuse("reset needs a port, a line and a length" + std::string(form));
    pulse->port = UpperName(words[0]);
    if (!IsPortName(pulse->port)) return Refuse("reset port must be COM0: to COM9:: " + words[0]);
    std::string line = UpperName(words[1]);
    if (line != "DTR" && line != "RTS") return Refuse("reset line must be dtr or rts: " + words[1]);
    pulse->dtr = line == "DTR";
    std::uint32_t ms = 0;
    if (words[2].find_first_not_of("0123456789") != std::string::npos || !ParseDword(words[2], &ms) || ms == 0 ||
        ms > kMaxPulseMilliseconds)
        return Refuse("reset length must be 1 to 10000 milliseconds: " + words[2]);
    pulse->milliseconds = ms;
    if (words.size() == 4) {
        std::string polarity = UpperName(words[3]);
        if (polarity != "LOW" && polarity != "HIGH") return Refuse("reset polarity must be low or high: " + words[3]);
        pulse->active_high = polarity == "HIGH";
    }
    return true;
}

// A device or service path is absolute: a relative one would name a different file in every
// directory the program is started from, and fail only when it is opened.
bool CheckPath(const std::string& value) {
    if (value.front() == '/') return true;
    return Refuse("a device path must be absolute: " + value);
}

constexpr char kIdentityForm[] = " (expected udev:KEY=VALUE[,KEY=VALUE...], as `firmware-utility ports` offers)";
// Property names as udev writes them.
constexpr char kKeyCharacters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_";

// A byte order mark some editors put at the start of a UTF-8 file.
constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";

// Each section's entries: false when one is refused. A device's value is checked by its kind.
bool AddDevice(Profile* profile, const std::string& key, const std::string& value) {
    std::string device = UpperName(key);
    if (!IsPortName(device) && device != "RIL1:") return Refuse("unknown device " + key + " (expected COM0: to COM9: or RIL1:)");
    if (profile->devices.count(device)) return Refuse("duplicate device " + key);
    if (!internal::KindOfEntryText(device, value)->check(key, value)) return false;
    profile->devices.emplace(device, value);
    return true;
}

bool AddRegistryValue(Profile* profile, const std::string& key, const std::string& value) {
    std::string full = UpperName(key);
    std::size_t prefix = std::strlen(kLocalMachine);
    if (full.compare(0, prefix, kLocalMachine) != 0) return Refuse("registry key must start with HKEY_LOCAL_MACHINE\\: " + key);
    std::string rest = full.substr(prefix);
    std::size_t slash = rest.rfind('\\');
    if (slash == std::string::npos || slash == 0 || slash + 1 == rest.size() || rest.find("\\\\") != std::string::npos)
        return Refuse("registry entry needs KEY\\VALUE: " + key);
    std::uint32_t dword = 0;
    if (!ParseDword(value, &dword)) return Refuse("registry value is not a number (decimal or 0x hex DWORD): " + value);
    if (profile->registry.count(rest)) return Refuse("duplicate registry value " + key);
    profile->registry.emplace(rest, dword);
    return true;
}

bool AddKernel(Profile* profile, const std::string& key, const std::string& value) {
    if (UpperName(key) != internal::KernelEntryName) {
        return Refuse("unknown kernel entry " + key + " (expected KernelIoControl)");
    }
    if (!profile->kernel.empty()) return Refuse("duplicate entry " + key);
    if (!internal::KindOfEntryText(internal::KernelEntryName, value)->check(key, value)) return false;
    profile->kernel = value;
    return true;
}

bool AddRadio(Profile* profile, const std::string& key, const std::string& value) {
    if (UpperName(key) != "RESET") return Refuse("unknown radio entry " + key + " (expected reset)");
    if (profile->reset.milliseconds != 0) return Refuse("duplicate entry " + key);
    return ParseResetPulse(value, &profile->reset);
}

bool AddHandset(Profile* profile, const std::string& key, const std::string& value) {
    if (UpperName(key) != "SIMULATED") return Refuse("unknown handset entry " + key + " (expected simulated)");
    const std::string flag = UpperName(value);
    if (flag != "TRUE" && flag != "FALSE") return Refuse("simulated must be true or false: " + value);
    profile->simulated = flag == "TRUE";
    return true;
}

constexpr char kSectionList[] = " (expected [devices], [registry], [kernel], [radio] or [handset])";

// Section (upper-cased), what adds its entries.
constexpr struct {
    const char* name;
    bool (*add)(Profile*, const std::string& key, const std::string& value);
} kSections[] = {
    {"DEVICES", AddDevice}, {"REGISTRY", AddRegistryValue}, {"KERNEL", AddKernel}, {"RADIO", AddRadio},
    {"HANDSET", AddHandset},
};

bool IsSection(const std::string& title) {
    for (const auto& row : kSections) {
        if (UpperName(title) == row.name) return true;
    }
    return false;
}

std::string Where(const std::string& name, int line) { return name + ":" + std::to_string(line) + ": "; }

std::mutex profile_mutex;
Profile& Current() {
    static Profile* profile = new Profile;  // lives until the process ends; guarded by profile_mutex
    return *profile;
}

// One line of a profile as read: nothing, a section header or an entry.
struct ProfileLine {
    enum Form { Blank, Section, Entry } form = Blank;
    std::string title;  // a section's, trimmed
    std::string key;    // an entry's, trimmed
    std::string value;
};

// Reads one line: comments and blanks dropped, a header or "key = value" split. False when it
// is neither.
bool ReadProfileLine(std::string line, ProfileLine* read) {
    if (line.find('\0') != std::string::npos) return Refuse("NUL byte in line");
    std::size_t comment = line.find_first_of("#;");
    if (comment != std::string::npos) line.erase(comment);
    line = Trim(line);
    if (line.empty()) return true;
    if (const std::string control = ControlCharacter(line); !control.empty()) {
        return Refuse("a control character (" + control + ") in line");
    }
    if (line.front() == '[') {
        if (line.back() != ']') return Refuse("section header without closing ']'");
        read->form = ProfileLine::Section;
        read->title = Trim(line.substr(1, line.size() - 2));
        return true;
    }
    std::size_t equals = line.find('=');
    if (equals == std::string::npos) return Refuse("line without '=': " + line);
    read->form = ProfileLine::Entry;
    read->key = Trim(line.substr(0, equals));
    read->value = Trim(line.substr(equals + 1));
    return true;
}

// What the entries read so far leave for the next one to be checked against.
struct ProfileState {
    std::string section;
    bool simulated_seen = false;
    int reset_line = 0;
};

// Checks one line read and adds it to *profile.
bool CheckProfileLine(const ProfileLine& line, int number, ProfileState* state, Profile* profile) {
    if (line.form == ProfileLine::Section) {
        if (!IsSection(line.title)) return Refuse("unknown section [" + line.title + "]" + kSectionList);
        state->section = line.title;
        return true;
    }
    const std::string& key = line.key;
    const std::string& value = line.value;
    if (state->section.empty()) return Refuse("entry before any section: " + key);
    const std::string section = UpperName(state->section);
    if (section == "HANDSET" && state->simulated_seen && !key.empty() && !value.empty() && UpperName(key) == "SIMULATED") {
        return Refuse("duplicate entry " + key);
    }
    if (!AddProfileEntry(profile, state->section, key, value)) return false;
    if (section == "HANDSET") state->simulated_seen = true;
    if (section == "RADIO") state->reset_line = number;
    return true;
}

}  // namespace

namespace internal {

bool CheckProgramEntry(const std::string& key, const std::string& value) {
    if (IsPortName(UpperName(key))) return Refuse("a serial port cannot be a program: " + key);
    return CheckProgram(value);
}

bool CheckIdentityEntry(const std::string& key, const std::string& value) {
    if (!IsPortName(UpperName(key))) return Refuse("only a serial port can be named by identity: " + key);
    std::vector<IdentityProperty> properties;
    return ParsePortIdentity(value, &properties);
}

bool CheckNetworkEntry(const std::string& key, const std::string& value) {
    if (!IsPortName(UpperName(key))) return Refuse("the radio driver cannot be a network port: " + value);
    internal::NetworkAddress address;
    return internal::ParseNetworkPath(value, &address);
}

bool CheckPathEntry(const std::string&, const std::string& value) { return CheckPath(value); }

}  // namespace internal

bool AddProfileEntry(Profile* profile, const std::string& section, const std::string& key, const std::string& value) {
    if (key.empty()) return Refuse("empty name before '='");
    if (value.empty()) return Refuse("empty value for " + key);
    if (const std::string control = ControlCharacter(key + value); !control.empty()) {
        return Refuse("a control character (" + control + ") in " + key);
    }
    for (const auto& row : kSections) {
        if (UpperName(section) == row.name) return row.add(profile, key, value);
    }
    return Refuse("unknown section [" + section + "]" + kSectionList);
}

bool CheckResetPort(const Profile& profile) {
    if (profile.reset.milliseconds == 0 || profile.devices.count(profile.reset.port)) return true;
    return Refuse("reset port " + profile.reset.port + " has no entry in [devices]");
}

bool ParseProfile(const std::string& text, const std::string& name, Profile* profile) {
    Profile result;
    result.path = name;
    ProfileState state;
    std::size_t start = text.compare(0, 3, kUtf8Bom) == 0 ? 3 : 0;
    for (int number = 1; start <= text.size(); ++number) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        ProfileLine line;
        const bool read = ReadProfileLine(text.substr(start, end - start), &line);
        start = end + 1;
        if (!read || (line.form != ProfileLine::Blank && !CheckProfileLine(line, number, &state, &result))) {
            return Refuse(Where(name, number) + LastErrorText());
        }
    }
    // The pulse needs its port, wherever in the file that is named.
    if (!CheckResetPort(result)) return Refuse(Where(name, state.reset_line) + LastErrorText());
    *profile = std::move(result);
    return true;
}

std::string IdentityValue(const std::string& key, const std::string& value) {
    return internal::IdentityPrefix + key + "=" + value;
}

bool ParsePortIdentity(const std::string& value, std::vector<IdentityProperty>* properties) {
    properties->clear();
    const std::string body = value.substr(std::strlen(internal::IdentityPrefix));
    if (body.empty()) return Refuse("udev: needs at least one KEY=VALUE" + std::string(kIdentityForm));
    std::size_t start = 0;
    while (start <= body.size()) {
        std::size_t end = body.find(',', start);
        if (end == std::string::npos) end = body.size();
        const std::string pair = body.substr(start, end - start);
        const std::size_t equals = pair.find('=');
        const std::string key = pair.substr(0, equals);
        if (equals == std::string::npos) {
            return Refuse("udev: " + (pair.empty() ? std::string("empty KEY=VALUE") : pair + " has no '='") + " in " +
                          value + kIdentityForm);
        }
        if (key.empty() || key.find_first_not_of(kKeyCharacters) != std::string::npos) {
            return Refuse("udev: the key of " + pair + " must be letters, digits and '_'" + kIdentityForm);
        }
        if (equals + 1 == pair.size()) return Refuse("udev: " + key + " has no value in " + value + kIdentityForm);
        properties->push_back({key, pair.substr(equals + 1)});
        start = end + 1;
    }
    return true;
}

bool SplitProgram(const std::string& value, std::vector<std::string>* argv) {
    std::size_t prefix = std::strlen(internal::ProgramPrefix);
    if (value.compare(0, prefix, internal::ProgramPrefix) != 0) return false;
    *argv = Words(value.substr(prefix));
    return !argv->empty();
}

bool LoadProfile(const std::string& path, Profile* profile) {
    std::FILE* file = OpenUserFileStream(path, UserFileUse::Input);
    if (!file) {
        SetLastError(GetLastError(), path + ": " + LastErrorText());
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
        SetLastError(static_cast<std::uint32_t>(read_errno), path + ": " + std::strerror(read_errno));
        return false;
    }
    if (text.size() > kMaxProfileBytes) return Refuse(path + ": larger than 1 MiB, not a profile");
    return ParseProfile(text, path, profile);
}

void SetProfile(const Profile& profile) {
    std::lock_guard lock(profile_mutex);
    Current() = profile;
}

Profile CurrentProfile() {
    std::lock_guard lock(profile_mutex);
    return Current();
}

namespace internal {

std::string UpperName(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

std::string DeviceEntry(const Profile& profile, const char* device, std::string* name) {
    *name = UpperName(device ? device : "");
    if (*name == KernelEntryName) return profile.kernel;
    const auto entry = profile.devices.find(*name);
    return entry == profile.devices.end() ? std::string() : entry->second;
}

}  // namespace internal

bool ProfileDevicePath(const char* device_name, std::string* path) {
    if (device_name == nullptr) return false;
    std::string name = UpperName(device_name);
    std::lock_guard lock(profile_mutex);
    auto it = Current().devices.find(name);
    if (it == Current().devices.end()) return false;
    *path = it->second;
    return true;
}

bool ProfileRegistryKeyExists(const char* key) {
    if (key == nullptr) return false;
    std::string prefix = UpperName(key) + "\\";
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
    std::string name = UpperName(std::string(key) + "\\" + value);
    std::lock_guard lock(profile_mutex);
    auto it = Current().registry.find(name);
    if (it == Current().registry.end()) return false;
    *data = it->second;
    return true;
}

}  // namespace platform
