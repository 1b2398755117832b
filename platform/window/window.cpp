// Window classes and windows: registration, creation with WM_CREATE and WM_SIZE, destruction
// (the texts posted so far handed over, WM_DESTROY to the window, then its owned and child
// windows alike), child look-up by id, the default procedure, layout, visibility, activation
// and focus.
#include <strings.h>

#include <cctype>
#include <cerrno>
#include <map>

#include "platform/base/observe.h"
#include "platform/base/sys.h"
#include "platform/testing.h"
#include "platform/window/screen_seam.h"
#include "platform/window/window_state.h"

namespace platform {
namespace internal {
namespace {

struct ClassEntry {
    std::string name;
    WndProc proc;
    std::uint16_t atom;
    bool built_in;
};

struct State {
    std::mutex mutex;
    std::map<Hwnd, std::shared_ptr<Window>> windows;  // in creation order: handles only grow
    std::map<std::string, ClassEntry> classes;       // by lower-cased name
    std::uint16_t next_atom = 0xC000;
    State() {
        classes["edit"] = {"edit", EditWindowProc, 0xC000 - 4, true};
        classes["static"] = {"static", StaticWindowProc, 0xC000 - 3, true};
        classes["#32770"] = {"#32770", DialogWindowProc, 0xC000 - 2, true};
        classes["menu_worker"] = {"menu_worker", MenuBarWindowProc, 0xC000 - 1, true};
    }
};

State& GetState() {
    static State* state = new State;  // lives until the process ends: worker threads may outlive main
    return *state;
}

std::atomic<Hwnd> next_handle{2};
std::atomic<Hwnd> focus_window{0};
std::atomic<Hwnd> active_window{0};

std::string Lower(const char* text) {
    std::string out(text ? text : "");
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool IsTopLevel(const Window& window) {
    return window.parent == 0 && window.owner == 0 && !window.internal;
}

LParam SizeParam(const Rect& rect) {
    auto width = static_cast<std::uint16_t>(rect.right - rect.left);
    auto height = static_cast<std::uint16_t>(rect.bottom - rect.top);
    return static_cast<LParam>(MakeWParam(width, height));
}

struct CreateArgs {
    std::uint32_t ex_style;
    const char* class_name;
    const char* title;
    std::uint32_t style;
    int x, y, width, height;
    Hwnd parent;  // the parent of a child, the owner of a top-level window
    std::uintptr_t id;
    Hinstance instance;
    void* param;
    bool internal;
};

Hwnd Create(const CreateArgs& args) {
    auto queue = CurrentQueue(true);
    if (!queue) return 0;  // errno from eventfd
    ClassEntry entry;
    {
        auto& state = GetState();
        std::lock_guard lock(state.mutex);
        auto it = state.classes.find(Lower(args.class_name));
        if (it == state.classes.end()) {
            SetLastError(ENOENT);
            return 0;
        }
        entry = it->second;
    }
    bool child = (args.style & WS_CHILD) != 0;
    std::shared_ptr<Window> parent = args.parent ? LookupWindow(args.parent) : nullptr;
    if ((child && !parent) || (parent && !parent->alive.load())) {
        SetLastError(EINVAL);
        return 0;
    }
    if (!args.internal) {
        if (entry.name == "edit" && TakeFault(Fault::EditControl)) {
            SetLastError(ENOMEM);
            return 0;
        }
        if (!child && TakeFault(Fault::CreateWindow)) {
            SetLastError(ENOMEM);
            return 0;
        }
    }

    auto window = std::make_shared<Window>();
    window->handle = NewWindowHandle();
    window->class_name = entry.name;
    window->proc = entry.proc;
    window->parent = child ? args.parent : 0;
    window->owner = child ? 0 : args.parent;
    window->child_id = child ? static_cast<int>(args.id) : 0;
    window->style = args.style;
    window->ex_style = args.ex_style;
    window->internal = args.internal;
    window->queue = queue;
    window->title = args.title ? args.title : "";
    if (entry.name == "edit") window->text = window->title;
    if (child) {
        window->rect.left = args.x == CW_USEDEFAULT ? 0 : args.x;
        window->rect.top = args.y == CW_USEDEFAULT ? 0 : args.y;
        window->rect.right = window->rect.left + (args.width == CW_USEDEFAULT ? 0 : args.width);
        window->rect.bottom = window->rect.top + (args.height == CW_USEDEFAULT ? 0 : args.height);
    } else {
        Rect desktop = CurrentScreen().Desktop();
        window->rect.left = args.x == CW_USEDEFAULT ? desktop.left : args.x;
        window->rect.top = args.y == CW_USEDEFAULT ? desktop.top : args.y;
        window->rect.right = window->rect.left +
                             (args.width == CW_USEDEFAULT ? desktop.right - desktop.left : args.width);
        window->rect.bottom = window->rect.top +
                              (args.height == CW_USEDEFAULT ? desktop.bottom - desktop.top : args.height);
    }
    const Hwnd handle = window->handle;
    // A window that other starts cannot find would be a second one: it is not made.
    if (IsTopLevel(*window) && !StartInstanceListener(window)) return 0;
    {
        auto& state = GetState();
        std::lock_guard lock(state.mutex);
        state.windows.emplace(handle, window);
    }
    if (IsTopLevel(*window)) ClaimScreenQueue(queue);
    CurrentScreen().WindowCreated(handle);

    CreateStruct create{args.param,
                        args.instance,
                        args.id,
                        args.parent,
                        window->rect.bottom - window->rect.top,
                        window->rect.right - window->rect.left,
                        window->rect.top,
                        window->rect.left,
                        args.style,
                        args.title,
                        args.class_name,
                        args.ex_style};
    LResult created = CallWindow(window, WM_CREATE, 0, reinterpret_cast<LParam>(&create));
    if (created == -1) {
        DestroyWindow(handle);
        SetLastError(ECANCELED);
        return 0;
    }
    if (!window->alive.load() || window->destroying.load()) {  // it destroyed itself
        SetLastError(ECANCELED);
        return 0;
    }
    Rect rect;
    {
        std::lock_guard lock(window->mutex);
        rect = window->rect;
    }
    CallWindow(window, WM_SIZE, 0, SizeParam(rect));
    if ((args.style & WS_VISIBLE) && window->alive.load()) {
        {
            std::lock_guard lock(window->mutex);
            window->visible = true;
        }
        CurrentScreen().WindowChanged(handle);
        if (IsTopLevel(*window)) ActivateWindow(window);
    }
    return window->alive.load() ? handle : 0;
}

void DestroyTree(const std::shared_ptr<Window>& window) {
    if (window->destroying.exchange(true)) return;  // already on its way
    DeliverPostedText(window->queue);  // what was posted before the destruction comes before it
    const Hwnd handle = window->handle;
    CallWindow(window, WM_DESTROY, 0, 0);
    for (auto& other : AllWindows()) {
        if ((other->parent == handle || other->owner == handle) && other->alive.load()) {
            DestroyTree(other);
        }
    }
    ReleaseSendersOf(window);
    StopInstanceListener(handle);
    {
        auto& state = GetState();
        std::lock_guard lock(state.mutex);
        state.windows.erase(handle);
    }
    Hwnd expected = handle;
    focus_window.compare_exchange_strong(expected, 0);
    expected = handle;
    active_window.compare_exchange_strong(expected, 0);
    CurrentScreen().WindowDestroyed(handle);
}

}  // namespace

Hwnd NewWindowHandle() { return next_handle.fetch_add(2); }

std::shared_ptr<Window> LookupWindow(Hwnd handle) {
    auto& state = GetState();
    std::lock_guard lock(state.mutex);
    auto it = state.windows.find(handle);
    return it == state.windows.end() ? nullptr : it->second;
}

LResult CallWindow(const std::shared_ptr<Window>& window, std::uint32_t message, WParam wparam,
                   LParam lparam) {
    if (!window->alive.load()) return 0;
    if (message == WM_FWU_FOREGROUND) {
        NoteForegroundLocal(window);
        return 1;
    }
    return window->proc(window->handle, message, wparam, lparam);
}

std::vector<std::shared_ptr<Window>> AllWindows() {
    auto& state = GetState();
    std::lock_guard lock(state.mutex);
    std::vector<std::shared_ptr<Window>> out;
    out.reserve(state.windows.size());
    for (auto& [handle, window] : state.windows) out.push_back(window);
    return out;
}

std::vector<Hwnd> TopLevelWindows() {
    std::vector<Hwnd> out;
    for (auto& window : AllWindows()) {
        if (IsTopLevel(*window) && window->alive.load()) out.push_back(window->handle);
    }
    return out;
}

void DropWindowsOf(const std::shared_ptr<Queue>& queue) {
    for (auto& window : AllWindows()) {
        if (window->queue != queue) continue;
        window->destroying.store(true);
        ReleaseSendersOf(window);
        StopInstanceListener(window->handle);
        auto& state = GetState();
        std::lock_guard lock(state.mutex);
        state.windows.erase(window->handle);
    }
}

void ActivateWindow(const std::shared_ptr<Window>& window) {
    if (active_window.exchange(window->handle) != window->handle) {
        CallWindow(window, WM_ACTIVATE, 1, 0);  // WA_ACTIVE
    }
    // Focus goes to the window unless it already sits on one of its children.
    Hwnd focus = focus_window.load();
    auto focused = focus ? LookupWindow(focus) : nullptr;
    if (focus != window->handle && !(focused && focused->parent == window->handle)) {
        SetFocus(window->handle);
    }
}

void NoteForegroundLocal(const std::shared_ptr<Window>& window) {
    NoteForegroundRequest();
    ActivateWindow(window);
    CurrentScreen().ForegroundRequested(window->handle);
}

Hwnd CreateInternalWindow(const char* class_name, const char* title, std::uint32_t style, Hwnd parent,
                          Hwnd owner, int child_id, const Rect& rect) {
    CreateArgs args{0,
                    class_name,
                    title,
                    style,
                    rect.left,
                    rect.top,
                    rect.right - rect.left,
                    rect.bottom - rect.top,
                    parent ? parent : owner,
                    static_cast<std::uintptr_t>(child_id),
                    1,
                    nullptr,
                    true};
    return Create(args);
}

bool DescribeWindow(Hwnd handle, WindowInfo* info) {
    auto window = LookupWindow(handle);
    if (!window || !window->alive.load()) return false;
    info->handle = handle;
    info->class_name = window->class_name;
    info->parent = window->parent;
    info->owner = window->owner;
    info->child_id = window->child_id;
    info->style = window->style;
    std::lock_guard lock(window->mutex);
    info->title = window->title;
    info->rect = window->rect;
    info->visible = window->visible;
    return true;
}

}  // namespace internal

using namespace internal;

std::uint16_t RegisterClass(const char* class_name, WndProc proc, Hinstance instance) {
    (void)instance;
    if (TakeFault(Fault::RegisterClass)) {
        SetLastError(ENOMEM);
        return 0;
    }
    if (class_name == nullptr || *class_name == '\0' || proc == nullptr) {
        SetLastError(EINVAL);
        return 0;
    }
    auto& state = GetState();
    std::lock_guard lock(state.mutex);
    std::string key = Lower(class_name);
    if (state.classes.count(key) || state.next_atom == 0) {
        SetLastError(EEXIST);
        return 0;
    }
    std::uint16_t atom = state.next_atom++;
    state.classes[key] = {class_name, proc, atom, false};
    return atom;
}

bool UnregisterClass(const char* class_name, Hinstance instance) {
    (void)instance;
    auto& state = GetState();
    std::lock_guard lock(state.mutex);
    std::string key = Lower(class_name);
    auto it = state.classes.find(key);
    if (it == state.classes.end() || it->second.built_in) {
        SetLastError(ENOENT);
        return false;
    }
    for (auto& [handle, window] : state.windows) {
        if (window->class_name == it->second.name) {
            SetLastError(EBUSY);
            return false;
        }
    }
    state.classes.erase(it);
    return true;
}

Hwnd CreateWindowEx(std::uint32_t ex_style, const char* class_name, const char* title,
                    std::uint32_t style, int x, int y, int width, int height, Hwnd parent,
                    std::uintptr_t menu_or_child_id, Hinstance instance, void* create_param) {
    return Create({ex_style, class_name, title, style, x, y, width, height, parent, menu_or_child_id,
                   instance, create_param, false});
}

bool DestroyWindow(Hwnd handle) {
    auto window = LookupWindow(handle);
    if (!window || !window->alive.load()) {
        SetLastError(EINVAL);
        return false;
    }
    if (!OnThreadOf(*window->queue)) {  // only the window's own thread may destroy it
        SetLastError(EPERM);
        return false;
    }
    DestroyTree(window);
    return true;
}

bool IsWindow(Hwnd handle) {
    auto window = LookupWindow(handle);
    return window && window->alive.load() && !window->destroying.load();
}

bool IsWindowThread(Hwnd handle) {
    auto window = LookupWindow(handle);
    return window && OnThreadOf(*window->queue);
}

Hwnd GetDlgItem(Hwnd parent, int child_id) {
    if (parent == 0) return 0;
    for (auto& window : AllWindows()) {
        if (window->parent == parent && window->child_id == child_id && window->alive.load()) {
            return window->handle;
        }
    }
    SetLastError(ENOENT);
    return 0;
}

LResult DefWindowProc(Hwnd window, std::uint32_t message, WParam wparam, LParam lparam) {
    (void)wparam;
    (void)lparam;
    if (message == WM_CLOSE) DestroyWindow(window);
    return 0;
}

bool ShowWindow(Hwnd handle, int show_state) {
    auto window = LookupWindow(handle);
    if (!window || !window->alive.load()) {
        SetLastError(EINVAL);
        return false;
    }
    bool was_visible;
    bool visible = show_state != SW_HIDE;
    {
        std::lock_guard lock(window->mutex);
        was_visible = window->visible;
        window->visible = visible;
    }
    if (was_visible != visible) CurrentScreen().WindowChanged(handle);
    if (visible && IsTopLevel(*window) && OnThreadOf(*window->queue)) ActivateWindow(window);
    return was_visible;
}

bool UpdateWindow(Hwnd handle) {
    if (!IsWindow(handle)) {
        SetLastError(EINVAL);
        return false;
    }
    CurrentScreen().Paint(handle);
    return true;
}

bool GetClientRect(Hwnd handle, Rect* rect) {
    auto window = LookupWindow(handle);
    if (!window || !window->alive.load() || rect == nullptr) {
        SetLastError(EINVAL);
        return false;
    }
    std::lock_guard lock(window->mutex);
    *rect = {0, 0, window->rect.right - window->rect.left, window->rect.bottom - window->rect.top};
    return true;
}

bool SetWindowPos(Hwnd handle, Hwnd insert_after, int x, int y, int width, int height,
                  std::uint32_t flags) {
    (void)insert_after;  // one layer of windows: the z-order never changes
    auto window = LookupWindow(handle);
    if (!window || !window->alive.load()) {
        SetLastError(EINVAL);
        return false;
    }
    bool resized = false;
    Rect rect;
    {
        std::lock_guard lock(window->mutex);
        Rect& r = window->rect;
        int w = r.right - r.left;
        int h = r.bottom - r.top;
        if (!(flags & SWP_NOMOVE)) {
            r.left = x;
            r.top = y;
        }
        if (!(flags & SWP_NOSIZE)) {
            resized = width != w || height != h;
            w = width < 0 ? 0 : width;
            h = height < 0 ? 0 : height;
        }
        r.right = r.left + w;
        r.bottom = r.top + h;
        rect = r;
    }
    CurrentScreen().WindowChanged(handle);
    if (resized) SendMessage(handle, WM_SIZE, 0, SizeParam(rect));
    return true;
}

Hwnd SetFocus(Hwnd handle) {
    if (handle != 0 && !IsWindow(handle)) {
        SetLastError(EINVAL);
        return 0;
    }
    Hwnd previous = focus_window.exchange(handle);
    if (handle != 0 && previous != handle) SendMessage(handle, WM_SETFOCUS, previous, 0);
    return previous;
}

}  // namespace platform
