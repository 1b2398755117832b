// The radio driver's adapters: a program per control, and the module reset as a pulse on a
// port's modem line. See platform/devices/adapter.h.
#include "platform/devices/adapter.h"

#include <fcntl.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdio>
#include <thread>

#include "platform/base/handles.h"
#include "platform/base/sys.h"
#include "platform/devices/devices.h"
#include "platform/devices/kinds.h"
#include "platform/devices/ports.h"
#include "platform/devices/serial_port.h"

namespace platform::internal {
namespace {

// Columns: (control code, the action's name for a program).
struct ControlAction {
    std::uint32_t code;
    const char* name;
};
constexpr ControlAction ControlActions[] = {
    {RadioSuspendCode, "suspend"},
    {RadioResumeCode, "resume"},
    {RadioResetCode, "reset"},
    {KernelRebootCode, "reboot"},
};

struct Adapter : Object {
    std::string device;
    const DeviceKind* carrier = nullptr;  // what takes the controls; null: none
    std::string value;                    // the carrier's entry
    bool pulses = false;                  // the reset is `pulse`
    ResetPulse pulse;
    std::string pulse_path;  // the pulse port's path
};

// One modem-line request on the held port or on a descriptor of our own.
int LineRequest(const std::shared_ptr<SerialPort>& port, int fd, unsigned long request, int line) {
    int bits = line;
    return port ? port->Ioctl(request, &bits) : SysIoctl(fd, request, &bits);
}

}  // namespace

std::string ControlActionName(std::uint32_t code) {
    for (const ControlAction& action : ControlActions) {
        if (action.code == code) return action.name;
    }
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", code);
    return text;
}

Handle OpenAdapter(const std::string& device, const std::string& value, const DeviceKind* carrier,
                   const Profile* pulse) {
    // An entry that carries no controls (a port) is no radio driver to open.
    if (carrier != nullptr && carrier->ready == nullptr) {
        SetLastError(ENOENT);
        return InvalidHandle;
    }
    // One that cannot take a control now fails the open, as without a pulse.
    if (carrier != nullptr && !carrier->ready(value)) return InvalidHandle;
    auto adapter = std::make_shared<Adapter>();
    adapter->device = device;
    adapter->carrier = carrier;
    adapter->value = value;
    if (pulse != nullptr) {
        adapter->pulses = true;
        adapter->pulse = pulse->reset;
        auto entry = pulse->devices.find(adapter->pulse.port);
        if (entry != pulse->devices.end()) adapter->pulse_path = entry->second;
    }
    return InsertObject(std::move(adapter));
}

bool AdapterControl(Handle handle, std::uint32_t code, bool* handled) {
    auto adapter = Lookup<Adapter>(handle);
    *handled = adapter != nullptr;
    if (!adapter) return false;
    if (code == RadioResetCode && adapter->pulses) return PulseModemLine(adapter->pulse, adapter->pulse_path);
    if (adapter->carrier == nullptr) return true;
    return adapter->carrier->control(adapter->device.c_str(), adapter->value, code) == ControlResult::Done;
}

bool PulseModemLine(const ResetPulse& pulse, const std::string& path) {
    const int line = pulse.dtr ? TIOCM_DTR : TIOCM_RTS;
    const unsigned long first = pulse.active_high ? TIOCMBIS : TIOCMBIC;
    const unsigned long second = pulse.active_high ? TIOCMBIC : TIOCMBIS;
    char text[160];
    int n = std::snprintf(text, sizeof text, "RIL1: reset pulse: %s %s for %u ms on %s (%s)\r\n",
                          pulse.dtr ? "DTR" : "RTS", pulse.active_high ? "high" : "low", pulse.milliseconds,
                          pulse.port.c_str(), path.c_str());
    DebugOutput(text, static_cast<std::size_t>(n));
    // The module link holds its port exclusively: the pulse goes through that open port.
    std::string node;
    if (!ResolvePortPath(path, &node)) return false;
    std::shared_ptr<SerialPort> port = FindOpenPort(node);
    // A port across the network that nobody holds is opened for the pulse, as a local one is.
    Handle network = InvalidHandle;
    if (!port && KindOfValue(node)->scheme != nullptr) {
        network = OpenRemotePort(node.c_str());
        if (network == InvalidHandle) return false;
        port = FindOpenPort(node);
    }
    int fd = -1;
    if (!port) {
        fd = SysOpen(node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            SetLastError(static_cast<std::uint32_t>(errno));
            return false;
        }
    }
    int rc = LineRequest(port, fd, first, line);
    if (rc == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(pulse.milliseconds));
        rc = LineRequest(port, fd, second, line);
    }
    int error = errno;
    if (fd >= 0) SysClose(fd);
    port.reset();
    if (network != InvalidHandle) CloseHandle(network);
    if (rc != 0) {
        SetLastError(static_cast<std::uint32_t>(error));
        return false;
    }
    return true;
}

}  // namespace platform::internal
