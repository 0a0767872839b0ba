#pragma once

#include <optional>
#include <string>

class QWidget;

namespace ui {

// Asks the user for a folder. The main window holds one of these so tests can answer for the
// user.
class FolderChooser {
  public:
    virtual ~FolderChooser() = default;
    // Shows a modal folder browser titled `title` over `owner`, opened on `startFolder` (its
    // default place when empty or missing), and returns the full path of the confirmed folder,
    // or nothing when the user cancels or confirms something that is not a local folder.
    virtual std::optional<std::string> ChooseFolder(QWidget* owner, const std::string& title,
                                                    const std::string& startFolder) = 0;
};

// The desktop browser: Qt's own (non-native) folder dialog with a status line under it that
// shows the full path of the current selection.
class DialogFolderChooser : public FolderChooser {
  public:
    std::optional<std::string> ChooseFolder(QWidget* owner, const std::string& title,
                                            const std::string& startFolder) override;
};

}  // namespace ui
