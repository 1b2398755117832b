// The program's resource table: the shell's menu bar, menu, string, accelerators, icon group
// and about box, and the four embedded payloads (resources/payloads.S).
#include "resources/resources.h"

#include "platform/platform.h"
#include "resources/commands.h"

extern "C" {
extern const unsigned char fwu_payload_boot1[], fwu_payload_boot1_end[];
extern const unsigned char fwu_payload_boot2[], fwu_payload_boot2_end[];
extern const unsigned char fwu_payload_filesize[], fwu_payload_filesize_end[];
extern const unsigned char fwu_payload_fw[], fwu_payload_fw_end[];
}

namespace resources {
namespace {

using namespace platform;

// The "System" pop-up: text, command (nullptr text: a separator).
constexpr MenuItemTemplate SystemMenuItems[] = {
    {"Update firmware - Go", commands::UpdateGo},
    {nullptr, 0},
    {"Exit", commands::Exit},
};
constexpr MenuTemplate SystemMenu{"System", SystemMenuItems, 3};

// One button: menu, image (-2 none), command, state (enabled), style (drop-down, auto-size),
// label string, sub-menu index.
constexpr MenuBarTemplate MenuBar{IDR_MENUBAR, -2, IDM_MENUBAR_BUTTON, 0x04, 0x18, IDS_SYSTEM, 0};

constexpr StringTemplate SystemString{IDS_SYSTEM, "System"};

// flags, key, command: Ctrl+Q closes the window.
constexpr AccelTemplate Accelerators[] = {
    {AccelVirtualKey | AccelNoInvert | AccelControl | AccelLast, 'Q', commands::Exit},
};

// Three images: the sizes the handset's shell asks for.
constexpr int IconSizes[] = {16, 32, 48};

// class, style, id, x, y, width, height, text
constexpr DialogControlTemplate AboutControls[] = {
    {"static", 0x50020000, 65535, 12, 5, 114, 46,
     "Zamtalk - Written for Ondra to update phone module firmware and transmit data between "
     "BTUART and FFUART"},
};
constexpr DialogTemplate AboutBox{"About", 0x90C808C0, 0, "System", 10, 10, 10, 136, 56,
                                  AboutControls, 1};

std::size_t Span(const unsigned char* begin, const unsigned char* end) {
    return static_cast<std::size_t>(end - begin);
}

// type, id, name, language, data, size
const ResourceRow Table[] = {
    {RtMenuBar, IDR_MENUBAR, nullptr, LangChineseTaiwan, &MenuBar, sizeof MenuBar},
    {RtMenu, IDR_MENUBAR, nullptr, LangChineseTaiwan, &SystemMenu, sizeof SystemMenu},
    {RtString, IDS_SYSTEM, nullptr, LangChineseTaiwan, &SystemString, sizeof SystemString},
    {RtAccelerator, 0, ID_ACCEL, LangEnglishUs, Accelerators, sizeof Accelerators},
    {RtIconGroup, 0, ID_ICON, LangEnglishUs, IconSizes, sizeof IconSizes},
    {RtDialog, 0, ABOUTBOX, LangEnglishUs, &AboutBox, sizeof AboutBox},
    {PayloadType, IDR_BOOT1, nullptr, LangChineseTaiwan, fwu_payload_boot1,
     Span(fwu_payload_boot1, fwu_payload_boot1_end)},
    {PayloadType, IDR_BOOT2, nullptr, LangChineseTaiwan, fwu_payload_boot2,
     Span(fwu_payload_boot2, fwu_payload_boot2_end)},
    {PayloadType, IDR_FILE_SIZE, nullptr, LangChineseTaiwan, fwu_payload_filesize,
     Span(fwu_payload_filesize, fwu_payload_filesize_end)},
    {PayloadType, IDR_FW, nullptr, LangChineseTaiwan, fwu_payload_fw,
     Span(fwu_payload_fw, fwu_payload_fw_end)},
};

// Handed to the platform as the program is loaded, before main() runs.
const bool Registered = (SetProgramResources({Table, sizeof Table / sizeof Table[0]}), true);

}  // namespace
}  // namespace resources
