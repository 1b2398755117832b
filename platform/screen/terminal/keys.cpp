// Keys read by curses as the window layer's WM_KEYDOWN: the virtual key, the character the key
// types and the Shift/Ctrl/Alt bits, so that accelerator tables (Ctrl+Q) apply to them.
#include <ncurses.h>

#include "platform/screen/terminal/terminal.h"

namespace platform::internal {
namespace {

constexpr WParam VkBack = 0x08, VkTab = 0x09, VkReturn = 0x0D, VkEscape = 0x1B, VkSpace = 0x20;
constexpr WParam VkPrior = 0x21, VkNext = 0x22, VkEnd = 0x23, VkHome = 0x24;
constexpr WParam VkLeft = 0x25, VkUp = 0x26, VkRight = 0x27, VkDown = 0x28;
constexpr WParam VkInsert = 0x2D, VkDelete = 0x2E, VkF1 = 0x70;

// curses key code, virtual key, shift held: scanned from the first row.
constexpr struct {
    int code;
    WParam virtual_key;
    bool shift;
} KeyCodes[] = {
    {KEY_UP, VkUp, false},       {KEY_DOWN, VkDown, false},    {KEY_LEFT, VkLeft, false},
    {KEY_RIGHT, VkRight, false}, {KEY_SR, VkUp, true},         {KEY_SF, VkDown, true},
    {KEY_SLEFT, VkLeft, true},   {KEY_SRIGHT, VkRight, true},  {KEY_HOME, VkHome, false},
    {KEY_END, VkEnd, false},     {KEY_SHOME, VkHome, true},    {KEY_SEND, VkEnd, true},
    {KEY_PPAGE, VkPrior, false}, {KEY_NPAGE, VkNext, false},   {KEY_IC, VkInsert, false},
    {KEY_DC, VkDelete, false},   {KEY_BACKSPACE, VkBack, false}, {KEY_ENTER, VkReturn, false},
    {KEY_BTAB, VkTab, true},
};

}  // namespace

bool VirtualKeyOf(bool is_key_code, std::uint32_t code, bool alt, WParam* virtual_key, LParam* key_data) {
    LParam modifiers = alt ? KeyAlt : 0;
    LParam character = 0;
    WParam key = 0;
    if (is_key_code) {
        if (code >= static_cast<std::uint32_t>(KEY_F(1)) && code <= static_cast<std::uint32_t>(KEY_F(12))) {
            key = VkF1 + (code - static_cast<std::uint32_t>(KEY_F(1)));
        }
        for (const auto& row : KeyCodes) {
            if (key == 0 && static_cast<std::uint32_t>(row.code) == code) {
                key = row.virtual_key;
                if (row.shift) modifiers |= KeyShift;
            }
        }
        if (key == VkReturn) character = '\r';
    } else if (code == '\r' || code == '\n') {
        key = VkReturn, character = '\r';
    } else if (code == '\t') {
        key = VkTab, character = '\t';
    } else if (code == 0x1B) {
        key = VkEscape, character = 0x1B;
    } else if (code == 0x7F || code == 0x08) {
        key = VkBack, character = 0x08;
    } else if (code == 0) {
        key = VkSpace, modifiers |= KeyControl;  // Ctrl+Space
    } else if (code < 0x20) {
        if (code > 26) return false;  // Ctrl with \ ] ^ _: no letter key
        key = 'A' + (code - 1), modifiers |= KeyControl;
    } else if (code >= 'a' && code <= 'z') {
        key = code - 'a' + 'A', character = static_cast<LParam>(code);
    } else if (code >= 'A' && code <= 'Z') {
        key = code, character = static_cast<LParam>(code), modifiers |= KeyShift;
    } else if (code >= '0' && code <= '9') {
        key = code, character = static_cast<LParam>(code);
    } else if (code == ' ') {
        key = VkSpace, character = ' ';
    } else {
        key = 0, character = static_cast<LParam>(code & static_cast<std::uint32_t>(KeyCharMask));
    }
    if (key == 0 && character == 0) return false;
    *virtual_key = key;
    *key_data = character | modifiers;
    return true;
}

}  // namespace platform::internal
