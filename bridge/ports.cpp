// Opening the bridge ports (command 153, first half). The GSM side (FF UART) and the Bluetooth
// UART are found through the registry of the built-in serial drivers ("Index" -> "COM%d:");
// the IR and IrDA peers have fixed names and keep the driver's settings. Every open is logged.
// A handle variable changes only when an open succeeds; only the release invalidates it.
#include <cstring>

#include "bridge/bridge.h"
#include "bridge/relay.h"

namespace bridge {

namespace {

// Port names as the registry index gives them: a single digit only.
constexpr const char* ComNames[] = {"COM0:", "COM1:", "COM2:", "COM3:", "COM4:",
                                    "COM5:", "COM6:", "COM7:", "COM8:", "COM9:"};
constexpr const char* IrPortName = "COM5:";
constexpr const char* IrdaPortName = "COM3:";

// One row per kind of bridge port: (name argument, registry key, log tag, handle, name slot).
struct BridgePortRow {
    const char* name;
    const char* registry_key;
    const char* tag;
    std::atomic<platform::Handle>* handle;
    std::atomic<const char*> BridgeRun::*port_name;
};
constexpr BridgePortRow FfRow{"FFUART", "Drivers\\BuiltIn\\Serial", "FF", &GsmPort, &BridgeRun::gsm_port_name};
constexpr BridgePortRow BtRow{"BTUART", "Drivers\\BuiltIn\\Serial2", "BT", &PeerPort, &BridgeRun::peer_port_name};

// Stores a freshly opened port. A handle already held there belongs to a device that vanished
// and came back under the same name (a held port cannot be opened twice): close it, or its
// descriptor and lock would stay behind for the life of the process.
void StorePort(std::atomic<platform::Handle>* slot, std::atomic<const char*>* name_slot,
               platform::Handle port, const char* name) {
    name_slot->store(name);
    platform::Handle previous = slot->exchange(port);
    if (previous != platform::InvalidHandle) platform::CloseHandle(previous);
}

// The bridge's line settings and time-outs; results are ignored, the port is used as it is.
void ConfigureBridgePort(platform::Handle port) {
    platform::Dcb dcb{};
    dcb.length = sizeof dcb;
    platform::GetCommState(port, &dcb);
    dcb.baud_rate = 115200;
    dcb.parity_check = 0;
    dcb.null_strip = 0;
    dcb.stop_bits = 0;
    dcb.parity = 0;
    dcb.byte_size = 8;
    dcb.in_x = 0;
    dcb.out_x = 0;
    platform::SetCommState(port, &dcb);
    platform::PurgeComm(port, platform::PurgeTxClear | platform::PurgeRxClear);
    // A read returns after about 1 ms with what has arrived; a write has no time-out.
    const platform::CommTimeouts timeouts{0, 0, 1, 0, 0};
    platform::SetCommTimeouts(port, &timeouts);
}

// The "Index" value of a registry key as a port name; nullptr (the empty name) when the value
// is missing or 10 or more. *key_opened tells whether the key itself was there.
const char* LookUpPortName(const char* registry_key, bool* key_opened) {
    platform::Handle key = platform::InvalidHandle;
    *key_opened = platform::RegOpenKeyEx(platform::HkeyLocalMachine, registry_key, &key) == 0;
    if (!*key_opened) return nullptr;
    std::uint32_t index = 0;
    std::uint32_t type = 0;
    std::uint32_t size = sizeof index;
    const char* name = nullptr;
    if (platform::RegQueryValueEx(key, "Index", &type, &index, &size) == 0) name = PortNameOf(index);
    platform::RegCloseKey(key);
    return name;
}

std::int32_t OpenBtPort(platform::Hwnd window) { return OpenBridgePort(window, "BTUART"); }

// BridgePeer -> the peer's opener. Columns: (BridgePeer value, opener).
struct PeerRow {
    std::int32_t peer;
    std::int32_t (*open)(platform::Hwnd window);
};
constexpr PeerRow PeerTable[] = {
    {1, OpenBtPort},
    {2, OpenIrPort},
    {3, OpenIrdaPort},
};

}  // namespace


namespace {

// A bridge that could not start: remembered, and for `firmware-utility bridge` the window closes.
std::int32_t RefuseStart(platform::Hwnd window) {
    BridgeRunOf().start_refused.store(1);
    if (BridgeRunOf().close_window_if_not_started && window != 0) platform::PostMessage(window, platform::WM_CLOSE, 0, 0);
    return CommandRefused;
}

}  // namespace

const char* PortNameOf(std::uint32_t number) { return number < 10 ? ComNames[number] : nullptr; }

std::int32_t OpenBridgePort(platform::Hwnd window, const char* name) {
    // Exact, case-sensitive: anything but "FFUART" is the Bluetooth UART.
    const BridgePortRow& row = std::strcmp(name, FfRow.name) == 0 ? FfRow : BtRow;
    bool key_opened = false;
    const char* port_name = LookUpPortName(row.registry_key, &key_opened);
    platform::Handle port = platform::InvalidHandle;
    // The GSM side tries the open even without its key; the Bluetooth side only with it. An
    // empty name opens nothing.
    if (key_opened || &row == &FfRow) port = platform::OpenDevice(port_name ? port_name : "");
    if (port == platform::InvalidHandle) {
        const std::uint32_t error = platform::GetLastError();
        platform::SayFormattedLine(Lines(), window, "Open %s(%s) failed.\r\n", row.tag, port_name ? port_name : "");
        if (port_name != nullptr) platform::ExplainAndReportOpenFailure(Lines(), port_name, error);
        return PortNotOpened;
    }
    platform::SayFormattedLine(Lines(), window, "%s opened\r\n", port_name);
    StorePort(row.handle, &(BridgeRunOf().*row.port_name), port, port_name);
    ConfigureBridgePort(port);
    return PortOpened;
}

namespace {

// The IR and IrDA ports open under fixed names and keep the driver's own settings.
std::int32_t OpenFixedPeer(platform::Hwnd window, const char* name, const char* failed_line,
                           const char* opened_line) {
    platform::Handle port = platform::OpenDevice(name);
    if (port == platform::InvalidHandle) {
        const std::uint32_t error = platform::GetLastError();
        platform::SayFormattedLine(Lines(), window, failed_line, name);
        platform::ExplainAndReportOpenFailure(Lines(), name, error);
        return PortNotOpened;
    }
    platform::SayFormattedLine(Lines(), window, opened_line, name);
    StorePort(&PeerPort, &BridgeRunOf().peer_port_name, port, name);
    return PortOpened;
}

}  // namespace

std::int32_t OpenIrPort(platform::Hwnd window) {
    return OpenFixedPeer(window, IrPortName, "Open IR(%s) failed.\r\n", "%s (IR)opened\r\n");
}

std::int32_t OpenIrdaPort(platform::Hwnd window) {
    return OpenFixedPeer(window, IrdaPortName, "Open IRDA(%s) failed.\r\n", "IRDA(%s) opened\r\n");
}

std::int32_t StartBridge(platform::Hwnd window, std::uint16_t, platform::LParam, std::uint16_t) {
    OpenBridgePort(window, "FFUART");  // the peer is opened even when the GSM side failed
    const std::int32_t peer = BridgePeerOption();
    for (const PeerRow& row : PeerTable) {
        if (row.peer == peer) {
            row.open(window);
            break;
        }
    }
    if (PeerPort.load() == platform::InvalidHandle || GsmPort.load() == platform::InvalidHandle) {
        // A port that did open stays held until the release.
        platform::SayFormattedLine(Lines(), window, "one of the handles is INVALID_HANDLE_VALUE\r\n");
        return RefuseStart(window);
    }
    return StartRelays(window) == CommandDone ? CommandDone : RefuseStart(window);
}

}  // namespace bridge

namespace bridge {

namespace {

bool RelayThreadRunning(platform::Handle thread) {
    std::uint32_t code = 0;
    return platform::GetExitCodeThread(thread, &code) && code == platform::StillActive;
}

}  // namespace

void OnPortLost(platform::Hwnd window) {
    if (RelayRunning.load() == 0 || BridgeRunOf().relay_lost.load() == 0) return;  // released meanwhile
    if (BridgeRunOf().reopen_lost_port) {
        platform::SetTimer(window, ReopenTimer, ReopenPollMs);
        return;
    }
    if (!BridgeRunOf().end_on_lost_port) return;  // the window idles, as it always did
    BridgeRunOf().ended_by_lost_port.store(1);
    platform::PostMessage(window, platform::WM_CLOSE, 0, 0);
}

// The lost port's name opens again (a re-plugged adapter, a re-created device): it takes the
// lost handle's place and relaying starts again. Relay threads still on their way out are
// waited for by the next tick.
void TryReopen(platform::Hwnd window) {
    std::atomic<platform::Handle>* slot = BridgeRunOf().lost_slot.load();
    if (RelayRunning.load() == 0 || BridgeRunOf().relay_lost.load() == 0 || slot == nullptr) {
        platform::KillTimer(window, ReopenTimer);
        return;
    }
    if (RelayThreadRunning(GsmToPeerThread.load()) || RelayThreadRunning(PeerToGsmThread.load())) return;
    std::atomic<const char*>* name_slot = slot == &GsmPort ? &BridgeRunOf().gsm_port_name : &BridgeRunOf().peer_port_name;
    const char* name = name_slot->load();
    if (name == nullptr) return;
    platform::Handle port = platform::OpenDevice(name);
    if (port == platform::InvalidHandle) return;  // not back yet
    platform::KillTimer(window, ReopenTimer);
    StorePort(slot, name_slot, port, name);
    // The FF and Bluetooth UARTs take the bridge's settings; IR and IrDA keep the driver's.
    if (slot == &GsmPort || BridgePeerOption() == 1) ConfigureBridgePort(port);
    BridgeRunOf().lost_slot.store(nullptr);
    platform::SayFormattedLine(Lines(), window, "%s is back, relaying again\r\n", name);
    StartRelays(window);
}

}  // namespace bridge
