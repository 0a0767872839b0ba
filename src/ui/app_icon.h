#pragma once

#include <QIcon>

namespace ui {

// Resource path of the program's 32 x 32 icon.
inline constexpr char kAppIconResource[] = ":/vellumix.png";

// The program's icon, for the window, its drag image and the About box. Registers the
// compiled-in resources first (they live in a static library, so nothing else pulls them in).
QIcon AppIcon();

}  // namespace ui
