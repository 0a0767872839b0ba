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
    QIcon icon;
    for (const char* resource : kAppIconResources) {
        icon.addFile(QString::fromLatin1(resource));
    }
    return icon;
}

}  // namespace ui
