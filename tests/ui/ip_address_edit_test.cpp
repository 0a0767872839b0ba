#include <QApplication>
#include <QLineEdit>
#include <QStringList>
#include <QTest>
#include <string>

#include <gtest/gtest.h>

#include "ui/ip_address_edit.h"

namespace {

using ui::IpAddressEdit;

// Types each character into whatever field has the focus at that moment, as a user would;
// '\b' is Backspace.
void Type(QWidget& window, const std::string& keys) {
    for (char c : keys) {
        QWidget* target = window.focusWidget();
        ASSERT_NE(target, nullptr);
        if (c == '\b') {
            QTest::keyClick(target, Qt::Key_Backspace);
        } else {
            QTest::keyClicks(target, QString(QChar(c)));
        }
    }
}

class IpAddressEditTest : public testing::Test {
  protected:
    void SetUp() override {
        edit = new IpAddressEdit(&window);
        edit->setGeometry(0, 0, 200, 24);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        edit->setFocus();
    }

    QWidget window;
    IpAddressEdit* edit = nullptr;
};

struct TypingCase {
    const char* keys;
    const char* text;
};

class IpAddressTypingTest : public IpAddressEditTest,
                            public testing::WithParamInterface<TypingCase> {};

TEST_P(IpAddressTypingTest, TypedKeysGiveDottedText) {
    Type(window, GetParam().keys);
    EXPECT_EQ(edit->text(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, IpAddressTypingTest,
    testing::Values(
        TypingCase{"127.0.0.1", "127.0.0.1"},
        // A third digit moves on by itself; a dot right after it has nothing to end.
        TypingCase{"127.168.0.10", "127.168.0.10"}, TypingCase{"127168001010", "127.168.1.10"},
        // Over 255 is clamped as it is typed.
        TypingCase{"127.300.2.3", "127.255.2.3"}, TypingCase{"999999999999", "255.255.255.255"},
        // A dot in a blank field is ignored; letters are refused.
        TypingCase{".127", "127.0.0.0"}, TypingCase{"1a27b.3", "127.3.0.0"},
        // Backspace at a field's start goes back to the end of the previous field.
        TypingCase{"127.34.5\b\b\b", "127.3.0.0"}, TypingCase{"127.34\b\b9", "127.9.0.0"},
        // A dot in the last field stays there.
        TypingCase{"127.2.3.4.5", "127.2.3.45"}, TypingCase{"127.000.000.077", "127.0.0.77"}));

// Typing over a filled-in address with the first field selected, as a user does right after
// the window opens: the dot after an automatic move must not skip the next field.
TEST_F(IpAddressEditTest, TypingOverAFilledAddressReplacesEveryField) {
    edit->setText("127.168.0.10");
    edit->field(0)->setFocus();
    edit->field(0)->selectAll();
    Type(window, "127.0.0.1");
    EXPECT_EQ(edit->text(), "127.0.0.1");
}

TEST_F(IpAddressEditTest, DotAndThirdDigitMoveToTheNextField) {
    Type(window, "10.");
    EXPECT_EQ(window.focusWidget(), edit->field(1));
    Type(window, "200");
    EXPECT_EQ(window.focusWidget(), edit->field(2));
}

TEST_F(IpAddressEditTest, ArrowsCrossFieldBordersOnlyAtTheEdges) {
    Type(window, "12.34");
    QTest::keyClick(window.focusWidget(), Qt::Key_Left);
    EXPECT_EQ(window.focusWidget(), edit->field(1)) << "cursor was not at the start yet";
    QTest::keyClick(window.focusWidget(), Qt::Key_Left);
    QTest::keyClick(window.focusWidget(), Qt::Key_Left);
    EXPECT_EQ(window.focusWidget(), edit->field(0));
    QTest::keyClick(window.focusWidget(), Qt::Key_Right);
    EXPECT_EQ(window.focusWidget(), edit->field(1));
}

struct SetTextCase {
    const char* input;
    bool wellFormed;
    const char* text;
};

class IpAddressSetTextTest : public testing::TestWithParam<SetTextCase> {};

TEST_P(IpAddressSetTextTest, ParsesDottedAddress) {
    IpAddressEdit edit;
    EXPECT_EQ(edit.setText(GetParam().input), GetParam().wellFormed);
    EXPECT_EQ(edit.text(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Inputs, IpAddressSetTextTest,
                         testing::Values(SetTextCase{"127.168.0.10", true, "127.168.0.10"},
                                         SetTextCase{"0.0.0.0", true, "0.0.0.0"},
                                         SetTextCase{"255.255.255.255", true, "255.255.255.255"},
                                         SetTextCase{"127.256.1.1", false, "127.255.1.1"},
                                         SetTextCase{"127.2.3", false, "127.2.3.0"},
                                         SetTextCase{"127.2.3.4.5", false, "127.2.3.4"},
                                         SetTextCase{"127.2.3.4444", false, "127.2.3.255"},
                                         SetTextCase{"a.b.c.d", false, "0.0.0.0"},
                                         SetTextCase{"", false, "0.0.0.0"},
                                         SetTextCase{"127.2.3. 4", false, "127.2.3.0"},
                                         // Leading zeros are decimal, never octal.
                                         SetTextCase{"127.000.000.077", true, "127.0.0.77"},
                                         SetTextCase{"127.0.0.0x1", false, "127.0.0.0"}));

TEST(IpAddressEditBlankTest, BlankFieldsReadAsZeroAndClearEmptiesAll) {
    IpAddressEdit edit;
    const auto fields = [&edit] {
        QStringList texts;
        for (int index = 0; index < 4; ++index) {
            texts << edit.field(index)->text();
        }
        return texts.join('|');
    };
    EXPECT_EQ(fields(), "|||");
    EXPECT_EQ(edit.text(), "0.0.0.0");
    edit.setText("127.0.0.1");
    EXPECT_EQ(fields(), "127|0|0|1");
    edit.clear();
    EXPECT_EQ(fields(), "|||");
    EXPECT_FALSE(edit.setText("x"));
    EXPECT_EQ(fields(), "|||") << "a part without digits leaves its field blank";
}

}  // namespace
