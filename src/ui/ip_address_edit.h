#pragma once

#include <QFrame>
#include <array>
#include <string>

class QLineEdit;

namespace ui {

// An IPv4 address entry: four fields of 0..255 between fixed dots, in one sunken frame.
//
// Typing: digits only. A third digit, or a dot in a field that holds a number, moves to the
// next field (selecting its text); a number over 255 is clamped to 255 as it is typed.
// Backspace or Left at the start of a field moves to the end of the previous one, Right at the
// end of a field to the start of the next. The whole control is a single tab stop; Enter and
// Escape are left to the dialog.
class IpAddressEdit : public QFrame {
    Q_OBJECT

  public:
    static constexpr int kFieldCount = 4;
    static constexpr int kMaxFieldValue = 255;
    static constexpr int kMaxFieldDigits = 3;

    explicit IpAddressEdit(QWidget* parent = nullptr);

    // The dotted address; an empty field reads as 0 ("0.0.0.0" for a blank control).
    std::string text() const;
    // Shows a dotted address. Each of up to four dot-separated parts takes its leading digits
    // (at most three, clamped to 255); a missing or non-numeric part leaves its field blank.
    // Returns true when the text was exactly four numbers of 0..255.
    bool setText(const std::string& address);
    // Empties all four fields.
    void clear();

    // The field widgets, left to right (for focus handling and tests).
    QLineEdit* field(int index) const { return fields_[static_cast<std::size_t>(index)]; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    int IndexOf(const QObject* object) const;
    void OnFieldEdited(int index);
    void FocusField(int index, bool selectAll, bool cursorAtEnd);

    std::array<QLineEdit*, kFieldCount> fields_{};
    int advancedInto_ = -1;  // field that three typed digits just moved the focus to
};

}  // namespace ui
