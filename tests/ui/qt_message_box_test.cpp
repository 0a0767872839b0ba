#include <QMessageBox>
#include <QWidget>
#include <string>

#include <gtest/gtest.h>

#include "ui/qt_message_box.h"
#include "ui_fakes.h"

namespace {

struct StyleCase {
    unsigned style;
    QMessageBox::Icon icon;
};

class QtMessageBoxTest : public testing::TestWithParam<StyleCase> {};

TEST_P(QtMessageBoxTest, ShowsExactTextAndCaptionWithTheStylesIcon) {
    QWidget owner;
    ui::QtMessageBox sink(&owner);
    bool seen = false;
    ui_test::HandleNextModal([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        seen = true;
        EXPECT_EQ(box->windowTitle(), "ERR & <b>co</b>");
        EXPECT_EQ(box->text(), "File [a&b <i>.htm] Open ERROR!");
        EXPECT_EQ(box->textFormat(), Qt::PlainText) << "markup must show as typed";
        EXPECT_EQ(box->icon(), GetParam().icon);
        EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
        EXPECT_EQ(box->parentWidget(), &owner);
    });
    sink.MessageBox("File [a&b <i>.htm] Open ERROR!", "ERR & <b>co</b>", GetParam().style);
    EXPECT_TRUE(seen);
}

INSTANTIATE_TEST_SUITE_P(Styles, QtMessageBoxTest,
                         testing::Values(StyleCase{0, QMessageBox::NoIcon},
                                         StyleCase{16, QMessageBox::Critical},
                                         StyleCase{48, QMessageBox::Warning},
                                         StyleCase{64, QMessageBox::Information},
                                         StyleCase{16 | 1, QMessageBox::Critical}));

}  // namespace
