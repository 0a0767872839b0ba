#include "ui/folder_chooser.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>

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

// A status line below the dialog's own rows, showing the full path of each selection.
void AddStatusLine(QFileDialog& dialog) {
    auto* grid = qobject_cast<QGridLayout*>(dialog.layout());
    if (grid == nullptr) {
        return;
    }
    auto* status = new QLabel(&dialog);
    status->setObjectName(QStringLiteral("folderStatusText"));
    status->setTextFormat(Qt::PlainText);
    status->setTextInteractionFlags(Qt::TextSelectableByMouse);
    grid->addWidget(status, grid->rowCount(), 0, 1, grid->columnCount());
    QObject::connect(&dialog, &QFileDialog::currentChanged, status, [status](const QString& path) {
        const QFileInfo selected(path);
        status->setText(selected.isDir() ? QDir::toNativeSeparators(selected.absoluteFilePath())
                                         : QString());
    });
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
    AddStatusLine(dialog);
    SelectStartFolder(dialog, startFolder);

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
