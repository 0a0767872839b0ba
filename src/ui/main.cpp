// The desktop program: the application object runs the main window modally, and the program
// ends when that window closes.
#include <QApplication>
#include <exception>
#include <iostream>
#include <span>
#include <string>

#include "app/upload_app.h"
#include "platform/system_ui.h"
#include "transfer/upload_sequencer.h"
#include "ui/desktop_options.h"
#include "ui/folder_chooser.h"
#include "ui/main_window.h"
#include "ui/qt_message_box.h"

namespace {

// Settings values that were replaced by their defaults, as one box before the window opens.
void ShowLimitWarnings(const app::UploadApp& uploadApp, platform::MessageBoxSink& messages) {
    if (uploadApp.limitWarnings.empty()) {
        return;
    }
    std::string text;
    for (const std::string& warning : uploadApp.limitWarnings) {
        if (!text.empty()) {
            text += '\n';
        }
        text += warning;
    }
    messages.MessageBox(text, uploadApp.ApplicationName(), platform::kMbIconExclamation);
}

int Run(int argc, char** argv) {
    QApplication application(argc, argv);

    app::UploadApp uploadApp;
    ui::QtMessageBox messages;
    messages.UseSystemBoxes(true);
    uploadApp.InitInstance(messages, [&messages](app::UploadApp& started) {
        ShowLimitWarnings(started, messages);

        ui::DialogFolderChooser folderChooser;
        transfer::SystemClock clock;
        ui::MainWindow window(ui::MainWindowContext{
            .limits = started.Limits(),
            .webPathStore = started,
            .logPipe = &started.logPipe,
            .messages = messages,
            .folderChooser = folderChooser,
            .applicationName = started.ApplicationName(),
            .clock = clock,
            .newDeviceLink = {},
        });
        messages.SetOwner(&window);
        window.exec();
        messages.SetOwner(nullptr);
    });
    return uploadApp.ExitInstance();
}

}  // namespace

int main(int argc, char** argv) {
    // --help and --version answer before Qt looks for a display, in the console the program
    // was started from.
    if (argc > 1) {
        platform::UseParentConsoleForOutput();
    }
    if (const auto answered = ui::AnswerInformationOption(
            std::span<char* const>(argv, static_cast<std::size_t>(argc)), std::cout)) {
        return *answered;
    }
    // Last resort: whatever escapes the program is reported and ends it with status 1, never
    // with an abort.
    std::string what;
    try {
        return Run(argc, argv);
    } catch (const std::exception& error) {
        what = error.what();
    } catch (...) {
        what = "unknown exception";
    }
    std::cerr << "vellumix: internal error: " << what << std::endl;
    return 1;
}
