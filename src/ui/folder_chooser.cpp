#include "ui/folder_chooser.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <algorithm>

namespace ui {

namespace {

// Opens the dialog with `startFolder` itself selected inside its parent, so confirming at once
// returns it; an unknown folder leaves the dialog at its default place.
void SelectStartFolder(QFileDialog& dialog, const std::string& startFolder) {
    if (startFolder.empty()) {
        return;
    }
    const QFileInfo folder(QString::fromStdString(startFolder));
    if (!folder.isDir()) {
        return;
    }
    const QDir parent = folder.absoluteDir();
    if (parent.absolutePath() == folder.absoluteFilePath()) {
        dialog.setDirectory(folder.absoluteFilePath());  // the root has no parent
        return;
    }
    dialog.setDirectory(parent);
    dialog.selectFile(folder.fileName());
}

// The text of the status line for `path`: its full path when it is a folder, else nothing.
QString StatusText(const QString& path) {
    const QFileInfo selected(path);
    return selected.isDir() ? QDir::toNativeSeparators(selected.absoluteFilePath()) : QString();
}

// A status line below the dialog's own rows, showing the full path of each selection, and
// from the start that of `startFolder`, which the dialog opens on.
void AddStatusLine(QFileDialog& dialog, const std::string& startFolder) {
    auto* grid = qobject_cast<QGridLayout*>(dialog.layout());
    if (grid == nullptr) {
        return;
    }
    auto* status = new QLabel(&dialog);
    status->setObjectName(QStringLiteral("folderStatusText"));
    status->setTextFormat(Qt::PlainText);
    status->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // Left of the last column (that of the buttons): the dialog's size grip sits in the bottom
    // right corner, over whatever reaches there.
    grid->addWidget(status, grid->rowCount(), 0, 1, std::max(1, grid->columnCount() - 1));
    if (!startFolder.empty()) {
        status->setText(StatusText(QString::fromStdString(startFolder)));
    }
    QObject::connect(&dialog, &QFileDialog::currentChanged, status,
                     [status](const QString& path) { status->setText(StatusText(path)); });
}

}  // namespace

std::optional<std::string> DialogFolderChooser::ChooseFolder(QWidget* owner,
                                                             const std::string& title,
                                                             const std::string& startFolder) {
    QFileDialog dialog(owner, QString::fromStdString(title));
    // Qt's own dialog, so the status line can be added; folders only.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    SelectStartFolder(dialog, startFolder);
    AddStatusLine(dialog, startFolder);

    if (dialog.exec() != QDialog::Accepted) {
        return std::nullopt;
    }
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty()) {
        return std::nullopt;
    }
    const QFileInfo folder(chosen.front());
    if (!folder.isDir()) {
        return std::nullopt;
    }
    return QDir::toNativeSeparators(folder.absoluteFilePath()).toStdString();
}

}  // namespace ui
