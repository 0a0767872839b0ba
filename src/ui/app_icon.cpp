#include "ui/app_icon.h"

#include <QString>

// Outside any namespace, as the resource registration requires.
static void RegisterUiResources() {
    Q_INIT_RESOURCE(resources);
}

namespace ui {

QIcon AppIcon() {
    static const bool registered = [] {
        RegisterUiResources();
        return true;
    }();
    (void)registered;
    return QIcon(QString::fromLatin1(kAppIconResource));
}

}  // namespace ui
