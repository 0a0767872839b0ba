#pragma once

#include <QIcon>

namespace ui {

// Resource paths of the program's icon, drawn at 32, 48 and 64 pixels: the 32-pixel icon of
// the About box and the window needs the larger ones at 150 % and 200 % display scale, where
// a stretched 32-pixel picture would look blurred.
inline constexpr const char* kAppIconResources[] = {":/vellumix.png", ":/vellumix-48.png",
                                                    ":/vellumix-64.png"};

// The program's icon, for the window and the About box. Registers the compiled-in resources
// first (they live in a static library, so nothing else pulls them in).
QIcon AppIcon();

}  // namespace ui
