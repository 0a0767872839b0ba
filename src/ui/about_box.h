#pragma once

#include <QDialog>

namespace ui {

// The fixed About dialog: icon, product and version, one line about the program, OK.
// Nothing is read from it; a new box is built for every opening.
class AboutBox : public QDialog {
    Q_OBJECT

  public:
    static constexpr char kTitle[] = "About Vellumix_Net";
    static constexpr char kVersionText[] = "Vellumix_Net Version 1.0";
    static constexpr char kSecondLine[] = "Web page uploader for PLCs";

    explicit AboutBox(QWidget* parent = nullptr);
};

}  // namespace ui
