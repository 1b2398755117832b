// Implemented in platform/window/resources.cpp.
// The shape of the program's resource table: one constant row per resource, scanned from the
// first row. resources/resources.cpp holds the rows; the window layer reads them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

inline constexpr const char* RtMenu = "MENU";
inline constexpr const char* RtMenuBar = "SHMENUBAR";
inline constexpr const char* RtString = "STRING";
inline constexpr const char* RtAccelerator = "ACCELERATOR";
inline constexpr const char* RtDialog = "DIALOG";
inline constexpr const char* RtIconGroup = "GROUP_ICON";

struct MenuItemTemplate {
    const char* text;  // nullptr: a separator
    std::uint32_t command;
};

struct MenuTemplate {
    const char* popup;  // the pop-up's title
    const MenuItemTemplate* items;
    std::size_t count;
};

struct MenuBarTemplate {
    std::uint32_t menu_id;
    int image;  // -2: no image
    std::uint32_t command;
    std::uint8_t state;
    std::uint8_t style;
    std::uint32_t label_string;
    int submenu;
};

struct StringTemplate {
    std::uint32_t id;
    const char* text;
};

inline constexpr std::uint8_t AccelVirtualKey = 0x01;
inline constexpr std::uint8_t AccelNoInvert = 0x02;
inline constexpr std::uint8_t AccelControl = 0x08;
inline constexpr std::uint8_t AccelLast = 0x80;
struct AccelTemplate {
    std::uint8_t flags;
    std::uint16_t key;  // virtual key ('Q')
    std::uint16_t command;
};

struct DialogControlTemplate {
    const char* window_class;
    std::uint32_t style;
    int id;
    int x, y, width, height;
    const char* text;
};

struct DialogTemplate {
    const char* caption;
    std::uint32_t style;
    std::uint32_t ex_style;
    const char* font;
    int points;
    int x, y, width, height;
    const DialogControlTemplate* controls;
    std::size_t count;
};

struct ResourceRow {
    const char* type;   // a named type ("HEX") or one of the Rt names above
    int id;             // integer id, or 0 when the resource has a name
    const char* name;   // name, or nullptr
    std::uint16_t language;
    const void* data;
    std::size_t size;
};

struct ResourceTableView {
    const ResourceRow* rows;
    std::size_t count;
};

// The program hands its table over as it is loaded (resources/resources.cpp), as a module's
// resources come with the module: the layer itself knows nothing of the program.
void SetProgramResources(ResourceTableView rows);

}  // namespace platform
