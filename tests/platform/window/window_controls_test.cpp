// The controls and facilities of the window layer: the edit control's caret and selection, the
// menu bar from the resources with its check marks, accelerators and key translation, message
// boxes (also from a worker while the window thread runs its loop), dialogs from resources,
// the refusals of the fault seam, and the program's own file name.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <future>

#include "platform/screen/screen.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "resources/resources.h"
#include "tests/support/window_thread.h"
#include "resources/commands.h"

namespace {

using namespace platform;
using fwu_test::OutputCapture;
using fwu_test::WindowThread;

const std::string runtime_directory = fwu_test::UsePrivateRuntimeDirectory();

std::size_t Caret(Hwnd edit) {
    std::uint32_t start = 0, end = 0;
    SendMessage(edit, EM_GETSEL, reinterpret_cast<WParam>(&start), reinterpret_cast<LParam>(&end));
    EXPECT_EQ(start, end);
    return start;
}

TEST(EditControl, ReplaceSelectionAppendsAtTheCaretAndMovesIt) {
    OutputCapture output;
    WindowThread window;
    Hwnd edit = window.edit();
    SendMessage(edit, EM_REPLACESEL, 0, reinterpret_cast<LParam>("one\r\n"));
    SendMessage(edit, EM_REPLACESEL, 0, reinterpret_cast<LParam>("two\r\n"));
    EXPECT_EQ(EditText(edit), "one\r\ntwo\r\n");
    EXPECT_EQ(Caret(edit), 10u);
    EXPECT_EQ(SendMessage(edit, WM_GETTEXTLENGTH, 0, 0), 10);
    char buffer[6];
    EXPECT_EQ(SendMessage(edit, WM_GETTEXT, sizeof buffer, reinterpret_cast<LParam>(buffer)), 5);
    EXPECT_STREQ(buffer, "one\r\n");
    EXPECT_TRUE(output.WaitFor("one\r\ntwo\r\n"));
}

TEST(EditControl, TextReplacesASelectionAndTheCaretStaysAfterIt) {
    OutputCapture output;
    WindowThread window;
    Hwnd edit = window.edit();
    SendMessage(edit, EM_REPLACESEL, 0, reinterpret_cast<LParam>("abcdef"));
    // The user selected "cd" (backwards, as a drag from right to left gives).
    SendMessage(edit, EM_SETSEL, 4, 2);
    std::uint32_t start = 0, end = 0;
    LResult packed = SendMessage(edit, EM_GETSEL, reinterpret_cast<WParam>(&start), reinterpret_cast<LParam>(&end));
    EXPECT_EQ(start, 2u);
    EXPECT_EQ(end, 4u);
    EXPECT_EQ(packed, static_cast<LResult>(MakeWParam(2, 4)));
    SendMessage(edit, EM_REPLACESEL, 0, reinterpret_cast<LParam>("XYZ"));
    EXPECT_EQ(EditText(edit), "abXYZef");
    EXPECT_EQ(Caret(edit), 5u);  // after the insert, not moved back to the end
    SendMessage(edit, EM_REPLACESEL, 0, reinterpret_cast<LParam>("!"));
    EXPECT_EQ(EditText(edit), "abXYZ!ef");
    // -1 as end selects to the end; -1 as start drops the selection at the caret.
    SendMessage(edit, EM_SETSEL, 6, static_cast<LParam>(-1));
    SendMessage(edit, EM_SETSEL, static_cast<WParam>(-1), 0);
    SendMessage(edit, EM_REPLACESEL, 0, reinterpret_cast<LParam>("?"));
    EXPECT_EQ(EditText(edit), "abXYZ!ef?");
    // Out-of-range positions are clamped.
    SendMessage(edit, EM_SETSEL, 100, 200);
    SendMessage(edit, EM_REPLACESEL, 0, reinterpret_cast<LParam>("."));
    EXPECT_EQ(EditText(edit), "abXYZ!ef?.");
    // The headless screen wrote each inserted text as it came.
    EXPECT_TRUE(output.WaitFor("abcdefXYZ!?."));
}

TEST(EditControl, TypingChangesNothing) {
    OutputCapture output;
    WindowThread window;
    SendMessage(window.edit(), WM_SETTEXT, 0, reinterpret_cast<LParam>("fixed"));
    SendMessage(window.edit(), WM_CHAR, 'x', 'x');
    SendMessage(window.edit(), WM_KEYDOWN, 'X', 'x');
    EXPECT_EQ(EditText(window.edit()), "fixed");
}

TEST(MenuBar, BuiltFromTheResourcesWithCheckMarks) {
    WindowThread window;
    MenuBarRecord record{};
    record.size = sizeof record;
    record.parent = window.window();
    record.menu_bar_id = resources::IDR_MENUBAR;
    record.resource_module = GetModuleHandle();
    ASSERT_TRUE(window.Run([&] { return CreateMenuBar(&record) ? 1 : 0; }));
    ASSERT_NE(record.menu_bar, 0u);
    EXPECT_EQ(CommandBarHeight(record.menu_bar), 0);  // an owned bar, not a child
    EXPECT_EQ(CommandBarHeight(0), 0);
    Hmenu menu = CommandBarGetMenu(record.menu_bar, 0);
    ASSERT_NE(menu, 0u);
    EXPECT_EQ(CommandBarGetMenu(record.menu_bar, 1), 0u);

    internal::MenuInfo info;
    ASSERT_TRUE(internal::DescribeMenu(menu, &info));
    EXPECT_EQ(info.title, "System");
    ASSERT_EQ(info.items.size(), 3u);
    EXPECT_EQ(info.items[0].text, "Update firmware - Go");
    EXPECT_EQ(info.items[0].command, 118u);
    EXPECT_TRUE(info.items[1].separator);
    EXPECT_EQ(info.items[2].text, "Exit");
    EXPECT_EQ(info.items[2].command, 101u);
    std::string label;
    EXPECT_EQ(internal::MenuBarOf(window.window(), nullptr, &label), record.menu_bar);
    EXPECT_EQ(label, "System");

    EXPECT_EQ(CheckMenuItem(menu, commands::UpdateGo, MF_BYCOMMAND | MF_CHECKED), MF_UNCHECKED);
    EXPECT_EQ(GetMenuItemChecked(menu, commands::UpdateGo), 1);
    EXPECT_EQ(CheckMenuItem(menu, commands::UpdateGo, MF_BYCOMMAND | MF_UNCHECKED), MF_CHECKED);
    EXPECT_EQ(GetMenuItemChecked(menu, commands::UpdateGo), 0);
    EXPECT_EQ(CheckMenuItem(menu, 555, MF_CHECKED), 0xFFFFFFFFu);
    EXPECT_EQ(GetMenuItemChecked(menu, 555), -1);

    PostMessage(window.window(), WM_CLOSE, 0, 0);
    window.Join();
    EXPECT_FALSE(IsWindow(record.menu_bar));
    EXPECT_EQ(CommandBarGetMenu(record.menu_bar, 0), 0u);
}

TEST(MenuBar, RefusedThroughTheFaultSeam) {
    WindowThread window;
    MenuBarRecord record{};
    record.size = sizeof record;
    record.parent = window.window();
    record.menu_bar_id = resources::IDR_MENUBAR;
    record.resource_module = GetModuleHandle();
    InjectFault(Fault::MenuBar);
    EXPECT_EQ(window.Run([&] { return CreateMenuBar(&record) ? 1 : 0; }), 0);
    EXPECT_EQ(record.menu_bar, 0u);
    record.menu_bar_id = 999;  // no such record
    EXPECT_EQ(window.Run([&] { return CreateMenuBar(&record) ? 1 : 0; }), 0);
}

constexpr std::uint32_t WM_TEST_SEEN = 0x8200;
std::vector<Msg>* seen = nullptr;

LResult RecordingProc(Hwnd window, std::uint32_t message, WParam wparam, LParam lparam) {
    if (seen && (message == WM_COMMAND || message == WM_CHAR || message == WM_KEYDOWN)) {
        seen->push_back({window, message, wparam, lparam});
    }
    return fwu_test::TestWindowProc(window, message, wparam, lparam);
}

TEST(Accelerators, CtrlQSendsCommand101AndOtherKeysAreTranslated) {
    std::vector<Msg> messages;
    seen = &messages;
    ASSERT_NE(RegisterClass("AccelTest", RecordingProc, GetModuleHandle()), 0);
    Hwnd window = CreateWindowEx(0, "AccelTest", "", 0, 0, 0, 1, 1, 0, 0, GetModuleHandle(), nullptr);
    Haccel table = LoadAccelerators(GetModuleHandle(), resources::ID_ACCEL);
    ASSERT_NE(table, 0u);
    EXPECT_EQ(LoadAccelerators(GetModuleHandle(), "NO_SUCH_TABLE"), 0u);

    Msg ctrl_q{window, WM_KEYDOWN, 'Q', KeyControl};
    EXPECT_TRUE(TranslateAccelerator(window, table, &ctrl_q));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].message, WM_COMMAND);
    EXPECT_EQ(LowWord(messages[0].wparam), commands::Exit);

    Msg plain_q{window, WM_KEYDOWN, 'Q', 'q'};
    Msg ctrl_shift_q{window, WM_KEYDOWN, 'Q', KeyControl | KeyShift};
    Msg ctrl_w{window, WM_KEYDOWN, 'W', KeyControl};
    EXPECT_FALSE(TranslateAccelerator(window, table, &plain_q));
    EXPECT_FALSE(TranslateAccelerator(window, table, &ctrl_shift_q));
    EXPECT_FALSE(TranslateAccelerator(window, table, &ctrl_w));
    EXPECT_EQ(messages.size(), 1u);

    // A key that types a character gives WM_CHAR after it; Ctrl+key types nothing.
    TranslateMessage(&plain_q);
    TranslateMessage(&ctrl_w);
    Msg msg;
    ASSERT_TRUE(GetMessage(&msg));
    EXPECT_EQ(msg.message, WM_CHAR);
    EXPECT_EQ(msg.wparam, static_cast<WParam>('q'));
    DestroyWindow(window);
    ASSERT_FALSE(GetMessage(&msg));  // nothing else was posted before the quit of WM_DESTROY
    seen = nullptr;
    UnregisterClass("AccelTest", GetModuleHandle());
}

TEST(MessageBoxes, HeadlessPrintsCaptionAndTextOnALineOfItsOwn) {
    OutputCapture output;
    WindowThread window;
    SendMessage(window.edit(), EM_REPLACESEL, 0, reinterpret_cast<LParam>("no line end"));
    EXPECT_EQ(window.Run([] { return MessageBox(0, "COMs should be released first\r\n", "Caption\r\n", MB_OK); }),
              IDOK);
    EXPECT_EQ(window.Run([] { return MessageBox(0, "default caption", nullptr, MB_OK | MB_ICONSTOP); }), IDOK);
    std::string expected = "no line end\n[Caption] COMs should be released first\n[Error] default caption\n";
    EXPECT_TRUE(output.WaitFor(expected));
    EXPECT_EQ(output.Text(), expected);
}

TEST(MessageBoxes, AWorkersBoxIsShownByTheWindowThreadWhileItsLoopRuns) {
    OutputCapture output;
    WindowThread window;
    // The worker's box waits for the window thread, which keeps handling other senders.
    auto box = std::async(std::launch::async, [&] { return MessageBox(window.window(), "from a worker", "Box", MB_OK); });
    EXPECT_EQ(box.get(), IDOK);
    SendMessage(window.edit(), EM_REPLACESEL, 0, reinterpret_cast<LParam>("after\r\n"));
    EXPECT_TRUE(output.WaitFor("after\r\n"));
    EXPECT_EQ(output.Text(), "[Box] from a worker\nafter\r\n");
    // Once the window thread is gone, a headless box is still printed from the worker.
    PostMessage(window.window(), WM_CLOSE, 0, 0);
    window.Join();
    EXPECT_EQ(MessageBox(0, "late", "Box", MB_OK), IDOK);
    EXPECT_TRUE(output.WaitFor("[Box] late\n"));
}

std::intptr_t EndingProc(Hwnd dialog, std::uint32_t message, WParam wparam, LParam lparam) {
    if (message == WM_INITDIALOG) return lparam == 42;
    if (message == WM_COMMAND && LowWord(wparam) == IDOK) {
        EndDialog(dialog, 7);
        return 1;
    }
    return 0;
}

std::intptr_t IgnoringProc(Hwnd, std::uint32_t, WParam, LParam) { return 0; }

TEST(Dialogs, HeadlessAboutBoxPrintsItsTextAndEndsThroughItsProcedure) {
    OutputCapture output;
    WindowThread window;
    Hrsrc found = FindResourceByName(GetModuleHandle(), "aboutbox", RtDialog);
    ASSERT_NE(found, 0u);
    auto* about = static_cast<const DialogTemplate*>(LockResource(LoadResource(GetModuleHandle(), found)));
    EXPECT_EQ(window.Run([&] { return DialogBoxIndirectParam(GetModuleHandle(), about, window.window(), EndingProc, 42); }),
              7);
    std::string expected = std::string("[About] ") + about->controls[0].text + "\n";
    EXPECT_TRUE(output.WaitFor(expected));
    // A procedure that never ends the dialog: nobody can answer headless, so it is cancelled.
    EXPECT_EQ(window.Run([&] { return DialogBoxIndirectParam(GetModuleHandle(), about, window.window(), IgnoringProc, 0); }),
              IDCANCEL);
    EXPECT_TRUE(output.WaitFor(expected + expected));
    EXPECT_EQ(output.Text(), expected + expected);
}

TEST(Faults, EditControlAndTopLevelWindowRefused) {
    WindowThread window;
    InjectFault(Fault::EditControl);
    EXPECT_EQ(window.Run([&] {
                  return static_cast<LResult>(CreateWindowEx(0, "edit", "", WS_CHILD, 0, 0, 1, 1, window.window(), 9,
                                                             GetModuleHandle(), nullptr));
              }),
              0);
    EXPECT_EQ(GetDlgItem(window.window(), 9), 0u);
    InjectFault(Fault::CreateWindow);
    EXPECT_EQ(window.Run([&] {
                  return static_cast<LResult>(CreateWindowEx(0, "edit", "", 0, 0, 0, 1, 1, 0, 0, GetModuleHandle(),
                                                             nullptr));
              }),
              0);
    EXPECT_EQ(CreateWindowEx(0, "no such class", "", 0, 0, 0, 1, 1, 0, 0, GetModuleHandle(), nullptr), 0u);
    EXPECT_EQ(CreateWindowEx(0, "edit", "", WS_CHILD, 0, 0, 1, 1, 0, 9, GetModuleHandle(), nullptr), 0u)
        << "a child needs a parent";
}

TEST(ModuleFileName, TheProgramsOwnPathCutWithNotice) {
    char real[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", real, sizeof real - 1);
    ASSERT_GT(n, 0);
    real[n] = '\0';
    char buffer[PATH_MAX];
    EXPECT_EQ(GetModuleFileName(GetModuleHandle(), buffer, sizeof buffer), static_cast<std::uint32_t>(n));
    EXPECT_STREQ(buffer, real);
    EXPECT_EQ(GetLastError(), 0u);
    char small[5];
    EXPECT_EQ(GetModuleFileName(GetModuleHandle(), small, sizeof small), 4u);
    EXPECT_EQ(std::string(small), std::string(real, 4));
    EXPECT_EQ(GetLastError(), static_cast<std::uint32_t>(ENAMETOOLONG));
    SetModuleFileNameForTest("/x/y");
    EXPECT_EQ(GetModuleFileName(GetModuleHandle(), buffer, sizeof buffer), 4u);
    EXPECT_STREQ(buffer, "/x/y");
    SetModuleFileNameForTest(nullptr);
    EXPECT_EQ(GetModuleFileName(GetModuleHandle(), buffer, sizeof buffer), static_cast<std::uint32_t>(n));
}

TEST(Layout, FullScreenSetUpSizesTheWindowAndSendsWmSize) {
    WindowThread window;
    ASSERT_TRUE(window.Run([&] {
        SetWindowPos(window.window(), 0, 0, 0, 10, 5, SWP_NOZORDER);
        DialogInitRecord record{1, window.window(), 0x05};
        return ShInitDialog(&record) ? 1 : 0;
    }));
    Rect client;
    ASSERT_TRUE(GetClientRect(window.window(), &client));
    Rect desktop = internal::CurrentScreen().Desktop();
    EXPECT_EQ(client.right, desktop.right - desktop.left);
    EXPECT_EQ(client.bottom, desktop.bottom - desktop.top);
    DialogInitRecord no_mask{0, window.window(), 0x05};
    EXPECT_FALSE(ShInitDialog(&no_mask));
}

}  // namespace
