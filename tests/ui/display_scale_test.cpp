#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>
#include <QTest>

#include <gtest/gtest.h>

#include "support/test_support.h"
#include "ui/about_box.h"
#include "ui/folder_chooser.h"
#include "ui/main_window.h"
#include "ui/qt_message_box.h"
#include "ui_fakes.h"

// The dialogs at the display scale of the run: ctest runs this suite once more with
// QT_SCALE_FACTOR=2 (ui.dialogs_at_200_percent). Nothing may be cut off, overlap another
// control or be a stretched picture.
namespace {

qreal ScaleOfRun() {
    const qreal scale = qEnvironmentVariable("QT_SCALE_FACTOR").toDouble();
    return scale > 0 ? scale : 1.0;
}

// Every shown control of `top`: each line of its text fits it, it lies inside its parent and
// it meets a sibling only where one frames the other (a group box round its fields).
void ExpectNothingClippedOrOverlapping(QWidget* top) {
    ASSERT_DOUBLE_EQ(top->devicePixelRatioF(), ScaleOfRun());
    for (QWidget* widget : top->findChildren<QWidget*>()) {
        if (!widget->isVisible() || widget->isWindow()) {
            continue;
        }
        const std::string name = widget->objectName().toStdString();
        auto* label = qobject_cast<QLabel*>(widget);
        auto* button = qobject_cast<QPushButton*>(widget);
        // A mnemonic's '&' is not drawn.
        const QString text = (label    ? label->text()
                              : button ? button->text()
                                       : QString())
                                 .remove(QLatin1Char('&'));
        if (!text.isEmpty() && (label == nullptr || !label->wordWrap())) {
            const QRect box = widget->fontMetrics().boundingRect(
                QRect(0, 0, 100000, 100000), Qt::AlignLeft | Qt::AlignTop, text);
            const int margin = button ? widget->style()->pixelMetric(QStyle::PM_ButtonMargin) : 0;
            EXPECT_LE(box.width() + margin, widget->contentsRect().width())
                << text.toStdString() << " cut";
            EXPECT_LE(box.height(), widget->contentsRect().height()) << name << " cut";
        }
        EXPECT_TRUE(widget->parentWidget()->rect().contains(widget->geometry())) << name;
        for (auto* other :
             widget->parentWidget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            const QRect mine = widget->geometry();
            const QRect theirs = other->geometry();
            EXPECT_TRUE(other == widget || !other->isVisible() || !mine.intersects(theirs) ||
                        mine.contains(theirs) || theirs.contains(mine))
                << name << " overlaps " << other->metaObject()->className();
        }
    }
}

TEST(DisplayScaleTest, MainWindowAndAboutBoxKeepEveryTextAndPictureWhole) {
    testing_support::FakeMessageBox messages;
    ui_test::MemoryPathStore store;
    ui_test::ScriptedChooser chooser;
    ui_test::FixedClock clock;
    ui::MainWindow window(ui::MainWindowContext{.limits = {8192, 5},
                                                .webPathStore = store,
                                                .logPipe = nullptr,
                                                .messages = messages,
                                                .folderChooser = chooser,
                                                .applicationName = "vellumix-test",
                                                .clock = clock,
                                                .newDeviceLink = {}});
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    ExpectNothingClippedOrOverlapping(&window);

    ui::AboutBox about(&window);
    about.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&about));
    ExpectNothingClippedOrOverlapping(&about);
    auto* icon = about.findChild<QLabel*>(QStringLiteral("aboutIcon"));
    ASSERT_NE(icon, nullptr);
    EXPECT_GE(icon->pixmap().devicePixelRatio(), ScaleOfRun()) << "a stretched, blurred icon";
    window.reject();
}

TEST(DisplayScaleTest, FolderChooserAndMessageBoxKeepEveryTextWhole) {
    testing_support::TempDir root;
    root.Write("web/index.htm", "x");
    bool chooserSeen = false;
    ui_test::HandleNextModal(
        [&](QWidget* modal) {
            chooserSeen = true;
            ExpectNothingClippedOrOverlapping(modal);
        },
        [](QDialog* dialog) { dialog->reject(); });
    ui::DialogFolderChooser().ChooseFolder(nullptr, "Select WEB SERVER Files",
                                           (root.path() / "web").string());
    EXPECT_TRUE(chooserSeen);

    QWidget owner;
    ui::QtMessageBox messages(&owner);
    bool boxSeen = false;
    ui_test::HandleNextModal([&](QWidget* modal) {
        boxSeen = true;
        ExpectNothingClippedOrOverlapping(modal);
    });
    messages.MessageBox(
        "web server directory size 3200 is bigger than rom size 2048,please "
        "confirm it!",
        "Error", 0x30);
    EXPECT_TRUE(boxSeen);
}

}  // namespace
