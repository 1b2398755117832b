// Assembles the simulated handset: the private directory, the two services, the lines and
// the module, and the profile that names them. Stop takes them down in the reverse order of
// their use: the services (which reset the module) first, then the module's pacer (which
// writes to the lines), then the lines (which feed it).
#include <fcntl.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/base/system.h"
#include "sim/at_port.h"
#include "sim/leftovers.h"
#include "sim/serial_lines.h"
#include "sim/sim.h"

namespace sim {
namespace {

constexpr std::uint32_t Einval = 22;

struct PeerLine {
    const char* device;
    const char* name;
};
// Peer ports, in the order they are listed: (device, what it is)
constexpr PeerLine PeerLines[] = {
    {"COM4:", "Bluetooth UART"},
    {"COM5:", "IR"},
    {"COM3:", "IrDA"},
};

std::string ParentDirectory(const Options& options) {
    if (!options.parent_directory.empty()) return options.parent_directory;
    const char* tmp = std::getenv("TMPDIR");
    std::string parent = (tmp && *tmp) ? tmp : "/tmp";
    // Socket paths must fit a sockaddr_un, and the profile cannot carry a path holding a
    // comment character: such a $TMPDIR falls back to /tmp.
    if (parent.size() + sizeof "/fwu-handset-XXXXXX/kernel.sock" > sizeof(sockaddr_un::sun_path) ||
        parent.find_first_of("#;") != std::string::npos)
        parent = "/tmp";
    return parent;
}

bool WriteFile(const std::string& path, const std::string& text, std::string* error) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *error = path + ": " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return true;
}

}  // namespace

struct Handset::Impl {
    bool running = false;
    std::string directory;
    int lock_fd = -1;  // held while it runs: a later start sees its directory is in use
    std::string profile_path;
    std::string ril_path;
    std::string kernel_path;
    ControlService ril;
    ControlService kernel;
    SerialLines lines;
    std::unique_ptr<Module> module;
    std::unique_ptr<AtPort> at_port;
    std::vector<std::pair<std::string, std::string>> devices;  // profile [devices], in order
    std::vector<Peer> peers;
    mutable std::mutex records_mutex;  // the services' threads add, tests read
    std::vector<ControlRecord> ril_records, kernel_records;

    void Record(std::vector<ControlRecord>* records, std::uint32_t code) {
        std::lock_guard lock(records_mutex);
        records->push_back({code, std::chrono::steady_clock::now()});
    }
    std::vector<ControlRecord> Records(const std::vector<ControlRecord>& records) const {
        std::lock_guard lock(records_mutex);
        return records;
    }

    bool Build(const Options& options, std::string* error);
    bool AddLine(const std::string& device, int* line, std::string* error);
    std::string ProfileText() const;
    void TakeDown();
};

bool Handset::Impl::AddLine(const std::string& device, int* line, std::string* error) {
    Pty pty;
    if (!OpenPty(&pty, error)) {
        *error = device + " " + *error;
        return false;
    }
    *line = lines.Add(pty);
    if (!device.empty()) devices.emplace_back(device, pty.slave_path);
    return true;
}

bool Handset::Impl::Build(const Options& options, std::string* error) {
    std::string parent = ParentDirectory(options);
    RemoveLeftoverHandsets(parent);  // of handsets killed before they could clean up
    std::string pattern = parent + "/" + DirectoryPrefix + "XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {  // mode 0700
        *error = pattern + ": " + std::strerror(errno);
        return false;
    }
    directory = pattern;
    platform::RemoveDirectoryAtEnding(directory.c_str());  // also when the process crashes
    lock_fd = TakeHandsetLock(directory, error);
    if (lock_fd < 0) return false;
    ril_path = directory + "/ril.sock";
    kernel_path = directory + "/kernel.sock";

    int link = -1, ff = -1;
    if (!AddLine("COM1:", &link, error) || !AddLine("COM2:", &ff, error)) return false;
    for (const PeerLine& peer : PeerLines) {
        int near = -1, far = -1;
        if (!AddLine(peer.device, &near, error) || !AddLine("", &far, error)) return false;
        lines.SetReceiver(near, [this, far](const std::uint8_t* d, std::size_t n) { lines.Send(far, d, n); });
        lines.SetReceiver(far, [this, near](const std::uint8_t* d, std::size_t n) { lines.Send(near, d, n); });
        lines.Feeds(near, far);
        lines.Feeds(far, near);
        peers.push_back({peer.device, peer.name, lines.SlavePath(far)});
    }
    module = MakeModule([this, link](const std::uint8_t* d, std::size_t n) { lines.SendAtOnce(link, d, n); },
                        [this, link] { lines.HangUp(link); }, options.module_fault, options.module_baud,
                        options.at_fault, [this, link] { return lines.FrameBits(link); });
    at_port = std::make_unique<AtPort>([this, ff](const std::uint8_t* d, std::size_t n) { lines.Send(ff, d, n); },
                                       [this] { return module->Firmware(); });
    lines.SetReceiver(link, [this](const std::uint8_t* d, std::size_t n) { module->FromTool(d, n); });
    lines.SetReceiver(ff, [this](const std::uint8_t* d, std::size_t n) { at_port->FromTool(d, n); });
    if (!lines.Start(error)) return false;

    ril.SetFault(options.ril_fault);
    kernel.SetFault(options.kernel_fault);
    auto radio_driver = [this](std::uint32_t code) -> std::uint32_t {
        Record(&ril_records, code);
        switch (code) {
        case RilSuspend:
        case RilResume:
            return 0;
        case RilResetModule:
            module->Reset();
            return 0;
        default:
            return Einval;
        }
    };
    auto kernel_service = [this](std::uint32_t code) -> std::uint32_t {
        Record(&kernel_records, code);
        return code == KernelReboot ? 0 : Einval;
    };
    if (!ril.Start(ril_path, radio_driver, error)) return false;
    if (!kernel.Start(kernel_path, kernel_service, error)) return false;
    devices.emplace_back("RIL1:", ril_path);

    profile_path = directory + "/handset.prof";
    return WriteFile(profile_path, ProfileText(), error);
}

std::string Handset::Impl::ProfileText() const {
    std::string text = "# The simulated handset, serving from " + directory + "\n[devices]\n";
    for (const auto& [device, path] : devices) text += device + " = " + path + "\n";
    text +=
        "[registry]\n"
        "HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial\\Index = 2     ; FF UART: COM2:\n"
        "HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial2\\Index = 4    ; BT UART: COM4:\n"
        "[kernel]\n"
        "KernelIoControl = " + kernel_path + "\n"
        "[handset]\n"
        "simulated = true                                      ; no real module: stand-in payloads allowed\n";
    return text;
}

void Handset::Impl::TakeDown() {
    ril.Stop();
    kernel.Stop();
    if (module) module->Stop();  // its pacer writes to the lines from a thread of its own
    lines.Stop();
    if (!profile_path.empty()) ::unlink(profile_path.c_str());
    if (!directory.empty()) {
        platform::ForgetDirectoryAtEnding(directory.c_str());
        if (lock_fd >= 0) ::unlink((directory + "/" + LockName).c_str());
        ::rmdir(directory.c_str());
    }
    if (lock_fd >= 0) ::close(lock_fd);
    lock_fd = -1;
    running = false;
}

Handset::Handset() = default;
Handset::~Handset() { Stop(); }

bool Handset::Start(const Options& options, std::string* error) {
    Stop();
    impl_ = std::make_unique<Impl>();
    std::string reason;
    if (!impl_->Build(options, &reason)) {
        impl_->TakeDown();
        impl_.reset();
        if (error) *error = "simulated handset: " + reason;
        return false;
    }
    impl_->running = true;
    return true;
}

void Handset::Stop() {
    if (!impl_) return;
    impl_->TakeDown();
    impl_.reset();
}

bool Handset::Running() const { return impl_ && impl_->running; }
std::string Handset::ProfilePath() const { return impl_ ? impl_->profile_path : std::string(); }
std::string Handset::Directory() const { return impl_ ? impl_->directory : std::string(); }

std::string Handset::DevicePath(const std::string& device) const {
    if (!impl_) return {};
    for (const auto& [name, path] : impl_->devices) {
        if (strcasecmp(name.c_str(), device.c_str()) == 0) return path;
    }
    return {};
}

std::vector<Peer> Handset::Peers() const { return impl_ ? impl_->peers : std::vector<Peer>(); }

std::string Handset::PeerFarPath(const std::string& device) const {
    for (const Peer& peer : Peers()) {
        if (strcasecmp(peer.device.c_str(), device.c_str()) == 0) return peer.far_path;
    }
    return {};
}

std::vector<std::uint32_t> Handset::RilCodes() const { return impl_ ? impl_->ril.Codes() : std::vector<std::uint32_t>(); }
std::vector<std::uint32_t> Handset::KernelCodes() const {
    return impl_ ? impl_->kernel.Codes() : std::vector<std::uint32_t>();
}
void Handset::SetRilFault(const ControlFault& fault) {
    if (impl_) impl_->ril.SetFault(fault);
}
void Handset::SetKernelFault(const ControlFault& fault) {
    if (impl_) impl_->kernel.SetFault(fault);
}
std::vector<ControlRecord> Handset::RilRecords() const {
    return impl_ ? impl_->Records(impl_->ril_records) : std::vector<ControlRecord>();
}
std::vector<ControlRecord> Handset::KernelRecords() const {
    return impl_ ? impl_->Records(impl_->kernel_records) : std::vector<ControlRecord>();
}
void Handset::SetModuleFault(const RomFault& fault) {
    if (impl_ && impl_->module) impl_->module->SetFault(fault);
}
void Handset::SetAtFault(const AtFault& fault) {
    if (impl_ && impl_->module) impl_->module->SetAtFault(fault);
}
const Module& Handset::module() const { return *impl_->module; }

// ---- the process-wide handset
namespace {
std::mutex process_mutex;
Handset* process_handset = nullptr;  // guarded by process_mutex
}  // namespace

std::string Start(const Options& options, std::string* error) {
    std::lock_guard lock(process_mutex);
    if (process_handset && process_handset->Running()) return process_handset->ProfilePath();
    auto handset = std::make_unique<Handset>();
    std::string reason;
    if (!handset->Start(options, &reason)) {
        if (error) *error = reason;
        return {};
    }
    process_handset = handset.release();
    return process_handset->ProfilePath();
}

void Stop() {
    std::lock_guard lock(process_mutex);
    delete process_handset;
    process_handset = nullptr;
}

Handset* Current() {
    std::lock_guard lock(process_mutex);
    return process_handset;
}

}  // namespace sim
