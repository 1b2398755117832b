// The menu bar, its pop-up menu with check marks, accelerators, and the shell-library and
// common-controls calls that have nothing to do on Linux.
//
// CreateMenuBar reads the menu-bar record and the menu from the resource table and makes an
// owned window of class "menu_worker" (a bar, not a child: CommandBarHeight answers 0 for it).
// The screen draws it and posts WM_COMMAND to the owner when an item is chosen.
#include <algorithm>
#include <cerrno>
#include <map>

#include "platform/base/sys.h"
#include "platform/testing.h"
#include "platform/window/screen_seam.h"
#include "platform/window/window_state.h"

namespace platform {
namespace internal {
namespace {

struct MenuBar {
    Hwnd owner;
    Hmenu menu;
    std::string label;
};

struct MenuState {
    std::mutex mutex;
    std::map<Hmenu, MenuInfo> menus;
    std::map<Hwnd, MenuBar> bars;
    Hmenu next_menu = 1;
};

MenuState& Menus() {
    static MenuState* state = new MenuState;  // lives until the process ends
    return *state;
}

template <typename T>
const T* LoadTyped(Hinstance instance, Hrsrc resource) {
    if (resource == 0 || SizeofResource(instance, resource) < sizeof(T)) return nullptr;
    return static_cast<const T*>(LockResource(LoadResource(instance, resource)));
}

}  // namespace

LResult MenuBarWindowProc(Hwnd hwnd, std::uint32_t message, WParam wparam, LParam lparam) {
    if (message == WM_DESTROY) {
        auto& state = Menus();
        std::lock_guard lock(state.mutex);
        auto it = state.bars.find(hwnd);
        if (it != state.bars.end()) {
            state.menus.erase(it->second.menu);
            state.bars.erase(it);
        }
        return 0;
    }
    return DefWindowProc(hwnd, message, wparam, lparam);
}

bool DescribeMenu(Hmenu menu, MenuInfo* info) {
    auto& state = Menus();
    std::lock_guard lock(state.mutex);
    auto it = state.menus.find(menu);
    if (it == state.menus.end()) return false;
    *info = it->second;
    return true;
}

Hwnd MenuBarOf(Hwnd owner, Hmenu* menu, std::string* label) {
    auto& state = Menus();
    std::lock_guard lock(state.mutex);
    for (auto& [bar, record] : state.bars) {
        if (record.owner != owner) continue;
        if (menu) *menu = record.menu;
        if (label) *label = record.label;
        return bar;
    }
    return 0;
}

}  // namespace internal

using namespace internal;

bool CreateMenuBar(MenuBarRecord* record) {
    if (TakeFault(Fault::MenuBar)) {
        SetLastError(ENOMEM);
        return false;
    }
    if (record == nullptr || !IsWindow(record->parent)) {
        SetLastError(EINVAL);
        return false;
    }
    Hinstance module = record->resource_module;
    auto* bar = LoadTyped<MenuBarTemplate>(
        module, FindResource(module, static_cast<int>(record->menu_bar_id), RtMenuBar));
    auto* menu = bar ? LoadTyped<MenuTemplate>(module, FindResource(module, static_cast<int>(bar->menu_id), RtMenu))
                     : nullptr;
    if (menu == nullptr) {
        SetLastError(ENOENT);
        return false;
    }
    auto* label = LoadTyped<StringTemplate>(
        module, FindResource(module, static_cast<int>(bar->label_string), RtString));

    MenuInfo info;
    info.title = menu->popup ? menu->popup : "";
    for (std::size_t i = 0; i < menu->count; ++i) {
        const MenuItemTemplate& item = menu->items[i];
        info.items.push_back({item.text ? item.text : "", item.command, item.text == nullptr, false});
    }
    Rect desktop = CurrentScreen().Desktop();
    Hwnd bar_window = CreateInternalWindow("menu_worker", "", WS_VISIBLE, 0, record->parent, 0,
                                           {desktop.left, desktop.bottom - 1, desktop.right, desktop.bottom});
    if (bar_window == 0) return false;
    std::string button_label = label && label->text ? label->text : info.title;
    Hmenu handle;
    {
        auto& state = Menus();
        std::lock_guard lock(state.mutex);
        handle = state.next_menu++;
        state.menus[handle] = std::move(info);
        state.bars[bar_window] = {record->parent, handle, button_label};
    }
    record->menu_bar = bar_window;
    CurrentScreen().MenuBarCreated(bar_window, record->parent, handle);
    return true;
}

// The height of a command bar that is a child window; a bar that is no child (or no window)
// takes no room from the client area.
int CommandBarHeight(Hwnd bar) {
    WindowInfo info;
    if (bar == 0 || !DescribeWindow(bar, &info) || info.parent == 0) return 0;
    return info.rect.bottom - info.rect.top;
}

Hmenu CommandBarGetMenu(Hwnd bar, int button) {
    auto& state = Menus();
    std::lock_guard lock(state.mutex);
    auto it = state.bars.find(bar);
    if (it == state.bars.end() || button != 0) {
        SetLastError(EINVAL);
        return 0;
    }
    return it->second.menu;
}

std::uint32_t CheckMenuItem(Hmenu menu, std::uint32_t id, std::uint32_t flags) {
    std::uint32_t previous;
    {
        auto& state = Menus();
        std::lock_guard lock(state.mutex);
        auto it = state.menus.find(menu);
        if (it == state.menus.end()) return 0xFFFFFFFF;
        auto& items = it->second.items;
        auto item = std::find_if(items.begin(), items.end(),
                                 [&](const MenuItemInfo& i) { return !i.separator && i.command == id; });
        if (item == items.end()) return 0xFFFFFFFF;
        previous = item->checked ? MF_CHECKED : MF_UNCHECKED;
        item->checked = (flags & MF_CHECKED) != 0;
    }
    CurrentScreen().MenuChanged(menu);
    return previous;
}

int GetMenuItemChecked(Hmenu menu, std::uint32_t id) {
    MenuInfo info;
    if (!DescribeMenu(menu, &info)) return -1;
    for (auto& item : info.items) {
        if (!item.separator && item.command == id) return item.checked ? 1 : 0;
    }
    return -1;
}

void InitCommonControls(std::uint32_t class_flags) { (void)class_flags; }

// Flags: 0x01 the done button (the screen shows it in the title bar, it sends command 1),
// 0x04 sized to the full screen.
bool ShInitDialog(const DialogInitRecord* record) {
    if (record == nullptr || !(record->mask & 1) || !IsWindow(record->dialog)) {
        SetLastError(EINVAL);
        return false;
    }
    if (record->flags & 0x04) {
        Rect desktop = CurrentScreen().Desktop();
        SetWindowPos(record->dialog, 0, desktop.left, desktop.top, desktop.right - desktop.left,
                     desktop.bottom - desktop.top, SWP_NOZORDER);
    }
    if (record->flags & 0x01) CurrentScreen().DoneButton(record->dialog);
    return true;
}

// Nothing to adjust on Linux: no soft input panel, no shell to tell. Success, as the handset
// answers.
LResult ShHandleSettingChange(Hwnd window, WParam wparam, LParam lparam, ActivationRecord* info) {
    (void)window, (void)wparam, (void)lparam, (void)info;
    return 1;
}

LResult ShHandleActivate(Hwnd window, WParam wparam, LParam lparam, ActivationRecord* info,
                         std::uint32_t flags) {
    (void)window, (void)wparam, (void)lparam, (void)info, (void)flags;
    return 1;
}

// ---- accelerators: a table is the accelerator resource's handle
Haccel LoadAccelerators(Hinstance instance, const char* name) {
    Hrsrc resource = FindResourceByName(instance, name, RtAccelerator);
    if (resource == 0) SetLastError(ENOENT);
    return resource;
}

bool TranslateAccelerator(Hwnd window, Haccel table, const Msg* msg) {
    if (msg == nullptr || msg->message != WM_KEYDOWN || table == 0) return false;
    if (auto queue = CurrentQueue(false)) {
        std::lock_guard lock(queue->mutex);
        queue->accel_window = window;
        queue->accel_table = table;
    }
    Hinstance module = GetModuleHandle();
    auto* entries = static_cast<const AccelTemplate*>(LockResource(LoadResource(module, table)));
    std::size_t count = SizeofResource(module, table) / sizeof(AccelTemplate);
    constexpr std::uint8_t AccelShift = 0x04;
    constexpr std::uint8_t AccelAlt = 0x10;
    for (std::size_t i = 0; entries && i < count; ++i) {
        const AccelTemplate& entry = entries[i];
        bool key_matches = (entry.flags & AccelVirtualKey)
                               ? msg->wparam == entry.key
                               : static_cast<std::uint32_t>(msg->lparam & KeyCharMask) == entry.key;
        bool modifiers_match = ((entry.flags & AccelControl) != 0) == ((msg->lparam & KeyControl) != 0) &&
                               ((entry.flags & AccelShift) != 0) == ((msg->lparam & KeyShift) != 0) &&
                               ((entry.flags & AccelAlt) != 0) == ((msg->lparam & KeyAlt) != 0);
        if (key_matches && modifiers_match) {
            SendMessage(window, WM_COMMAND, MakeWParam(entry.command, 1), 0);
            return true;
        }
        if (entry.flags & AccelLast) break;
    }
    return false;
}

}  // namespace platform
