#include "ui/history_dialog.h"

#include <filesystem>
#include <vector>

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QTableWidget>
#include <QVBoxLayout>

#include "ledger/image_record.h"
#include "ledger/ledger.h"
#include "platform/async_socket_qt.h"
#include "platform/system_text.h"

namespace ui {

namespace {

constexpr int kShortSha = 12;
constexpr int kWidth = 900;
constexpr int kHeight = 420;

QString Text(const std::string& text) {
    return QString::fromStdString(text);
}

}  // namespace

HistoryDialog::HistoryDialog(const std::string& address, QWidget* parent)
    : QDialog(parent), address_(address) {
    setObjectName(QStringLiteral("historyDialog"));
    setWindowTitle(QStringLiteral("Upload history"));
    auto* layout = new QVBoxLayout(this);
    every_ = new QCheckBox(QStringLiteral("Show every controller"), this);
    every_->setObjectName(QStringLiteral("everyController"));
    note_ = new QLabel(this);
    table_ = new QTableWidget(this);
    table_->setObjectName(QStringLiteral("historyTable"));
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->verticalHeader()->hide();
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    layout->addWidget(every_);
    layout->addWidget(note_);
    layout->addWidget(table_);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(every_, &QCheckBox::toggled, this, [this] { Reload(); });
    resize(kWidth, kHeight);
    Reload();
}

void HistoryDialog::Reload() {
    const bool every = every_->isChecked();
    QStringList headers{QStringLiteral("Time (UTC)"), QStringLiteral("Result"),
                        QStringLiteral("Message"),    QStringLiteral("Image SHA-256"),
                        QStringLiteral("Files"),      QStringLiteral("Bytes"),
                        QStringLiteral("Folder")};
    if (every) {
        headers.insert(1, QStringLiteral("Device"));
    }
    table_->clear();
    table_->setColumnCount(static_cast<int>(headers.size()));
    table_->setHorizontalHeaderLabels(headers);
    table_->setRowCount(0);

    const auto located = ledger::LedgerPath({});
    std::vector<ledger::UploadRow> rows;
    ledger::Ledger book;
    std::error_code missing;
    if (!located) {
        note_->setText(Text(located.error().text));
        return;
    }
    const std::string& path = *located;
    if (!std::filesystem::exists(platform::FileSystemPath(path), missing)) {
        note_->setText(Text("No uploads recorded yet (" + path + ")."));
        return;
    }
    ledger::HistoryFilter filter;
    filter.limit = kMostRows;
    if (!every) {
        filter.device = platform::ResolvedAddressText(address_);
    }
    ledger::Error failure = book.Open(path, ledger::Ledger::Access::kRead);
    if (!failure) {
        failure = book.History(filter, rows);
    }
    if (failure) {
        note_->setText(Text("The ledger " + path + " cannot be read: " + failure.text));
        return;
    }
    note_->setText(Text((every ? "Every controller" : "Controller " + address_) + ", from " + path +
                        (rows.size() == static_cast<std::size_t>(kMostRows)
                             ? " (the newest " + std::to_string(kMostRows) + ")"
                             : "")));
    table_->setRowCount(static_cast<int>(rows.size()));
    for (int r = 0; r < static_cast<int>(rows.size()); ++r) {
        const ledger::UploadRow& row = rows[static_cast<std::size_t>(r)];
        QStringList cells{Text(ledger::FormatUtc(row.start.startedMs)),
                          Text(row.end ? row.end->result : "unfinished"),
                          Text(row.end ? row.end->message : ""),
                          Text(row.start.imageSha256.substr(0, kShortSha)),
                          QString::number(row.start.fileCount),
                          QString::number(row.start.imageBytes),
                          Text(row.start.sourcePath)};
        if (every) {
            cells.insert(1, Text(row.start.device + ":" + std::to_string(row.start.port)));
        }
        for (int c = 0; c < static_cast<int>(cells.size()); ++c) {
            table_->setItem(r, c, new QTableWidgetItem(cells[c]));
        }
    }
    table_->resizeColumnsToContents();
}

}  // namespace ui
