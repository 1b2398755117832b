// The option commands: the peer guard while the bridge holds a port (also half open), the
// radio-group check marks in a menu that carries the option entries and in the real one that
// carries none, and the about box from its resource through its dialog procedure.
#include <gtest/gtest.h>

#include "bridge/bridge.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "resources/resources.h"
#include "shell/main_window.h"
#include "shell/options.h"
#include "tests/support/pty.h"
#include "tests/support/window_thread.h"
#include "resources/commands.h"

namespace {

using namespace platform;
using fwu_test::OutputCapture;
using fwu_test::WindowThread;

const std::string runtime_directory = fwu_test::UsePrivateRuntimeDirectory();

// A menu as a handset build with the option entries would carry it.
constexpr MenuItemTemplate OptionItems[] = {
    {"Bluetooth UART", commands::PeerBluetooth}, {"IR", commands::PeerIr}, {"IrDA", commands::PeerIrda}, {nullptr, 0},
    {"Quiet", commands::DisplayQuiet}, {"Peer to GSM", commands::DisplayPeerToGsm},
    {"GSM to peer", commands::DisplayGsmToPeer}, {"Both", commands::DisplayBoth},
};
constexpr MenuTemplate OptionMenu{"Options", OptionItems, 8};
constexpr MenuBarTemplate OptionBar{105, -2, 40001, 0x04, 0x18, 40003, 0};
constexpr StringTemplate OptionLabel{40003, "Options"};
const ResourceRow OptionResources[] = {
    {RtMenuBar, 105, nullptr, 1028, &OptionBar, sizeof OptionBar},
    {RtMenu, 105, nullptr, 1028, &OptionMenu, sizeof OptionMenu},
    {RtString, 40003, nullptr, 1028, &OptionLabel, sizeof OptionLabel},
};

class Options : public ::testing::Test {
protected:
    void TearDown() override {
        SetResourceTableForTest({nullptr, 0});
        shell::MenuBarWindow = 0;
        shell::BridgePeer = 3;
        shell::DisplayMode = 3;
    }
    // The menu bar of `window`, built from the current resource table, as the create handler does.
    void MakeMenuBar(WindowThread& window) {
        MenuBarRecord record{};
        record.size = sizeof record;
        record.parent = window.window();
        record.menu_bar_id = resources::IDR_MENUBAR;
        record.resource_module = GetModuleHandle();
        ASSERT_TRUE(window.Run([&] { return CreateMenuBar(&record) ? 1 : 0; }));
        shell::MenuBarWindow = record.menu_bar;
        menu = CommandBarGetMenu(record.menu_bar, 0);
        ASSERT_NE(menu, 0u);
    }
    std::int32_t Command(WindowThread& window, std::uint16_t id) {
        return static_cast<std::int32_t>(window.Run([&] { return shell::SelectOption(window.window(), id); }));
    }
    Hmenu menu = 0;
};

TEST_F(Options, StartValues) {
    EXPECT_EQ(shell::BridgePeer.load(), 3);
    EXPECT_EQ(shell::DisplayMode.load(), 3);
}

TEST_F(Options, ChecksMoveWithinEachGroupInAMenuThatHasTheEntries) {
    SetResourceTableForTest({OptionResources, 3});
    WindowThread window;
    MakeMenuBar(window);
    EXPECT_EQ(Command(window, commands::PeerIr), 0);
    EXPECT_EQ(shell::BridgePeer.load(), 2);
    EXPECT_EQ(Command(window, commands::DisplayPeerToGsm), 0);
    EXPECT_EQ(shell::DisplayMode.load(), 1);
    EXPECT_EQ(Command(window, commands::PeerBluetooth), 0);
    EXPECT_EQ(shell::BridgePeer.load(), 1);
    const int peer_marks[] = {GetMenuItemChecked(menu, commands::PeerBluetooth), GetMenuItemChecked(menu, commands::PeerIr),
                              GetMenuItemChecked(menu, commands::PeerIrda)};
    EXPECT_EQ(peer_marks[0] + peer_marks[1] + peer_marks[2], 1);
    EXPECT_EQ(peer_marks[0], 1);
    EXPECT_EQ(GetMenuItemChecked(menu, commands::DisplayPeerToGsm), 1) << "the other group keeps its mark";
    EXPECT_EQ(Command(window, commands::DisplayQuiet), 0);
    EXPECT_EQ(shell::DisplayMode.load(), 0);
    EXPECT_EQ(GetMenuItemChecked(menu, commands::DisplayQuiet), 1);
    EXPECT_EQ(GetMenuItemChecked(menu, commands::DisplayPeerToGsm), 0);
    // Ids beside the groups change nothing.
    EXPECT_EQ(Command(window, commands::Update), 0);
    EXPECT_EQ(Command(window, 109), 0);
    EXPECT_EQ(shell::BridgePeer.load(), 1);
    EXPECT_EQ(shell::DisplayMode.load(), 0);
}

TEST_F(Options, TheRealMenuHasNoEntriesButTheValuesAreSet) {
    WindowThread window;
    MakeMenuBar(window);
    EXPECT_EQ(Command(window, commands::PeerIrda), 0);
    EXPECT_EQ(shell::BridgePeer.load(), 3);
    EXPECT_EQ(Command(window, commands::DisplayGsmToPeer), 0);
    EXPECT_EQ(shell::DisplayMode.load(), 2);
    EXPECT_EQ(GetMenuItemChecked(menu, commands::DisplayGsmToPeer), -1);
    EXPECT_EQ(GetMenuItemChecked(menu, commands::UpdateGo), 0) << "the menu's own entries are untouched";
}

TEST_F(Options, PeerIsRefusedWhileEitherBridgePortIsHeld) {
    fwu_test::Pty pty;
    ASSERT_TRUE(pty.ok());
    Profile profile;
    profile.path = "test";
    profile.devices["COM2:"] = pty.slave();
    SetProfile(profile);
    OutputCapture output;
    WindowThread window;
    MakeMenuBar(window);
    // Half open: only the GSM side is held, as after a start whose peer failed.
    Handle gsm = OpenDevice("COM2:");
    ASSERT_NE(gsm, InvalidHandle);
    bridge::GsmPort = gsm;
    EXPECT_EQ(Command(window, commands::PeerBluetooth), 1);
    EXPECT_EQ(shell::BridgePeer.load(), 3);
    EXPECT_TRUE(output.WaitFor("[Error] COMs should be released first\n"));
    // The display mode has no guard.
    EXPECT_EQ(Command(window, commands::DisplayPeerToGsm), 0);
    EXPECT_EQ(shell::DisplayMode.load(), 1);
    window.Run([&] { return bridge::ReleaseBridge(window.window()); });
    EXPECT_EQ(Command(window, commands::PeerBluetooth), 0);
    EXPECT_EQ(shell::BridgePeer.load(), 1);
    SetProfile(Profile{});
}

TEST_F(Options, AboutBoxFromItsResourceEndsThroughItsProcedure) {
    OutputCapture output;
    WindowThread window;
    EXPECT_EQ(window.Run([&] { return shell::ShowAboutBox(window.window()); }), 0);
    EXPECT_TRUE(output.WaitFor(
        "[About] Zamtalk - Written for Ondra to update phone module firmware and transmit data between "
        "BTUART and FFUART\n"));
    // Without the resource nothing is shown and the result is still 0.
    SetResourceTableForTest({OptionResources, 3});
    EXPECT_EQ(window.Run([&] { return shell::ShowAboutBox(window.window()); }), 0);
}

TEST_F(Options, AboutBoxProcedureHandlesOnlyOkAndCancel) {
    OutputCapture output;
    WindowThread window;
    EXPECT_EQ(shell::AboutBoxProc(0, WM_INITDIALOG, 0, 0), 0);
    EXPECT_EQ(shell::AboutBoxProc(0, WM_COMMAND, 3, 0), 0);
    EXPECT_EQ(shell::AboutBoxProc(0, WM_TIMER, IDOK, 0), 0);
    // In a shown dialog, commands 1 and 2 end it with 0 and report the message as handled.
    Hrsrc found = FindResourceByName(GetModuleHandle(), "ABOUTBOX", RtDialog);
    ASSERT_NE(found, 0u);
    auto* about = static_cast<const DialogTemplate*>(LockResource(LoadResource(GetModuleHandle(), found)));
    EXPECT_EQ(window.Run([&] {
                  return DialogBoxIndirectParam(GetModuleHandle(), about, window.window(), shell::AboutBoxProc, 0);
              }),
              0);
}

}  // namespace
