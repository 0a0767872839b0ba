#include <QLabel>
#include <QPushButton>

#include <gtest/gtest.h>

#include "ui/about_box.h"
#include "ui/dialog_units.h"

namespace {

TEST(AboutBoxTest, ShowsTitleIconVersionLineAndDefaultOk) {
    ui::AboutBox box;
    EXPECT_EQ(box.windowTitle(), "About Vellumix_Net");
    const ui::DialogUnits units(box.font());
    EXPECT_EQ(box.size(), units.ToPixels(235, 55));

    auto* icon = box.findChild<QLabel*>(QStringLiteral("aboutIcon"));
    ASSERT_NE(icon, nullptr);
    EXPECT_FALSE(icon->pixmap().isNull()) << "the program's icon must be compiled in";

    auto* version = box.findChild<QLabel*>(QStringLiteral("aboutVersionText"));
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version->text(), "Vellumix_Net Version 1.0");
    EXPECT_EQ(version->textFormat(), Qt::PlainText);
    EXPECT_EQ(version->geometry(), units.ToPixels(40, 10, 119, 8));

    auto* ok = box.findChild<QPushButton*>(QStringLiteral("aboutOkButton"));
    ASSERT_NE(ok, nullptr);
    EXPECT_TRUE(ok->isDefault());
    EXPECT_EQ(ok->geometry(), units.ToPixels(178, 7, 50, 14));
}

}  // namespace
