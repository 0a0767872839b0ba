#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/upload_app.h"
#include "support/test_support.h"

#include "ledger/ledger.h"
// A Windows build may be made without SQLite, and then records nothing.
#if __has_include(<sqlite3.h>)
#define VELLUMIX_TEST_WINDOW_LEDGER 1
#endif
#include "ui/about_box.h"
#include "ui/history_dialog.h"
#include "ui/ip_address_edit.h"
#include "ui/main_window.h"
#include "ui/text_progress_bar.h"
#include "ui_fakes.h"

namespace {

using ui::MainWindow;
using ui_test::FakeLink;
using ui_test::LinkLog;

constexpr int kRomBytes = 8192;
constexpr int kFileCount = 5;
constexpr int kRunTimeoutMs = 5000;
constexpr char kLoopback[] = "127.0.0.1";
constexpr char kAppName[] = "vellumix-test";

class MainWindowTest : public testing::Test {
  protected:
    void SetUp() override { app::lastFolder = "left over from another test"; }

    void TearDown() override {
        if (window) {
            window->reject();
        }
    }

    // Builds the window; connections are fakes that answer "OK" when `answerOk`.
    template <typename Window = MainWindow>
    Window& Make(bool answerOk = true) {
        auto made = std::make_unique<Window>(ui::MainWindowContext{
            .limits = {kRomBytes, kFileCount},
            .webPathStore = store,
            .logPipe = nullptr,
            .messages = messages,
            .folderChooser = chooser,
            .applicationName = kAppName,
            .clock = clock,
            .newDeviceLink = [this,
                              answerOk] { return std::make_unique<FakeLink>(links, answerOk); },
        });
        Window& result = *made;
        window = std::move(made);
        return result;
    }

    template <typename Window = MainWindow>
    Window& Open(bool answerOk = true) {
        Window& opened = Make<Window>(answerOk);
        opened.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&opened));
        return opened;
    }

    template <typename Widget>
    Widget* Find(const char* name) {
        auto* found = window->findChild<Widget*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }

    // The address is always moved off the factory value before anything could connect.
    void UseLoopbackAddress() {
        window->AddressControl().setText(kLoopback);
        ASSERT_EQ(window->AddressText(), kLoopback);
    }

    testing_support::FakeMessageBox messages;
    ui_test::MemoryPathStore store;
    ui_test::ScriptedChooser chooser;
    ui_test::FixedClock clock;
    LinkLog links;
    std::unique_ptr<MainWindow> window;
};

TEST_F(MainWindowTest, ConstructionMakesTheFileTableButNoBuffers) {
    MainWindow& made = Make();
    ASSERT_NE(made.FileTable(), nullptr);
    EXPECT_EQ(made.FileTable()->SlotCount(), 2 * kFileCount);
    EXPECT_TRUE(made.Image().imageBuffer.empty());
    EXPECT_FALSE(made.ProgressBar().HasWindow());
    EXPECT_EQ(made.Port(), MainWindow::kDefaultPort);
}

TEST_F(MainWindowTest, OpensWithFactoryAddressFixedPortAndTheStoredFolder) {
    store.stored = "/srv/plc/web";
    MainWindow& opened = Open();

    EXPECT_EQ(opened.windowTitle(), "Vellumix");
    EXPECT_EQ(opened.minimumSize(), opened.maximumSize()) << "the window is fixed in size";
    EXPECT_TRUE(Find<QPushButton>("exitButton")->isDefault());
    EXPECT_EQ(opened.AddressText(), "192.168.0.10");
    auto* port = Find<QLineEdit>("portEdit");
    EXPECT_EQ(port->text(), "8001");
    EXPECT_FALSE(port->isEnabled());
    EXPECT_EQ(Find<QPlainTextEdit>("webFolderEdit")->toPlainText(), "/srv/plc/web");
    EXPECT_EQ(opened.WebFolder(), "/srv/plc/web");
    EXPECT_EQ(app::lastFolder, "/srv/plc/web");

    // Buffers grow with the files of a build: nothing taken up front for the capacity.
    EXPECT_TRUE(opened.Image().imageBuffer.empty());
    EXPECT_EQ(opened.FileTable()->SlotCount(), 2 * kFileCount);

    ui::TextProgressBar& bar = opened.ProgressBar();
    EXPECT_TRUE(bar.HasWindow());
    EXPECT_EQ(bar.RangeLower(), 0);
    EXPECT_EQ(bar.RangeUpper(), 100);
    EXPECT_EQ(bar.DisplayText(), "0.00%");
    EXPECT_FALSE(opened.windowIcon().isNull());
    EXPECT_EQ(opened.focusWidget(), opened.AddressControl().field(0));
}

TEST_F(MainWindowTest, NoStoredFolderLeavesFieldAndLastFolderEmpty) {
    Open();
    EXPECT_EQ(Find<QPlainTextEdit>("webFolderEdit")->toPlainText(), "");
    EXPECT_EQ(app::lastFolder, "");
}

TEST_F(MainWindowTest, TabVisitsAddressFilePathStartExitThenFolder) {
    MainWindow& made = Make();
    std::vector<QString> order;
    QWidget* widget = made.AddressControl().field(0);
    for (int step = 0; step < 64 && order.size() < 6; ++step) {
        if ((widget->focusPolicy() & Qt::TabFocus) != 0 && widget->isEnabled()) {
            order.push_back(widget->objectName());
        }
        widget = widget->nextInFocusChain();
    }
    EXPECT_EQ(order, (std::vector<QString>{"ipField0", "filePathButton", "startButton",
                                           "exitButton", "webFolderEdit", "ipField0"}));
}

class EnterClosesTest : public MainWindowTest, public testing::WithParamInterface<const char*> {};

TEST_P(EnterClosesTest, EnterInAFieldActivatesExit) {
    MainWindow& opened = Open();
    auto* field = Find<QWidget>(GetParam());
    field->setFocus();
    QTest::keyClick(field, Qt::Key_Return);
    EXPECT_FALSE(opened.isVisible());
    EXPECT_EQ(opened.result(), QDialog::Accepted);
    EXPECT_FALSE(opened.IsOpen());
}

INSTANTIATE_TEST_SUITE_P(Fields, EnterClosesTest,
                         testing::Values("ipField0", "ipField3", "webFolderEdit"));

TEST_F(MainWindowTest, EnterInTheFolderFieldDoesNotAddALine) {
    Open();
    auto* folder = Find<QPlainTextEdit>("webFolderEdit");
    folder->setPlainText("/srv/web");
    QTest::keyClick(folder, Qt::Key_Return);
    EXPECT_EQ(window->WebFolder(), "/srv/web") << "Exit takes the field without a new line";
}

TEST_F(MainWindowTest, EscapeAndTheCloseButtonCloseWithoutTakingFields) {
    MainWindow& opened = Open();
    Find<QPlainTextEdit>("webFolderEdit")->setPlainText("/typed");
    QTest::keyClick(&opened, Qt::Key_Escape);
    EXPECT_FALSE(opened.isVisible());
    EXPECT_EQ(opened.result(), QDialog::Rejected);
    EXPECT_EQ(opened.WebFolder(), "");

    window.reset();
    MainWindow& again = Open();
    again.close();
    EXPECT_FALSE(again.isVisible());
    EXPECT_EQ(again.result(), QDialog::Rejected);
    EXPECT_FALSE(again.IsOpen());
}

TEST_F(MainWindowTest, ClosingFreesTheUploadStorage) {
    MainWindow& opened = Open();
    opened.accept();
    EXPECT_TRUE(opened.Image().imageBuffer.empty());
    EXPECT_EQ(opened.FileTable(), nullptr);
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(MainWindowTest, RefusedPortKeepsTheWindowOpenAndTheMembersUnchanged) {
    store.stored = "/stored";
    MainWindow& opened = Open();
    auto* port = Find<QLineEdit>("portEdit");
    port->setEnabled(true);  // only a test can type here
    port->setText("80x1");
    Find<QPlainTextEdit>("webFolderEdit")->setPlainText("/typed");

    Find<QPushButton>("exitButton")->click();
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text, "Please enter an integer.");
    EXPECT_EQ(messages.shown[0].caption, kAppName);
    EXPECT_EQ(messages.shown[0].style, platform::kMbIconExclamation);
    EXPECT_TRUE(opened.isVisible());
    EXPECT_EQ(opened.Port(), 8001);
    EXPECT_EQ(opened.WebFolder(), "/stored") << "fields after a refused one are not taken";

    port->setText(" 8002 ");
    Find<QPushButton>("exitButton")->click();
    EXPECT_FALSE(opened.isVisible());
    EXPECT_EQ(opened.Port(), 8002);
    EXPECT_EQ(opened.WebFolder(), "/typed");
}

TEST_F(MainWindowTest, PortTextBeyondIntIsRefused) {
    Open();
    auto* port = Find<QLineEdit>("portEdit");
    port->setEnabled(true);
    port->setText("99999999999");
    EXPECT_FALSE(window->DoDataExchange(true));
    EXPECT_EQ(window->Port(), 8001);
}

TEST_F(MainWindowTest, ConfirmedFolderIsShownRememberedAndStored) {
    store.stored = "/old";
    chooser.answer = "/new/web";
    MainWindow& opened = Open();
    Find<QPlainTextEdit>("webFolderEdit")->setPlainText("/typed by hand");

    Find<QPushButton>("filePathButton")->click();
    EXPECT_EQ(chooser.calls, 1);
    EXPECT_EQ(chooser.lastTitle, "Select WEB SERVER Files");
    EXPECT_EQ(chooser.lastStartFolder, "/old") << "opens on lastFolder, not on the typed text";
    EXPECT_EQ(opened.WebFolder(), "/new/web");
    EXPECT_EQ(Find<QPlainTextEdit>("webFolderEdit")->toPlainText(), "/new/web");
    EXPECT_EQ(app::lastFolder, "/new/web");
    EXPECT_EQ(store.stored, "/new/web");
    EXPECT_EQ(store.saves, 1);
}

TEST_F(MainWindowTest, FolderTooLongToStoreIsUsedButNotStoredAndTheUserIsTold) {
    store.stored = "/old";
    const std::string chosen = "/" + std::string(300, 'd');
    chooser.answer = chosen;
    MainWindow& opened = Open();

    Find<QPushButton>("filePathButton")->click();
    EXPECT_EQ(opened.WebFolder(), chosen);
    EXPECT_EQ(app::lastFolder, chosen);
    EXPECT_EQ(store.saves, 0) << "a cut path would name another folder at the next start";
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text, MainWindow::kPathNotStoredMessage);
    EXPECT_EQ(messages.shown[0].caption, "ERR");
    EXPECT_EQ(messages.shown[0].style, platform::kMbIconHand);
}

// Written in the ANSI code page, a Greek path would come back with '?': another folder.
TEST_F(MainWindowTest, FolderWithoutAnAnsiFormIsUsedButNotStoredAndTheUserIsTold) {
    const std::string chosen = "/greek";
    store.unstorable = chosen;
    store.stored = "/old";
    chooser.answer = chosen;
    MainWindow& opened = Open();

    Find<QPushButton>("filePathButton")->click();
    EXPECT_EQ(opened.WebFolder(), chosen);
    EXPECT_EQ(store.saves, 0);
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text, MainWindow::kPathNotStorableMessage);
}

TEST_F(MainWindowTest, CancelledChooserChangesNothingButKeepsTheTypedText) {
    store.stored = "/old";
    chooser.answer = std::nullopt;
    MainWindow& opened = Open();
    Find<QPlainTextEdit>("webFolderEdit")->setPlainText("/typed");

    Find<QPushButton>("filePathButton")->click();
    EXPECT_EQ(chooser.calls, 1);
    EXPECT_EQ(Find<QPlainTextEdit>("webFolderEdit")->toPlainText(), "/typed");
    EXPECT_EQ(opened.WebFolder(), "/typed");
    EXPECT_EQ(app::lastFolder, "/old");
    EXPECT_EQ(store.saves, 0);
}

TEST_F(MainWindowTest, AboutOpensAFreshBoxEachTime) {
    MainWindow& opened = Open();
    std::vector<QPointer<QWidget>> boxes;
    auto openAndRecord = [&](const std::function<void()>& open) {
        ui_test::HandleNextModal(
            [&](QWidget* modal) {
                EXPECT_NE(qobject_cast<ui::AboutBox*>(modal), nullptr);
                EXPECT_EQ(modal->windowTitle(), "About Vellumix_Net");
                EXPECT_EQ(modal->parentWidget(), &opened);
                boxes.emplace_back(modal);
            },
            [](QDialog* dialog) {
                dialog->findChild<QPushButton*>(QStringLiteral("aboutOkButton"))->click();
            });
        open();
    };

    auto* about = Find<QAction>("aboutAction");
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(about->text(), "&About Vellumix_Net...");
    EXPECT_EQ(about->shortcut(), QKeySequence(Qt::Key_F1));
    EXPECT_TRUE(opened.actions().contains(about)) << "offered in the window's context menu";
    EXPECT_EQ(opened.contextMenuPolicy(), Qt::ActionsContextMenu);
    openAndRecord([&] { about->trigger(); });
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(boxes[0].isNull()) << "the box is destroyed once closed";

    // F1 reaches the same entry while the window is active.
    opened.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&opened));
    openAndRecord([&] { QTest::keyClick(&opened, Qt::Key_F1); });
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_TRUE(boxes[1].isNull());

    // The window-menu path: the low four bits of the command do not matter.
    openAndRecord([&] { opened.OnSysCommand(MainWindow::kIdmAboutBox | 0x3, 0); });
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_TRUE(boxes[2].isNull());
    EXPECT_TRUE(opened.isVisible());
}

TEST_F(MainWindowTest, OtherWindowMenuCommandsDoNotOpenTheAboutBox) {
    MainWindow& opened = Open();
    opened.OnSysCommand(0x20, 0);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_TRUE(opened.isVisible());
    opened.OnSysCommand(MainWindow::kScClose, 0);
    EXPECT_FALSE(opened.isVisible());
}

// A folder with one small page; the image is then one block: magic, length, data frames.
class UploadTest : public MainWindowTest {
  protected:
    testing_support::TempDir folder;
    testing_support::TempDir scratch;
    std::string ledgerPath;
    void SetUp() override {
        MainWindowTest::SetUp();
        folder.Write("index.htm", "<html>ok</html>");
        ledgerPath = (scratch.path() / "ledger.sqlite").string();
        qputenv("VELLUMIX_LEDGER", QByteArray::fromStdString(ledgerPath));
    }
    void TearDown() override {
        qunsetenv("VELLUMIX_LEDGER");
        MainWindowTest::TearDown();
    }
    // The result and frames sent of each upload the window recorded, newest first.
    std::vector<std::string> Recorded() {
        std::vector<std::string> results;
        ledger::Ledger book;
        std::vector<ledger::UploadRow> rows;
        if (book.Open(ledgerPath, ledger::Ledger::Access::kRead) || book.History({}, rows)) {
            return {"unreadable"};
        }
        for (const auto& row : rows) {
            results.push_back(row.end ? row.end->result + " " + std::to_string(row.end->framesSent)
                                      : "unfinished");
        }
        return results;
    }
};

TEST_F(UploadTest, HandTypedFolderIsUsedByStartButNotStored) {
    store.stored = "/stored";
    MainWindow& opened = Open(/*answerOk=*/false);
    UseLoopbackAddress();
    Find<QPlainTextEdit>("webFolderEdit")
        ->setPlainText(QString::fromStdString(folder.path().string()));

    Find<QPushButton>("startButton")->click();
    EXPECT_EQ(opened.WebFolder(), folder.path().string());
    ASSERT_EQ(opened.FileTable()->CountWebFiles(), 1);
    EXPECT_EQ((*opened.FileTable())[0].baseName, "index.htm");
    EXPECT_EQ(links.created, 1);
    EXPECT_EQ(links.address, kLoopback);
    EXPECT_EQ(links.port, 8001);
    EXPECT_TRUE(opened.IsTimerRunning(transfer::kUploadTimerId));
    EXPECT_EQ(store.saves, 0);
    EXPECT_EQ(store.stored, "/stored");
    EXPECT_EQ(app::lastFolder, "/stored");
}

TEST_F(UploadTest, StartWithoutAFolderStopsWithTheBuildersMessage) {
    Open();
    UseLoopbackAddress();
    Find<QPushButton>("startButton")->click();
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].caption, "ERR");
    EXPECT_EQ(messages.shown[0].style, platform::kMbIconHand);
    EXPECT_EQ(links.created, 0);
    EXPECT_FALSE(window->IsTimerRunning(transfer::kUploadTimerId));
}

TEST_F(UploadTest, AnsweredUploadReportsSuccessWithFullBar) {
    store.stored = folder.path().string();
    MainWindow& opened = Open(/*answerOk=*/true);
    UseLoopbackAddress();

    Find<QPushButton>("startButton")->click();
    ASSERT_EQ(opened.Sequencer().TotalFrames(), 3);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !messages.shown.empty(); }, kRunTimeoutMs));
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text, "Web Server Update OK!");
    EXPECT_EQ(messages.shown[0].caption, kAppName);
    EXPECT_EQ(messages.shown[0].style, platform::kMbOk);
    EXPECT_EQ(links.sent.size(), 3u);
    EXPECT_EQ(links.closed, 1);
    EXPECT_EQ(opened.ProgressBar().DisplayText(), "100.00%");
    EXPECT_FALSE(opened.IsTimerRunning(transfer::kUploadTimerId));
#if VELLUMIX_TEST_WINDOW_LEDGER
    EXPECT_EQ(Recorded(), std::vector<std::string>{"ok 3"});
    // Upload history: this address's upload; another address has none until every controller
    // is shown.
    ui::HistoryDialog here(kLoopback, &opened);
    ASSERT_EQ(here.Table()->rowCount(), 1);
    EXPECT_EQ(here.Table()->item(0, 1)->text(), "ok");
    EXPECT_EQ(here.Table()->item(0, 6)->text().toStdString(), folder.path().string());
    ui::HistoryDialog elsewhere("127.0.0.99", &opened);
    EXPECT_EQ(elsewhere.Table()->rowCount(), 0);
    elsewhere.EveryController()->setChecked(true);
    ASSERT_EQ(elsewhere.Table()->rowCount(), 1);
    EXPECT_TRUE(elsewhere.Table()->item(0, 1)->text().startsWith(kLoopback));
#endif
}

TEST_F(UploadTest, ClosingDuringARunClosesTheLinkWithoutAMessage) {
    store.stored = folder.path().string();
    MainWindow& opened = Open(/*answerOk=*/false);
    UseLoopbackAddress();

    Find<QPushButton>("startButton")->click();
    // The magic frame goes out at the first tick and is never answered.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !links.sent.empty(); }, kRunTimeoutMs));
    opened.reject();
    EXPECT_EQ(links.closed, 1);
    EXPECT_FALSE(opened.IsTimerRunning(transfer::kUploadTimerId));
    // Nothing that was still queued for the window may report afterwards.
    QTest::qWait(2 * transfer::kTimerPeriodMs);
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ(links.sent.size(), 1u);
#if VELLUMIX_TEST_WINDOW_LEDGER
    EXPECT_EQ(Recorded(), std::vector<std::string>{"interrupted 1"});
#endif
}

// Closes itself from inside the tick that ends the run: the completion has been posted but not
// yet handled.
class ClosingAtTheEndWindow : public MainWindow {
  public:
    using MainWindow::MainWindow;
    void SetProgressPercent(float percent) override {
        MainWindow::SetProgressPercent(percent);
        if (IsOpen() && Sequencer().TotalFrames() > 0 && Sequencer().Frames().Empty() &&
            !IsTimerRunning(transfer::kUploadTimerId)) {
            closedAtTheEnd = true;
            reject();
        }
    }
    bool closedAtTheEnd = false;
};

TEST_F(UploadTest, CompletionPostedBeforeCloseIsDropped) {
    store.stored = folder.path().string();
    auto& opened = Open<ClosingAtTheEndWindow>(/*answerOk=*/true);
    UseLoopbackAddress();
    Find<QPushButton>("startButton")->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return opened.closedAtTheEnd; }, kRunTimeoutMs));
    QTest::qWait(2 * transfer::kTimerPeriodMs);
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ(links.closed, 1);
}

}  // namespace
