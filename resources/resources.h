// Implemented in resources/resources.cpp and resources/payloads.S.
// Identifiers of the program's resources (the rows are in resources/resources.cpp).
#pragma once

namespace resources {

inline constexpr int IDR_MENUBAR = 105;  // menu-bar record and menu
inline constexpr int IDS_SYSTEM = 40003;
inline constexpr int IDM_MENUBAR_BUTTON = 40001;
inline constexpr int IDR_BOOT1 = 107;
inline constexpr int IDR_BOOT2 = 108;
inline constexpr int IDR_FILE_SIZE = 109;
inline constexpr int IDR_FW = 110;
inline constexpr const char* ID_ACCEL = "ID_ACCEL";
inline constexpr const char* ID_ICON = "ID_ICON";
inline constexpr const char* ABOUTBOX = "ABOUTBOX";
inline constexpr const char* PayloadType = "HEX";
inline constexpr unsigned short LangChineseTaiwan = 1028;
inline constexpr unsigned short LangEnglishUs = 1033;

}  // namespace resources
