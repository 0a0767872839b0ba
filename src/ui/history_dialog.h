#pragma once

#include <QDialog>

#include <string>

class QCheckBox;
class QLabel;
class QTableWidget;

namespace ui {

// "Upload history...": a read-only table of the uploads recorded in the ledger for one device
// address (any port), newest first, with a switch to show every controller. It only reads the
// ledger; a missing or unreadable file is said in the dialog itself.
class HistoryDialog : public QDialog {
    Q_OBJECT
  public:
    // Rows shown at most: the newest ones.
    static constexpr int kMostRows = 1000;

    HistoryDialog(const std::string& address, QWidget* parent);

    QTableWidget* Table() const { return table_; }
    QCheckBox* EveryController() const { return every_; }
    // Reads the ledger again.
    void Reload();

  private:
    std::string address_;
    QCheckBox* every_ = nullptr;
    QLabel* note_ = nullptr;
    QTableWidget* table_ = nullptr;
};

}  // namespace ui
