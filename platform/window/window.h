// Implemented in platform/window/window.cpp, platform/window/message_queue.cpp,
// platform/window/posted_text.cpp,
// platform/window/menu.cpp, platform/window/dialog.cpp, platform/window/instance.cpp,
// platform/window/instance_listener.cpp, platform/window/close_signals.cpp,
// platform/window/module_file.cpp, platform/window/resources.cpp, platform/screen/screen.cpp and
// platform/screen/headless.cpp.
// The window layer: a small window system in the shape the shell expects.
//
// How it works: every thread that creates a window owns a message queue. PostMessage queues a
// message; SendMessage calls the window procedure directly on the window's own thread, or, from
// another thread, queues the call and blocks the sender until the window's thread has handled
// it (a destroyed window, or a thread whose loop has ended, answers 0 at once and releases every
// waiting sender). PostText queues a text without waiting; texts posted while one waits join it,
// and the window's thread takes them in one call before it handles anything else.
// GetMessage sleeps in poll on the queue's wake-up descriptor, the screen's
// input and the next timer deadline, and handles queued sent messages while it waits. Two
// screens draw the windows: headless (log text to stdout) and terminal (ncurses).
//
// Index: Hwnd NoWindow | RegisterClass UnregisterClass CreateWindowEx DestroyWindow IsWindow IsWindowThread GetDlgItem
// DefWindowProc | SendMessage PostMessage PostQuitMessage GetMessage TranslateAccelerator
// TranslateMessage DispatchMessage PostText WaitForPostedText PostedTextBytes PostedTextDelayMs |
// ShowWindow UpdateWindow GetClientRect SetWindowPos SetFocus
// SetTimer KillTimer | FindWindow GetWindowProcessId SetForegroundWindow SendCommandToRunningWindow
// DeferReply CompleteReply
// PrepareRuntimeDirectory | CreateMenuBar CommandBarHeight CommandBarGetMenu CheckMenuItem
// GetMenuItemChecked InitCommonControls ShInitDialog ShHandleSettingChange ShHandleActivate |
// LoadAccelerators MessageBox CloseMessageBoxes DialogBoxIndirectParam EndDialog | FindResource LoadResource
// LockResource SizeofResource GetModuleHandle GetModuleFileName | SelectScreen SetScreenStatus HeadlessTextToStderr
// LiveLineYield ShareHeadlessTerminal InstallCloseSignals CloseSignalOrigin
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/base/system.h"

namespace platform {

using Hwnd = std::uint32_t;  // 0 is no window; values are never reused
// The window of a call that has none: the radio and reboot operations then log nothing.
inline constexpr Hwnd NoWindow = 0;
using Hmenu = std::uint32_t;
using Haccel = std::uint32_t;
using Hinstance = std::uint32_t;  // the program's own module is 1
using WParam = std::uintptr_t;
using LParam = std::intptr_t;
using LResult = std::intptr_t;
using WndProc = LResult (*)(Hwnd window, std::uint32_t message, WParam wparam, LParam lparam);
using DlgProc = std::intptr_t (*)(Hwnd dialog, std::uint32_t message, WParam wparam, LParam lparam);

// Messages
inline constexpr std::uint32_t WM_CREATE = 0x0001;
inline constexpr std::uint32_t WM_DESTROY = 0x0002;
inline constexpr std::uint32_t WM_SIZE = 0x0005;
inline constexpr std::uint32_t WM_ACTIVATE = 0x0006;
inline constexpr std::uint32_t WM_SETFOCUS = 0x0007;
inline constexpr std::uint32_t WM_SETTEXT = 0x000C;
inline constexpr std::uint32_t WM_GETTEXT = 0x000D;
inline constexpr std::uint32_t WM_GETTEXTLENGTH = 0x000E;
inline constexpr std::uint32_t WM_PAINT = 0x000F;
inline constexpr std::uint32_t WM_CLOSE = 0x0010;
inline constexpr std::uint32_t WM_QUIT = 0x0012;
inline constexpr std::uint32_t WM_SETTINGCHANGE = 0x001A;
inline constexpr std::uint32_t WM_KEYDOWN = 0x0100;
inline constexpr std::uint32_t WM_CHAR = 0x0102;
inline constexpr std::uint32_t WM_INITDIALOG = 0x0110;
inline constexpr std::uint32_t WM_COMMAND = 0x0111;
inline constexpr std::uint32_t WM_TIMER = 0x0113;
inline constexpr std::uint32_t EM_GETSEL = 0x00B0;
inline constexpr std::uint32_t EM_SETSEL = 0x00B1;
inline constexpr std::uint32_t EM_REPLACESEL = 0x00C2;
inline constexpr std::uint32_t EM_SETLIMITTEXT = 0x00C5;  // wparam: bytes, 0 for the default
inline constexpr std::uint32_t EM_GETLIMITTEXT = 0x00D5;
// The edit control's capacity in bytes of text unless EM_SETLIMITTEXT sets another: past it, the
// oldest whole lines are dropped from the front (a log left running keeps a bounded tail).
inline constexpr std::size_t EditCapacity = std::size_t{4} << 20;

// Styles and flags the shell passes
inline constexpr std::uint32_t WS_VISIBLE = 0x10000000;
inline constexpr std::uint32_t WS_CHILD = 0x40000000;
inline constexpr int CW_USEDEFAULT = static_cast<int>(0x80000000u);
inline constexpr std::uint32_t SWP_NOSIZE = 0x0001;
inline constexpr std::uint32_t SWP_NOMOVE = 0x0002;
inline constexpr std::uint32_t SWP_NOZORDER = 0x0004;
inline constexpr int SW_HIDE = 0;
inline constexpr int SW_SHOWNORMAL = 1;
inline constexpr int SW_SHOW = 5;
inline constexpr std::uint32_t MB_OK = 0x00000000;
inline constexpr std::uint32_t MB_ICONSTOP = 0x00000010;
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr std::uint32_t MF_BYCOMMAND = 0x0000;
inline constexpr std::uint32_t MF_UNCHECKED = 0x0000;
inline constexpr std::uint32_t MF_CHECKED = 0x0008;

// Key messages: WM_KEYDOWN carries the virtual key ('A'..'Z', '0'..'9', or a VK_ value) in
// wparam; lparam holds the character the key types (KeyCharMask, 0 for none) and the modifier
// bits. TranslateMessage posts WM_CHAR with that character when neither Ctrl nor Alt is held.
inline constexpr LParam KeyCharMask = 0x1FFFFF;
inline constexpr LParam KeyShift = 0x01000000;
inline constexpr LParam KeyControl = 0x02000000;
inline constexpr LParam KeyAlt = 0x04000000;

inline constexpr WParam MakeWParam(std::uint16_t low, std::uint16_t high) {
    return static_cast<WParam>(low) | (static_cast<WParam>(high) << 16);
}
inline constexpr std::uint16_t LowWord(WParam value) { return static_cast<std::uint16_t>(value & 0xFFFF); }
inline constexpr std::uint16_t HighWord(WParam value) {
    return static_cast<std::uint16_t>((value >> 16) & 0xFFFF);
}

struct Msg {
    Hwnd hwnd;
    std::uint32_t message;
    WParam wparam;
    LParam lparam;
};

struct Rect {
    int left, top, right, bottom;
};

// WM_CREATE's lparam points at one of these.
struct CreateStruct {
    void* create_param;
    Hinstance instance;
    std::uintptr_t menu_or_child_id;
    Hwnd parent;
    int height, width, y, x;
    std::uint32_t style;
    const char* name;
    const char* class_name;
    std::uint32_t ex_style;
};

// ---- classes and windows
// The class atom, or 0 when the class cannot be registered (already registered, or a fault).
std::uint16_t RegisterClass(const char* class_name, WndProc proc, Hinstance instance);
// False while a window of the class exists, or for an unknown class.
bool UnregisterClass(const char* class_name, Hinstance instance);
// "edit" is built in: multi-line, read-only edit control with caret and selection.
Hwnd CreateWindowEx(std::uint32_t ex_style, const char* class_name, const char* title,
                    std::uint32_t style, int x, int y, int width, int height, Hwnd parent,
                    std::uintptr_t menu_or_child_id, Hinstance instance, void* create_param);
bool DestroyWindow(Hwnd window);
bool IsWindow(Hwnd window);
// True on the thread that owns the window (its procedure runs there); false for no window.
bool IsWindowThread(Hwnd window);
Hwnd GetDlgItem(Hwnd parent, int child_id);
// Destroys the window on WM_CLOSE; answers 0 to the rest.
LResult DefWindowProc(Hwnd window, std::uint32_t message, WParam wparam, LParam lparam);

// ---- messages
LResult SendMessage(Hwnd window, std::uint32_t message, WParam wparam, LParam lparam);
bool PostMessage(Hwnd window, std::uint32_t message, WParam wparam, LParam lparam);
void PostQuitMessage(int exit_code);
// False when the quit message was fetched (its code in msg->wparam).
bool GetMessage(Msg* msg);
// True when msg was an accelerator key of the table: the command was sent to `window`.
bool TranslateAccelerator(Hwnd window, Haccel table, const Msg* msg);
void TranslateMessage(const Msg* msg);
LResult DispatchMessage(const Msg* msg);
// Text for a window without waiting for the window's thread (a worker's log lines): `message`
// with a copy of the text as its lparam. Texts that come for the same window and message while
// one waits are appended to it, in order, and the window's thread hands them over in one call,
// PostedTextDelayMs after the first or at once before it handles anything else (a message, a
// sent call, a timer, the window's destruction). An EM_REPLACESEL batch that would pass the edit
// control's capacity goes line by line, so the control drops what it would for texts appended
// one by one. The texts waiting for a thread hold at most PostedTextBytes (a larger one goes
// alone): a poster finding no room sleeps until there is, unless its thread is terminated. On
// the window's own thread the texts waiting go first, then this one, at once. The texts of a
// window destroyed or of a loop ended are dropped. False when the text is refused: no window, a
// window destroyed, a loop ended, or no room for a terminated thread.
inline constexpr std::size_t PostedTextBytes = 64 * 1024;
inline constexpr std::uint32_t PostedTextDelayMs = 5;
bool PostText(Hwnd window, std::uint32_t message, const char* text);
// Waits until every text posted so far for the window's thread is handed over or dropped, so
// that what the poster does next (a message box) comes after them.
void WaitForPostedText(Hwnd window);

// ---- layout, focus, timers
bool ShowWindow(Hwnd window, int show_state);
bool UpdateWindow(Hwnd window);
bool GetClientRect(Hwnd window, Rect* rect);
bool SetWindowPos(Hwnd window, Hwnd insert_after, int x, int y, int width, int height,
                  std::uint32_t flags);
Hwnd SetFocus(Hwnd window);
// Delivers WM_TIMER with the id to the window every `milliseconds`; 0 on failure.
std::uintptr_t SetTimer(Hwnd window, std::uintptr_t id, std::uint32_t milliseconds);
bool KillTimer(Hwnd window, std::uintptr_t id);

// ---- one window per user: a top-level window of a class listens on a Unix socket in the
// runtime directory. FindWindow finds one of this process or of another process of the same
// user; SetForegroundWindow on another process's window asks it to come to the front.
Hwnd FindWindow(const char* class_name);
// The process a window found by FindWindow runs in; 0 when it is no window.
std::uint32_t GetWindowProcessId(Hwnd window);
bool SetForegroundWindow(Hwnd window_or_1);
// `send ID`: delivers WM_COMMAND id to the running window of the class and gives its result.
// False when no window of the class runs, the reason in the last error (ENOENT: none runs,
// EBUSY: it serves as many senders as it can).
// `await`: the handler may defer the answer (DeferReply) until CompleteReply, however long.
bool SendCommandToRunningWindow(const char* class_name, std::uint16_t command_id,
                                std::intptr_t* result, bool await = false);
// Deferred answers to an awaiting sender of another process. Inside the command handler of
// such a sender, on the window's thread, DeferReply makes the sender's answer wait for
// CompleteReply(ticket, result) (from any thread) instead of taking the handler's own result;
// `if_abandoned` answers it when the window goes away first. 0 when the command came from
// anyone else: there is nothing to defer, the handler's result is the answer.
using ReplyTicket = std::uint32_t;
ReplyTicket DeferReply(LResult if_abandoned);
void CompleteReply(ReplyTicket ticket, LResult result);
// Makes sure the runtime directory is an absolute path to a real directory (no symbolic link)
// with mode 0700 that belongs to this user, and, given a class, that the class's socket path
// fits a Unix socket address. False when it cannot be used, with the last error set, its text
// one line ("DIR: owned by uid 1000, not by this user").
bool PrepareRuntimeDirectory(const char* class_name = nullptr);

// ---- the shell library and common controls
struct MenuBarRecord {  // 36 bytes on the handset
    std::uint32_t size;
    Hwnd parent;
    std::uint32_t flags;
    std::uint32_t menu_bar_id;  // the menu-bar resource
    Hinstance resource_module;
    int bitmap_id;
    int bitmap_images;
    Hwnd menu_bar;  // out: the created bar
    std::uint32_t background;
};
static_assert(sizeof(MenuBarRecord) == 36);
bool CreateMenuBar(MenuBarRecord* record);
int CommandBarHeight(Hwnd bar);
Hmenu CommandBarGetMenu(Hwnd bar, int button);
// The previous state (MF_CHECKED or MF_UNCHECKED), or 0xFFFFFFFF when the menu has no such entry.
std::uint32_t CheckMenuItem(Hmenu menu, std::uint32_t id, std::uint32_t flags);
// For tests and the terminal screen: -1 no entry, 0 unchecked, 1 checked.
int GetMenuItemChecked(Hmenu menu, std::uint32_t id);
void InitCommonControls(std::uint32_t class_flags);
struct DialogInitRecord {
    std::uint32_t mask;
    Hwnd dialog;
    std::uint32_t flags;
};
bool ShInitDialog(const DialogInitRecord* record);
struct ActivationRecord {
    std::uint32_t size;
    std::uint32_t fields[8];
};
LResult ShHandleSettingChange(Hwnd window, WParam wparam, LParam lparam, ActivationRecord* info);
LResult ShHandleActivate(Hwnd window, WParam wparam, LParam lparam, ActivationRecord* info,
                         std::uint32_t flags);

// ---- accelerators, message boxes, dialogs
Haccel LoadAccelerators(Hinstance instance, const char* name);
// Modal. Headless: prints "[caption] text" on stdout and answers IDOK at once. Terminal: a
// centred box; from a worker thread the box is drawn by the window's thread and the worker
// waits. A null caption is the platform's default, "Error".
int MessageBox(Hwnd owner, const char* text, const char* caption, std::uint32_t type);
// Closes the open message boxes with this caption, as if answered OK: a question that no longer
// stands goes away.
void CloseMessageBoxes(const char* caption);
struct DialogTemplate;
std::intptr_t DialogBoxIndirectParam(Hinstance instance, const DialogTemplate* dialog_template,
                                     Hwnd owner, DlgProc proc, LParam init_param);
bool EndDialog(Hwnd dialog, std::intptr_t result);

// ---- resources of the program's own module (resources/resources.cpp)
using Hrsrc = std::uint32_t;    // 0 not found
using Hglobal = const void*;    // the bytes themselves: locking is the identity
Hrsrc FindResource(Hinstance instance, int id, const char* type);
Hrsrc FindResourceByName(Hinstance instance, const char* name, const char* type);  // any case
Hglobal LoadResource(Hinstance instance, Hrsrc resource);
const void* LockResource(Hglobal loaded);
std::uint32_t SizeofResource(Hinstance instance, Hrsrc resource);
Hinstance GetModuleHandle();
// The program's own path, cut to size - 1 characters and terminated; the length copied. A cut
// path sets the last error to ENAMETOOLONG (0 otherwise).
std::uint32_t GetModuleFileName(Hinstance instance, char* buffer, std::uint32_t size);

// ---- screens, signals
enum class ScreenKind { Headless, Terminal };
// Headless is the default. False (last error set) when the terminal screen cannot be had: stdin or
// stdout is no terminal (ENOTTY), or terminfo does not know $TERM (ENOENT). Call before the
// first window is created.
bool SelectScreen(ScreenKind kind);
// True when a person sees the screen and can answer a box (the terminal screen).
bool ScreenIsInteractive();
// A short text the terminal screen shows in the title bar after the title (what the window
// works on); set before the first window is created. ScreenStatus reads it.
void SetScreenStatus(const std::string& text);
std::string ScreenStatus();
// The headless screen's text goes to stderr instead of stdout (stdout then carries a machine
// stream of its own, such as `update --events -`).
void HeadlessTextToStderr();
// A live line (update's progress) kept on stderr: when the headless text goes to that same
// terminal, `yield` is called to take the line off before any text is written there, and
// progress marks ('#' alone, and the break ending their row) are left to the live line instead
// of being written. False, and nothing registered, when the two are not one terminal.
using LiveLineYield = void (*)();
bool ShareHeadlessTerminal(LiveLineYield yield);
// SIGINT, SIGTERM and SIGHUP deliver WM_CLOSE to the top-level windows; SIGPIPE is ignored.
// They are blocked in the calling thread and read from a signalfd by the message loops, so it
// is called before any other thread starts (each inherits the mask).
void InstallCloseSignals();
// The strongest close signal that came so far, taken or still pending (0: none), as WM_CLOSE's
// wparam would say: a thread about to start something lasting can look before it does.
WParam CloseSignalOrigin();
// Where a close request came from, in WM_CLOSE's wparam: 0 a person (a command, a key);
// CloseByInterrupt Ctrl+C (SIGINT); CloseBySystem SIGTERM, SIGHUP or a terminal that went away,
// when nobody may be there to answer.
inline constexpr WParam CloseByInterrupt = 1;
inline constexpr WParam CloseBySystem = 2;

}  // namespace platform
