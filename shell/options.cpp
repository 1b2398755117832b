// The option commands: two radio groups (bridge peer, display mode) whose check marks live in
// the menu of the menu bar's button 0, and the about box.
#include "shell/options.h"

#include "bridge/bridge.h"
#include "resources/resources.h"
#include "shell/main_window.h"

namespace shell {

namespace {

// The entries of each group, in the order their marks are removed.
constexpr std::uint16_t PeerIds[] = {110, 111, 116};
constexpr std::uint16_t DisplayIds[] = {112, 113, 114, 115};

// command id, BridgePeer value
constexpr struct {
    std::uint16_t id;
    std::int32_t peer;
} PeerChoices[] = {
    {110, 1},  // Bluetooth UART
    {111, 2},  // IR "COM5:"
    {116, 3},  // IrDA "COM3:"
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
    if (id >= 112 && id <= 115) {
        MoveCheckMark(menu, DisplayIds, id);
        DisplayMode.store(id - 112);
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
