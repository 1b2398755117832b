// The main window: start-up, the window procedure with its message table, the command table,
// the timer table with the keep-alive timer, and the orderly shut-down. Everything here runs on
// the window's thread.
#include "shell/main_window.h"

#include <cerrno>
#include <cstring>

#include "bridge/bridge.h"
#include "device/radio.h"
#include "device/reboot.h"
#include "resources/commands.h"
#include "resources/resources.h"
#include "shell/log.h"
#include "shell/options.h"
#include "shell/run_context.h"
#include "update/payloads.h"
#include "update/update.h"

namespace shell {

std::atomic<std::int32_t> KeepForeground{1};
char WorkDir[WorkDirSize] = {};
platform::Hwnd MenuBarWindow = 0;
void* GpioWindow = nullptr;
std::atomic<platform::Hwnd> MainWindow{0};

namespace {

using namespace platform;

constexpr std::uintptr_t KeepAliveTimer = 100;
constexpr std::uint32_t KeepAlivePeriodMs = 10000;
constexpr std::size_t GpioWindowSize = 332;
constexpr std::uintptr_t GpioRegisterBlock = 0xB4E00000;  // the kernel's static mapping
constexpr std::uint32_t LogPaneStyle = 0x50200884;        // child, visible, vscroll, read-only, auto-hscroll, multi-line
constexpr std::uint32_t LogPaneExStyle = 0x00000200;      // sunken client edge
constexpr std::uint32_t MainWindowStyle = 0x10000000;     // visible
constexpr int CommandBarId = 4;
// The banner names the firmware of the payload set in use (the built-in set's is V.4.2.0).
constexpr char BannerFormat[] = "Korvan Halvik Firmware Utility\r\n<< Firmware Version: %s >>\r\n";
constexpr char UnnamedRevision[] = "not named by the set";

constexpr char UpdateRunningCaption[] = "Update running";
constexpr char LeaveDuringUpdateText[] =
    "An update is running: leaving now leaves the module half-written, and it may need another "
    "update.\r\nClose again to leave anyway.";

Hinstance ModuleInstance = 0;
bool LeaveConfirmed = false;  // a close request during this update has been answered with the box
ActivationRecord ActivationInfo{};  // handed to both shell activation routines, never written here

// ---- the command table
// command id, handler: scanned from the first row, the first match wins; the rows keep the
// order in which the commands are numbered in the tool's command list.
constexpr CommandRow CommandTable[] = {
    {commands::Done, CloseMainWindow},
    {commands::Exit, CloseMainWindow},
    {commands::About, ShowAboutBox},
    {commands::SuspendRadio, device::SuspendRadio},
    {commands::ResumeRadio, device::ResumeRadio},
    {commands::ResetModule, device::ResetModule},
    {commands::StartBridge, bridge::StartBridge},
    {commands::ReleaseBridge, bridge::ReleaseBridge},
    {commands::Reboot, device::RebootDevice},
    {commands::PeerBluetooth, SelectOption},
    {commands::PeerIr, SelectOption},
    {commands::PeerIrda, SelectOption},
    {commands::DisplayQuiet, SelectOption},
    {commands::DisplayPeerToGsm, SelectOption},
    {commands::DisplayGsmToPeer, SelectOption},
    {commands::DisplayBoth, SelectOption},
    {commands::Update, update::StartUpdate},
    {commands::UpdateGo, update::StartUpdate},
};

// ---- handlers of the message table

// Menu bar, log pane, dialog-style set-up, register window, keep-alive timer, WorkDir, banner.
// -1 refuses the window; a failure after the menu bar destroys the window and returns 0.
LResult OnCreate(Hwnd window, std::uint32_t, WParam, LParam) {
    MainWindow.store(window);

    MenuBarRecord bar;
    std::memset(&bar, 0, sizeof bar);
    bar.size = sizeof bar;
    bar.parent = window;
    bar.flags = 0;
    bar.menu_bar_id = resources::IDR_MENUBAR;
    bar.resource_module = ModuleInstance;
    if (!CreateMenuBar(&bar)) return -1;
    MenuBarWindow = bar.menu_bar;

    Hwnd pane = CreateWindowEx(LogPaneExStyle, "edit", "", LogPaneStyle, 0, 0, CW_USEDEFAULT, CW_USEDEFAULT,
                               window, LogPaneId, ModuleInstance, nullptr);
    if (!IsWindow(pane)) {
        DestroyWindow(window);
        return 0;
    }

    DialogInitRecord dialog{1, window, 0x01 | 0x04};  // done button, full-screen sizing
    ShInitDialog(&dialog);

    void* reserved = VirtualAlloc(nullptr, GpioWindowSize, MemReserve, PageNoAccess);
    if (reserved == nullptr) {
        DestroyWindow(window);
        return 0;
    }
    GpioWindow = reserved;
    if (!VirtualCopy(GpioWindow, GpioRegisterBlock, GpioWindowSize, PageReadWrite | PageNoCache)) {
        DestroyWindow(window);  // the destroy handler releases the reservation
        return 0;
    }

    SetTimer(window, KeepAliveTimer, KeepAlivePeriodMs);

    // WorkDir: the program's directory with its trailing '/'. The whole path is read, so a long
    // file name never hides the directory; a path without '/', or a directory that does not fit
    // WorkDir, leaves WorkDir empty (never a cut, wrong directory) and says so in a box.
    std::memset(WorkDir, 0, sizeof WorkDir);
    char path[4096];
    std::uint32_t length = GetModuleFileName(ModuleInstance, path, sizeof path);
    const char* separator = std::strrchr(path, '/');
    if (length > 0 && length < sizeof path - 1 && separator != nullptr &&
        static_cast<std::size_t>(separator - path) + 1 < WorkDirSize) {
        std::memcpy(WorkDir, path, static_cast<std::size_t>(separator - path) + 1);
    } else {
        MessageBox(NoWindow, path, "WorkDir Error", MB_OK);
    }

    TracePrint("get current dir %s\r\n", WorkDir);
    const std::string& revision = update::CurrentPayloadSet().revision;
    FormatText(MessageBuffer(), MessageBufferSize, BannerFormat, revision.empty() ? UnnamedRevision : revision.c_str());
    AppendLogUnlessQuiet(window, MessageBuffer());
    // Which payloads an update would send: stand-in filler is fit only for a simulated handset.
    TracePrint("%s\r\n", update::PayloadSetLine().c_str());
    return 0;
}

// Child 5 fills the client area below a command bar (none here: height 0).
LResult OnSize(Hwnd window, std::uint32_t, WParam, LParam) {
    Rect client;
    GetClientRect(window, &client);
    client.top += CommandBarHeight(GetDlgItem(window, CommandBarId));
    SetWindowPos(GetDlgItem(window, LogPaneId), 0, client.left, client.top, client.right - client.left,
                 client.bottom - client.top, SWP_NOZORDER);
    return 0;
}

LResult OnCommand(Hwnd window, std::uint32_t, WParam wparam, LParam lparam) {
    return DispatchCommand(CommandTable, sizeof CommandTable / sizeof CommandTable[0], window, wparam, lparam);
}

LResult OnShellActivation(Hwnd window, std::uint32_t message, WParam wparam, LParam lparam) {
    if (message == WM_SETTINGCHANGE) return ShHandleSettingChange(window, wparam, lparam, &ActivationInfo);
    if (message == WM_ACTIVATE) return ShHandleActivate(window, wparam, lparam, &ActivationInfo, 0);
    return 0;
}

LResult OnSetFocus(Hwnd window, std::uint32_t, WParam, LParam) {
    SetFocus(GetDlgItem(window, LogPaneId));
    return 0;
}

// Leaving while an update runs leaves the module half-written. On a screen that a person sees,
// a close request asks first, with a box; the next request leaves. Requests from the system
// (SIGTERM, SIGHUP, a terminal gone) and headless windows leave at once; the program then says
// on stderr that the update was interrupted.
LResult OnClose(Hwnd window, std::uint32_t message, WParam wparam, LParam lparam) {
    if (!Run().update.state.running.load()) LeaveConfirmed = false;
    if (Run().update.state.running.load() && wparam != CloseBySystem && ScreenIsInteractive() && !LeaveConfirmed) {
        LeaveConfirmed = true;
        MessageBox(window, LeaveDuringUpdateText, UpdateRunningCaption, MB_OK);
        return 0;
    }
    return DefWindowProc(window, message, wparam, lparam);
}

// The run has ended: a box asking whether to leave during it no longer stands. The run cleared
// UpdateRunning before posting this, so a close request handled after it shows no box.
LResult OnRunEnded(Hwnd, std::uint32_t, WParam, LParam) {
    CloseMessageBoxes(UpdateRunningCaption);
    return 0;
}

// The bridge release steps, the register window, the quit message. Never waits for a thread:
// a relay thread may be logging to this very window.
LResult OnDestroy(Hwnd window, std::uint32_t, WParam, LParam) {
    update::CallOffRun();
    bridge::ReleaseBridgeSteps();
    if (GpioWindow != nullptr) {
        VirtualFree(GpioWindow, 0, MemRelease);
        GpioWindow = nullptr;
    }
    Hwnd expected = window;
    MainWindow.compare_exchange_strong(expected, 0);
    PostQuitMessage(0);
    return 0;
}

// A bridge port was lost: the bridge decides whether the window idles, ends or waits for it.
LResult OnBridgePortLost(Hwnd window, std::uint32_t, WParam, LParam) {
    bridge::OnPortLost(window);
    return 0;
}

// Every tick: idle timer, the silent key event, and the window to the front while asked.
LResult OnKeepAlive(Hwnd window, std::uint32_t, WParam, LParam) {
    SystemIdleTimerReset();
    KeybdEvent(0x15, 0, 6, 0);
    if (KeepForeground.load() != 0) SetForegroundWindow(window | 1);
    return 0;
}

// The bridge's reopen timer: it looks for its lost port.
LResult OnReopenTimer(Hwnd window, std::uint32_t, WParam, LParam) {
    bridge::TryReopen(window);
    return 0;
}

using MessageHandler = LResult (*)(Hwnd window, std::uint32_t message, WParam wparam, LParam lparam);

// ---- the timer table
struct TimerRow {
    std::uintptr_t timer;
    MessageHandler handler;
};
// timer id (WM_TIMER's wparam), handler: scanned from the first row, the first match wins. A
// tick of a timer with no row is the keep-alive's, which never looks at the id.
constexpr TimerRow TimerTable[] = {
    {KeepAliveTimer, OnKeepAlive},
    {bridge::ReopenTimer, OnReopenTimer},
};

LResult OnTimer(Hwnd window, std::uint32_t message, WParam timer, LParam lparam) {
    for (const TimerRow& row : TimerTable) {
        if (row.timer == timer) return row.handler(window, message, timer, lparam);
    }
    return OnKeepAlive(window, message, timer, lparam);
}

// ---- the message table
struct MessageRow {
    std::uint32_t message;
    MessageHandler handler;
};
// message number, handler: scanned from the first row, the first match wins; other messages
// get the platform's default processing.
constexpr MessageRow MessageTable[] = {
    {WM_CREATE, OnCreate},
    {WM_SIZE, OnSize},
    {WM_COMMAND, OnCommand},
    {WM_SETTINGCHANGE, OnShellActivation},
    {WM_ACTIVATE, OnShellActivation},
    {WM_SETFOCUS, OnSetFocus},
    {WM_CLOSE, OnClose},
    {WM_DESTROY, OnDestroy},
    {WM_TIMER, OnTimer},
    {bridge::PortLostMessage, OnBridgePortLost},
    {update::RunEndedMessage, OnRunEnded},
};

}  // namespace

bool IsCommand(std::uint16_t id) {
    for (const CommandRow& row : CommandTable) {
        if (row.id == id) return true;
    }
    return false;
}

std::int32_t DispatchCommand(const CommandRow* rows, std::size_t count, Hwnd window, WParam wparam,
                             LParam lparam) {
    const std::uint16_t id = LowWord(wparam);
    for (std::size_t i = 0; i < count; ++i) {
        if (rows[i].id == id) return rows[i].handler(window, id, lparam, HighWord(wparam));
    }
    return 0;
}

LResult MainWindowProc(Hwnd window, std::uint32_t message, WParam wparam, LParam lparam) {
    for (const MessageRow& row : MessageTable) {
        if (row.message == message) return row.handler(window, message, wparam, lparam);
    }
    return DefWindowProc(window, message, wparam, lparam);
}

std::int32_t CloseMainWindow(Hwnd window, std::uint16_t, LParam, std::uint16_t) {
    SendMessage(window, WM_CLOSE, 0, 0);
    return 0;
}

int RunMainWindow(int show_state, const std::uint16_t* commands, int command_count) {
    // 1. One window per user: bring the running one to the front and leave.
    if (Hwnd running = FindWindow(WindowClassName)) {
        SetForegroundWindow(running | 1);
        return -1;
    }
    // 2. The window class.
    if (RegisterClass(WindowClassName, MainWindowProc, GetModuleHandle()) == 0) return 1;
    // 3. Common controls: the bar classes (result not checked).
    InitCommonControls(4);
    // 4. The main window; the create handler runs inside.
    ModuleInstance = GetModuleHandle();
    Hwnd window = CreateWindowEx(0, WindowClassName, WindowClassName, MainWindowStyle, CW_USEDEFAULT,
                                 CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, 0, 0, ModuleInstance, nullptr);
    // 5. Refused, or destroyed during creation; another start that won the race for the one
    // window has said so.
    if (window == 0 && GetLastError() == EEXIST) return -1;
    if (window == 0 || !IsWindow(window)) return 16;
    // 6. Shown and painted.
    ShowWindow(window, show_state);
    UpdateWindow(window);
    // 7. Accelerators; then the commands asked for on the command line, in order.
    Haccel accelerators = LoadAccelerators(ModuleInstance, resources::ID_ACCEL);
    for (int i = 0; i < command_count; ++i) PostMessage(window, WM_COMMAND, MakeWParam(commands[i], 0), 0);
    // 8. The message loop.
    Msg msg{};
    while (GetMessage(&msg)) {
        if (!TranslateAccelerator(window, accelerators, &msg)) {
            TranslateMessage(&msg);
            DispatchMessage(&msg);
        }
    }
    // 9. The quit message's code.
    return static_cast<int>(msg.wparam);
}

}  // namespace shell
