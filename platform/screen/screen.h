// Implemented in platform/screen/screen.cpp and platform/screen/headless.cpp (and the terminal
// screen under platform/screen/terminal/).
// The screens that draw the window layer's windows, behind its seam (platform/window/
// screen_seam.h, which this includes for the screens and their tests).
//
// The headless screen (headless.cpp) writes each text inserted into an edit control to stdout
// as it arrives, prints boxes and dialogs as "[caption] text" lines and answers OK. A terminal
// screen plugs in at SelectScreen (screen.cpp).
//
// Index: HeadlessScreen
#pragma once

#include "platform/window/screen_seam.h"

namespace platform::internal {

// The screen without a terminal, the current one until SelectScreen picks another.
Screen* HeadlessScreen();

}  // namespace platform::internal
