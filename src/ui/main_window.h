#pragma once

#include <QDialog>
#include <QIcon>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/log_pipe.h"
#include "app/web_path_store.h"
#include "packer/pack_limits.h"
#include "packer/web_file_table.h"
#include "packer/web_image.h"
#include "platform/message_box.h"
#include "platform/message_window_qt.h"
#include "platform/window_messages.h"
#include "transfer/device_link.h"
#include "transfer/upload_sequencer.h"
#include "ui/window_ledger.h"

class QAction;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace ui {

class FolderChooser;
class IpAddressEdit;
class TextProgressBar;

// Everything the main window needs from outside; all references must outlive the window.
struct MainWindowContext {
    packer::PackLimits limits;           // bounds the file table and the image
    app::WebPathStore& webPathStore;     // the stored web folder
    app::LogPipe* logPipe = nullptr;     // diagnostics of the default connection; may be null
    platform::MessageBoxSink& messages;  // every message the window or an upload shows
    FolderChooser& folderChooser;        // the File Path browser
    std::string applicationName;         // caption of the success box
    transfer::Clock& clock;              // time of the acknowledgement time-out
    // Makes the connection of each Start and must not return null; empty: a net::DeviceSocket
    // logging to `logPipe`.
    std::function<std::unique_ptr<transfer::DeviceLink>()> newDeviceLink;
};

// The program's one working window: device address and port, the web folder, Start, the
// progress bar and Exit. It owns the working storage of an upload (file table, image) and hosts
// the upload sequencer, which it drives with its posted messages and timer 1.
//
// Life: construction makes the controls and the file table; the first show runs
// OnInitDialog (empty buffers, address, port, stored folder; the image and file table grow with
// the files of each build, up to the limits); ending the dialog in any way
// (Exit, Enter, Escape, close button) runs OnDestroy, which abandons an upload in progress
// without a message and frees the storage. Showing it again initialises it afresh.
//
// The handler names and signatures (OnInitDialog, DoDataExchange, OnSysCommand, OnDestroy) are
// those of the desktop program's dialog design, kept so that the two read side by side;
// OnInitDialog's constant true and OnSysCommand's unread parameter come from there too.
class MainWindow : public QDialog, public transfer::SequencerHost {
    Q_OBJECT

  public:
    // Control ids of the layout, kept as the objects' identities.
    static constexpr int kIdOk = 1;  // the Exit button
    static constexpr int kIdGroupBox = 1000;
    static constexpr int kIdAddressLabel = 1001;
    static constexpr int kIdAddress = 1002;
    static constexpr int kIdPortLabel = 1003;
    static constexpr int kIdPort = 1004;
    static constexpr int kIdFilePath = 1005;
    static constexpr int kIdWebFolder = 1006;
    static constexpr int kIdProgress = 1007;
    static constexpr int kIdStart = 1008;

    static constexpr char kTitle[] = "Vellumix";
    // The factory address of the device. Only ever displayed: nothing connects before Start.
    static constexpr char kFactoryAddress[] = "192.168.0.10";
    static constexpr int kDefaultPort = 8001;
    // The About entry of the window menu (system menu, context menu, F1).
    static constexpr unsigned kIdmAboutBox = 0x10;
    // "Upload history..." of the same menus.
    static constexpr unsigned kIdmHistory = 0x30;
    static constexpr char kHistoryMenuText[] = "Upload &history...";
    static constexpr char kAboutMenuText[] = "&About Vellumix_Net...";
    static constexpr unsigned kScClose = 0xF060;
    static constexpr char kBrowseTitle[] = "Select WEB SERVER Files";
    static constexpr char kParseIntMessage[] = "Please enter an integer.";
    // A chosen folder whose path the settings file cannot keep whole.
    static constexpr char kPathNotStoredMessage[] =
        "The folder path is longer than the settings file can keep (255 characters): it is used "
        "until the program ends, but not remembered for the next start.";
    // A chosen folder whose path holds characters the settings file's code page lacks.
    static constexpr char kPathNotStorableMessage[] =
        "The folder path holds characters that the settings file cannot keep (it is written in the "
        "ANSI code page): it is used until the program ends, but not remembered for the next "
        "start.";
    // The port field's text is read up to this many characters.
    static constexpr int kMaxPortTextLength = 31;

    explicit MainWindow(MainWindowContext context, QWidget* parent = nullptr);
    ~MainWindow() override;
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    // Moves values between the controls and the members, in the order address (attached once),
    // port, web folder, progress bar (attached once). Saving: a port text that is not a decimal
    // integer shows "Please enter an integer." and stops there (the port and the folder keep
    // their values) with false. Loading always succeeds.
    bool DoDataExchange(bool saveAndValidate);
    // First-show initialisation; returns true (focus on the address).
    bool OnInitDialog();
    // Window-menu commands: the About entry (id with its low four bits cleared equal to
    // 0x10) opens a fresh About box modally; close closes; the rest is ignored.
    void OnSysCommand(unsigned id, platform::LParam parameter);
    // File Path: choose a folder; a confirmed one becomes the web folder and is stored.
    void OnBrowse();
    // Start: runs an upload (the sequencer's Start).
    void OnStart();
    // The window is going: abandon an upload quietly, free the storage. Runs once per opening.
    void OnDestroy();

    // transfer::SequencerHost
    void ExchangeFieldsToMembers() override;
    void ResetProgress() override;
    void SetProgressPercent(float percent) override;
    int BuildWebImage() override;
    const std::uint8_t* ImageBytes() const override { return image.imageBuffer.data(); }
    std::int32_t ImageLength() const override { return image.usedLength; }
    std::unique_ptr<transfer::DeviceLink> NewDeviceLink() override;
    platform::MessageTarget& Window() override { return messageWindow; }
    std::string AddressText() override;
    int Port() override { return port; }
    void SetTimer(unsigned timerId, int periodMs) override;
    void KillTimer(unsigned timerId) override;
    void MessageBox(const std::string& text, const std::string& caption, unsigned style) override;
    std::string ApplicationName() override { return context_.applicationName; }

    // State, for the hosts' and tests' eyes.
    bool IsOpen() const { return open_; }
    const std::string& WebFolder() const { return webFolder; }
    const packer::WebFileTable* FileTable() const { return fileTable.get(); }
    const packer::WebImage& Image() const { return image; }
    const transfer::UploadSequencer& Sequencer() const { return sequencer; }
    bool IsTimerRunning(unsigned timerId) const { return messageWindow.IsTimerRunning(timerId); }
    IpAddressEdit& AddressControl() const { return *ipAddress; }
    TextProgressBar& ProgressBar() const { return *progressBar; }

  public slots:
    // The OK command: takes the fields into the members and ends the dialog, unless a field
    // is refused.
    void accept() override;
    void done(int result) override;

  public:
    void setVisible(bool visible) override;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    // Windows: the system menu's About entry arrives here as WM_SYSCOMMAND.
    bool nativeEvent(const QByteArray& eventType, void* message, qintptr* result) override;

  private:
    void CreateControls();
    void HandleMessage(unsigned message, platform::WParam wParam, platform::LParam lParam);
    void OnTimer(unsigned timerId);
    void AllocateBuffers();
    void FreeBuffers();
    // Inside a blocking connect or send: paints the whole window now, handling nothing else.
    void RepaintDuringWait();

    MainWindowContext context_;

    // Controls (owned by the dialog as their parent).
    IpAddressEdit* ipAddress = nullptr;
    QLineEdit* portEdit = nullptr;
    QPushButton* filePathButton = nullptr;
    QPushButton* startButton = nullptr;
    QPushButton* exitButton = nullptr;
    QGroupBox* groupBox = nullptr;
    QLabel* addressLabel = nullptr;
    QLabel* portLabel = nullptr;
    QPlainTextEdit* folderEdit = nullptr;
    TextProgressBar* progressBar = nullptr;
    QAction* aboutAction = nullptr;
    QAction* historyAction = nullptr;

    // Members exchanged with the fields.
    int port = kDefaultPort;
    std::string webFolder;
    QIcon icon;

    // Working storage of an upload.
    std::unique_ptr<packer::WebFileTable> fileTable;
    packer::WebImage image;

    // Records each Start's upload; before the sequencer, which may report into it as it goes.
    WindowLedger ledger_;

    // Posted messages and timer 1; then the sequencer that uses them.
    platform::MessageWindow messageWindow;
    transfer::UploadSequencer sequencer;

    bool open_ = false;  // between OnInitDialog and OnDestroy
};

}  // namespace ui
