#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <filesystem>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "support/test_support.h"
#include "ui/folder_chooser.h"
#include "ui_fakes.h"

namespace {

TEST(DialogFolderChooserTest, OpensOnTheStartFolderAndReturnsItWhenConfirmed) {
    testing_support::TempDir root;
    root.Write("site/index.htm", "x");
    const std::string start = (root.path() / "site").string();

    ui::DialogFolderChooser chooser;
    bool seen = false;
    ui_test::HandleNextModal(
        [&](QWidget* modal) {
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            ASSERT_NE(dialog, nullptr);
            seen = true;
            EXPECT_EQ(dialog->windowTitle(), "Select WEB SERVER Files");
            EXPECT_TRUE(dialog->testOption(QFileDialog::DontUseNativeDialog));
            EXPECT_EQ(dialog->fileMode(), QFileDialog::Directory);
            EXPECT_EQ(QDir::toNativeSeparators(dialog->selectedFiles().value(0)).toStdString(),
                      start);
            auto* status = dialog->findChild<QLabel*>(QStringLiteral("folderStatusText"));
            ASSERT_NE(status, nullptr) << "the selection's full path is shown in a status line";
            EXPECT_EQ(status->text().toStdString(), start) << "shown from the start";
        },
        [](QDialog* dialog) { dialog->accept(); });
    const std::optional<std::string> chosen =
        chooser.ChooseFolder(nullptr, "Select WEB SERVER Files", start);
    EXPECT_TRUE(seen);
    ASSERT_TRUE(chosen.has_value());
    EXPECT_EQ(*chosen, start);
}

TEST(DialogFolderChooserTest, CancelReturnsNothing) {
    testing_support::TempDir root;
    ui::DialogFolderChooser chooser;
    ui_test::HandleNextModal({}, [](QDialog* dialog) { dialog->reject(); });
    EXPECT_FALSE(
        chooser.ChooseFolder(nullptr, "Select WEB SERVER Files", root.path().string()).has_value());
}

TEST(DialogFolderChooserTest, MissingStartFolderStillOpens) {
    ui::DialogFolderChooser chooser;
    bool seen = false;
    ui_test::HandleNextModal([&](QWidget*) { seen = true; },
                             [](QDialog* dialog) { dialog->reject(); });
    EXPECT_FALSE(chooser.ChooseFolder(nullptr, "t", "/no/such/folder/anywhere").has_value());
    EXPECT_TRUE(seen);
}

}  // namespace
