#include "ui/main_window.h"

#include <QAction>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <optional>

#include "app/upload_app.h"
#include "net/device_socket.h"
#include "platform/system_ui.h"
#include "ui/about_box.h"
#include "ui/app_icon.h"
#include "ui/dialog_units.h"
#include "ui/folder_chooser.h"
#include "ui/history_dialog.h"
#include "ui/ip_address_edit.h"
#include "ui/text_progress_bar.h"

namespace ui {

namespace {

// The layout in dialog units (x, y, width, height), in creation order.
constexpr DialogRect kWindowRect{0, 0, 320, 156};
constexpr DialogRect kAddressRect{70, 20, 100, 15};
constexpr DialogRect kPortRect{215, 20, 40, 14};
constexpr DialogRect kFilePathRect{5, 60, 50, 14};
constexpr DialogRect kStartRect{105, 115, 80, 35};
constexpr DialogRect kExitRect{245, 130, 50, 14};
constexpr DialogRect kGroupBoxRect{5, 5, 295, 40};
constexpr DialogRect kAddressLabelRect{15, 25, 41, 8};
constexpr DialogRect kPortLabelRect{185, 25, 17, 8};
constexpr DialogRect kWebFolderRect{65, 50, 235, 30};
constexpr DialogRect kProgressRect{5, 90, 295, 14};

constexpr unsigned kCommandMask = 0xFFF0;
constexpr int kProgressRangeUpper = 100;
const char* const kControlIdProperty = "controlId";

// A decimal integer with optional surrounding blanks and sign, as the port field holds it.
// Nothing else is accepted, nor a value outside int.
std::optional<int> ParseDecimalInt(const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(begin, &end, 10);
    if (end == begin || errno == ERANGE || value < std::numeric_limits<int>::min() ||
        value > std::numeric_limits<int>::max()) {
        return std::nullopt;
    }
    for (; *end != '\0'; ++end) {
        if (*end != ' ' && *end != '\t') {
            return std::nullopt;
        }
    }
    return static_cast<int>(value);
}

template <typename Widget>
Widget* Tag(Widget* widget, const char* objectName, int controlId) {
    widget->setObjectName(QString::fromLatin1(objectName));
    widget->setProperty(kControlIdProperty, controlId);
    return widget;
}

}  // namespace

MainWindow::MainWindow(MainWindowContext context, QWidget* parent)
    : QDialog(parent),
      context_(std::move(context)),
      ledger_(context_.logPipe),
      sequencer(*this, context_.clock) {
    setObjectName(QStringLiteral("mainWindow"));
    CreateControls();

    port = kDefaultPort;
    webFolder.clear();
    icon = AppIcon();

    // The table holds 2 x N slots: the scan may find more files than the image can take.
    fileTable = std::make_unique<packer::WebFileTable>(context_.limits.maxFileCount);

    messageWindow.SetMessageHandler(
        [this](unsigned message, platform::WParam wParam, platform::LParam lParam) {
            HandleMessage(message, wParam, lParam);
        });
    messageWindow.SetTimerHandler([this](unsigned timerId) { OnTimer(timerId); });
}

MainWindow::~MainWindow() {
    OnDestroy();
}

void MainWindow::CreateControls() {
    setWindowTitle(QString::fromLatin1(kTitle));
    // A top-level window with a title, a window menu and a close button; no minimise or
    // maximise box, no help button.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFont(DialogTemplateFont());
    const DialogUnits units(font());

    // Creation order is the tab order: address, File Path, Start, Exit, folder.
    ipAddress = Tag(new IpAddressEdit(this), "ipAddress", kIdAddress);
    ipAddress->setGeometry(units.ToPixels(kAddressRect));

    portEdit = Tag(new QLineEdit(this), "portEdit", kIdPort);
    portEdit->setGeometry(units.ToPixels(kPortRect));
    portEdit->setEnabled(false);

    filePathButton =
        Tag(new QPushButton(QStringLiteral("File Path"), this), "filePathButton", kIdFilePath);
    filePathButton->setGeometry(units.ToPixels(kFilePathRect));

    startButton = Tag(new QPushButton(QStringLiteral("Start"), this), "startButton", kIdStart);
    startButton->setGeometry(units.ToPixels(kStartRect));

    exitButton = Tag(new QPushButton(QStringLiteral("Exit"), this), "exitButton", kIdOk);
    exitButton->setGeometry(units.ToPixels(kExitRect));
    exitButton->setDefault(true);

    // The frame and the labels only decorate: they sit below the fields and take no clicks.
    groupBox =
        Tag(new QGroupBox(QStringLiteral("Network parameters"), this), "networkGroup", kIdGroupBox);
    groupBox->setGeometry(units.ToPixels(kGroupBoxRect));
    groupBox->setAttribute(Qt::WA_TransparentForMouseEvents);
    groupBox->lower();

    addressLabel =
        Tag(new QLabel(QStringLiteral("IP Address"), this), "addressLabel", kIdAddressLabel);
    addressLabel->setGeometry(units.ToPixels(kAddressLabelRect));
    portLabel = Tag(new QLabel(QStringLiteral("Port"), this), "portLabel", kIdPortLabel);
    portLabel->setGeometry(units.ToPixels(kPortLabelRect));
    for (QLabel* label : {addressLabel, portLabel}) {
        label->setTextFormat(Qt::PlainText);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        label->setAttribute(Qt::WA_TransparentForMouseEvents);
    }

    // Multi-line, scrolled sideways rather than wrapped, with a vertical scroll bar. Tab leaves
    // it and Enter goes to the dialog, as in any other field.
    folderEdit = Tag(new QPlainTextEdit(this), "webFolderEdit", kIdWebFolder);
    folderEdit->setGeometry(units.ToPixels(kWebFolderRect));
    folderEdit->setLineWrapMode(QPlainTextEdit::NoWrap);
    folderEdit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    folderEdit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    folderEdit->setTabChangesFocus(true);
    folderEdit->installEventFilter(this);

    progressBar = Tag(new TextProgressBar(this), "progressBar", kIdProgress);
    progressBar->setGeometry(units.ToPixels(kProgressRect));

    QWidget::setTabOrder(ipAddress, filePathButton);
    QWidget::setTabOrder(filePathButton, startButton);
    QWidget::setTabOrder(startButton, exitButton);
    QWidget::setTabOrder(exitButton, folderEdit);

    connect(filePathButton, &QPushButton::clicked, this, [this] { OnBrowse(); });
    connect(startButton, &QPushButton::clicked, this, [this] { OnStart(); });
    connect(exitButton, &QPushButton::clicked, this, &MainWindow::accept);

    // Window managers here give no window menu of the application's own, so the About entry
    // lives in the window's context menu and on F1.
    aboutAction = new QAction(QString::fromLatin1(kAboutMenuText), this);
    aboutAction->setObjectName(QStringLiteral("aboutAction"));
    aboutAction->setShortcut(QKeySequence(Qt::Key_F1));
    aboutAction->setShortcutContext(Qt::WindowShortcut);
    connect(aboutAction, &QAction::triggered, this, [this] { OnSysCommand(kIdmAboutBox, 0); });
    historyAction = new QAction(QString::fromLatin1(kHistoryMenuText), this);
    historyAction->setObjectName(QStringLiteral("historyAction"));
    connect(historyAction, &QAction::triggered, this, [this] { OnSysCommand(kIdmHistory, 0); });

    setFixedSize(units.ToPixels(kWindowRect.width, kWindowRect.height));
}

bool MainWindow::DoDataExchange(bool saveAndValidate) {
    // 1002: the address control is bound as it is; its text is read when needed.

    // 1004: the port as a decimal integer.
    if (saveAndValidate) {
        const std::string text = portEdit->text().left(kMaxPortTextLength).toStdString();
        const std::optional<int> value = ParseDecimalInt(text);
        if (!value) {
            context_.messages.MessageBox(kParseIntMessage, context_.applicationName,
                                         platform::kMbIconExclamation);
            portEdit->setFocus();
            return false;
        }
        port = *value;
    } else {
        portEdit->setText(QString::number(port));
    }

    // 1006: the web folder as text.
    if (saveAndValidate) {
        webFolder = folderEdit->toPlainText().toStdString();
    } else {
        folderEdit->setPlainText(QString::fromStdString(webFolder));
    }

    // 1007: the progress bar gets its window once.
    if (!progressBar->HasWindow()) {
        progressBar->Attach();
    }
    return true;
}

bool MainWindow::OnInitDialog() {
    DoDataExchange(false);

    if (!QString::fromLatin1(kAboutMenuText).isEmpty()) {
        addAction(aboutAction);
        addAction(historyAction);
        setContextMenuPolicy(Qt::ActionsContextMenu);
        // Where windows have a system menu, the entry goes there too, after a separator.
        if (platform::HasSystemMenu()) {
            platform::AppendToSystemMenu(static_cast<platform::NativeWindow>(winId()), kIdmAboutBox,
                                         kAboutMenuText);
            platform::AppendToSystemMenu(static_cast<platform::NativeWindow>(winId()), kIdmHistory,
                                         kHistoryMenuText);
        }
    }

    setWindowIcon(icon);

    progressBar->SetRange(0, kProgressRangeUpper);
    progressBar->SetPos(std::int32_t{0});

    ipAddress->setText(kFactoryAddress);

    AllocateBuffers();

    webFolder = context_.webPathStore.LoadWebPath();
    app::lastFolder = webFolder;

    DoDataExchange(false);

    open_ = true;
    ipAddress->setFocus(Qt::OtherFocusReason);
    return true;
}

void MainWindow::AllocateBuffers() {
    // The image buffer and the file table grow with the files of each build (up to the
    // capacity and the slot count), so nothing is taken up front for large limits.
    FreeBuffers();
    if (!fileTable) {
        fileTable = std::make_unique<packer::WebFileTable>(context_.limits.maxFileCount);
    }
}

void MainWindow::FreeBuffers() {
    std::vector<std::uint8_t>().swap(image.imageBuffer);
    image.usedLength = 0;
}

void MainWindow::OnSysCommand(unsigned id, platform::LParam /*parameter*/) {
    switch (id & kCommandMask) {
        case kIdmAboutBox: {
            AboutBox about(this);
            about.exec();
            break;
        }
        case kIdmHistory: {
            HistoryDialog history(AddressText(), this);
            history.exec();
            break;
        }
        case kScClose:
            close();
            break;
        default:
            break;
    }
}

bool MainWindow::nativeEvent(const QByteArray& eventType, void* message, qintptr* result) {
    const auto command = platform::SystemCommandOf(eventType.constData(), message);
    if (command && ((command->id & kCommandMask) == kIdmAboutBox ||
                    (command->id & kCommandMask) == kIdmHistory)) {
        OnSysCommand(command->id, command->parameter);
        *result = 0;
        return true;
    }
    return QDialog::nativeEvent(eventType, message, result);
}

void MainWindow::OnBrowse() {
    DoDataExchange(true);
    const std::optional<std::string> chosen =
        context_.folderChooser.ChooseFolder(this, kBrowseTitle, app::lastFolder);
    if (!chosen || chosen->empty()) {
        return;
    }
    app::lastFolder = *chosen;
    webFolder = app::lastFolder;
    const bool storable = context_.webPathStore.HasStoredForm(webFolder);
    const bool kept = storable && context_.webPathStore.KeepsWholePath(webFolder);
    if (kept) {
        context_.webPathStore.SaveWebPath(webFolder);
    }
    DoDataExchange(false);
    if (!kept) {
        // Stored, it would come back cut or changed at the next start: a different folder.
        context_.messages.MessageBox(storable ? kPathNotStoredMessage : kPathNotStorableMessage,
                                     packer::kErrorCaption, platform::kMbIconHand);
    }
}

void MainWindow::OnStart() {
    sequencer.OnStart();
}

void MainWindow::OnDestroy() {
    if (!open_) {
        return;
    }
    open_ = false;
    // The timer and any message still queued end with the window: no tick, no result box.
    sequencer.OnDestroy();
    ledger_.Interrupted();
    messageWindow.KillTimer(transfer::kUploadTimerId);
    FreeBuffers();
    fileTable.reset();
}

void MainWindow::accept() {
    if (DoDataExchange(true)) {
        QDialog::accept();
    }
}

void MainWindow::done(int result) {
    QDialog::done(result);
    OnDestroy();
}

void MainWindow::setVisible(bool visible) {
    if (visible && !open_) {
        OnInitDialog();
    }
    QDialog::setVisible(visible);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    // Enter in the multi-line folder field is the dialog's Enter (Exit), as in the other
    // fields; Ctrl+Enter still starts a new line.
    if (watched == folderEdit && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const bool isEnter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
        if (isEnter && !(key->modifiers() & Qt::ControlModifier)) {
            exitButton->click();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void MainWindow::HandleMessage(unsigned message, platform::WParam wParam, platform::LParam lParam) {
    if (!open_) {
        return;  // messages to a closed window are dropped
    }
    sequencer.HandleMessage(message, wParam, lParam);
}

void MainWindow::OnTimer(unsigned timerId) {
    if (!open_) {
        return;
    }
    sequencer.OnTimer(timerId);
}

void MainWindow::ExchangeFieldsToMembers() {
    DoDataExchange(true);
}

void MainWindow::ResetProgress() {
    progressBar->SetPos(std::int32_t{0});
    progressBar->update();
}

void MainWindow::SetProgressPercent(float percent) {
    progressBar->SetPos(percent);
    // The text changes even when the bar's width does not.
    progressBar->update();
    ledger_.Progress(percent);
}

int MainWindow::BuildWebImage() {
    if (!fileTable) {
        return 0;
    }
    const int built =
        packer::BuildWebImage(webFolder, context_.limits, *fileTable, image, context_.messages);
    if (built != 0) {
        ledger_.Started(AddressText(), Port(), image, webFolder);
    }
    return built;
}

std::unique_ptr<transfer::DeviceLink> MainWindow::NewDeviceLink() {
    std::unique_ptr<transfer::DeviceLink> link =
        context_.newDeviceLink ? context_.newDeviceLink()
                               : std::make_unique<net::DeviceSocket>(context_.logPipe);
    // A connect may wait 21 s: the window is painted meanwhile, while its timer, input and
    // posted messages wait for the call to return.
    link->SetWaitHook([this] { RepaintDuringWait(); });
    return link;
}

void MainWindow::RepaintDuringWait() {
    if (isVisible()) {
        repaint();  // paints synchronously; the event loop does not run
    }
}

std::string MainWindow::AddressText() {
    return ipAddress->text();
}

void MainWindow::SetTimer(unsigned timerId, int periodMs) {
    messageWindow.SetTimer(timerId, periodMs);
}

void MainWindow::KillTimer(unsigned timerId) {
    messageWindow.KillTimer(timerId);
}

void MainWindow::MessageBox(const std::string& text, const std::string& caption, unsigned style) {
    ledger_.Ended(text);  // before the box, which waits for the user
    context_.messages.MessageBox(text, caption, style);
}

}  // namespace ui
