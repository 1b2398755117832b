// The option commands: two radio groups (bridge peer, display mode) whose check marks live in
// the menu of the menu bar's button 0, and the about box.
#include "shell/options.h"

#include <iterator>

#include "bridge/bridge.h"
#include "resources/commands.h"
#include "resources/resources.h"
#include "shell/main_window.h"

namespace shell {

// Both exist from start-up with their initial values; every logging thread reads DisplayMode.
std::atomic<std::int32_t> BridgePeer{3};
std::atomic<std::int32_t> DisplayMode{3};

namespace {

// The entries of each group, in the order their marks are removed.
constexpr std::uint16_t PeerIds[] = {commands::PeerBluetooth, commands::PeerIr, commands::PeerIrda};
// In the order of the display modes they choose (0 to 3).
constexpr std::uint16_t DisplayIds[] = {commands::DisplayQuiet, commands::DisplayPeerToGsm, commands::DisplayGsmToPeer,
                                        commands::DisplayBoth};

// command id, BridgePeer value
constexpr struct {
    std::uint16_t id;
    std::int32_t peer;
} PeerChoices[] = {
    {commands::PeerBluetooth, 1},
    {commands::PeerIr, 2},
    {commands::PeerIrda, 3},
};

template <std::size_t N>
void MoveCheckMark(platform::Hmenu menu, const std::uint16_t (&group)[N], std::uint16_t chosen) {
    for (std::uint16_t id : group) {
        platform::CheckMenuItem(menu, id, platform::MF_BYCOMMAND | platform::MF_UNCHECKED);
    }
    platform::CheckMenuItem(menu, chosen, platform::MF_BYCOMMAND | platform::MF_CHECKED);
}

}  // namespace

std::int32_t SelectOption(platform::Hwnd window, std::uint16_t id, platform::LParam, std::uint16_t) {
    platform::Hmenu menu = platform::CommandBarGetMenu(MenuBarWindow, 0);
    for (const auto& choice : PeerChoices) {
        if (choice.id != id) continue;
        // The peer cannot change while the bridge holds a port, even a half-open one.
        if (bridge::PeerPort.load() != platform::InvalidHandle ||
            bridge::GsmPort.load() != platform::InvalidHandle) {
            platform::MessageBox(window, "COMs should be released first", nullptr,
                                 platform::MB_OK | platform::MB_ICONSTOP);
            return 1;
        }
        MoveCheckMark(menu, PeerIds, id);
        BridgePeer.store(choice.peer);
        return 0;
    }
    for (std::int32_t mode = 0; mode < static_cast<std::int32_t>(std::size(DisplayIds)); ++mode) {
        if (DisplayIds[mode] != id) continue;
        MoveCheckMark(menu, DisplayIds, id);
        DisplayMode.store(mode);
    }
    return 0;
}

std::int32_t ShowAboutBox(platform::Hwnd window, std::uint16_t, platform::LParam, std::uint16_t) {
    const platform::Hinstance module = platform::GetModuleHandle();
    platform::Hrsrc found = platform::FindResourceByName(module, "aboutbox", platform::RtDialog);
    if (found == 0) return 0;
    platform::Hglobal loaded = platform::LoadResource(module, found);
    if (loaded == nullptr) return 0;
    const auto* dialog = static_cast<const platform::DialogTemplate*>(platform::LockResource(loaded));
    platform::DialogBoxIndirectParam(module, dialog, window, AboutBoxProc, 0);
    return 0;
}

std::intptr_t AboutBoxProc(platform::Hwnd dialog, std::uint32_t message, platform::WParam wparam,
                           platform::LParam) {
    if (message == platform::WM_COMMAND) {
        const std::uint16_t command = platform::LowWord(wparam);
        if (command == platform::IDOK || command == platform::IDCANCEL) {
            platform::EndDialog(dialog, 0);
            return 1;
        }
    }
    return 0;
}

}  // namespace shell
