// The child-process helpers of test_support.h, on QProcess for both systems.
#include <chrono>
#include <csignal>
#include <memory>
#include <thread>

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include "support/test_support.h"

namespace testing_support {

namespace {

// Bound on waiting for a child that was just killed.
constexpr int kReapMs = 10000;

// Arguments reach the child as text: bytes that are no text in the system's 8-bit encoding (a
// name that is not UTF-8 on Linux) would be replaced on the way. Such a command line goes to
// the shell instead, which rebuilds every argument byte for byte from octal escapes.
std::vector<std::string> ByteExact(const std::vector<std::string>& argv) {
    bool lossless = true;
    for (const std::string& argument : argv) {
        const QByteArray bytes = QByteArray::fromStdString(argument);
        lossless = lossless && QString::fromLocal8Bit(bytes).toLocal8Bit() == bytes;
    }
    if (lossless) {
        return argv;
    }
    std::string script = "set --;";
    for (const std::string& argument : argv) {
        std::string octal;
        for (const unsigned char byte : argument) {
            octal += '\\';
            octal += static_cast<char>('0' + (byte >> 6));
            octal += static_cast<char>('0' + ((byte >> 3) & 7));
            octal += static_cast<char>('0' + (byte & 7));
        }
        script += " a=$(printf '" + octal + "x'); set -- \"$@\" \"${a%x}\";";
    }
    return {"/bin/sh", "-c", script + " exec \"$@\""};
}

std::unique_ptr<QProcess> Prepared(const std::vector<std::string>& givenArgv,
                                   const std::map<std::string, std::string>& env) {
    const std::vector<std::string> argv = ByteExact(givenArgv);
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const auto& [name, value] : env) {
        environment.insert(QString::fromLocal8Bit(name), QString::fromLocal8Bit(value));
    }
    process->setProcessEnvironment(environment);
    process->setProgram(argv.empty() ? QString() : QString::fromLocal8Bit(argv.front()));
    QStringList arguments;
    for (std::size_t i = 1; i < argv.size(); ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    process->setArguments(arguments);
    return process;
}

// The child's exit code; -1 when a signal or a kill ended it.
int ExitCodeOf(const QProcess& process) {
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& input,
                         const std::map<std::string, std::string>& env, int timeoutMs) {
    ProcessResult result;
    const auto process = Prepared(argv, env);
    process->start();
    if (!process->waitForStarted(timeoutMs)) {
        return result;
    }
    process->write(input.data(), static_cast<qint64>(input.size()));
    process->closeWriteChannel();
    const bool finished = process->waitForFinished(timeoutMs);
    if (!finished) {
        process->kill();
        process->waitForFinished(kReapMs);
    }
    result.out = process->readAllStandardOutput().toStdString();
    result.err = process->readAllStandardError().toStdString();
    if (finished) {
        result.exitCode = ExitCodeOf(*process);
    }
    return result;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv,
                                     const std::map<std::string, std::string>& env)
    : outputFile_(dir_.path() / "output.txt"), process_(Prepared(argv, env)) {
    process_->setProcessChannelMode(QProcess::MergedChannels);
    process_->setStandardOutputFile(QString::fromStdString(outputFile_.string()));
    process_->setStandardInputFile(QProcess::nullDevice());
    process_->start();
    process_->waitForStarted(kReapMs);
}

BackgroundProcess::~BackgroundProcess() {
    if (process_->state() != QProcess::NotRunning) {
        process_->kill();
        process_->waitForFinished(kReapMs);
    }
}

std::string BackgroundProcess::Output() const {
    return ReadFile(outputFile_);
}

bool BackgroundProcess::WaitForOutput(const std::string& text, int timeoutMs) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (Output().find(text) != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return Output().find(text) != std::string::npos;
}

int BackgroundProcess::WaitForExit(int timeoutMs) {
    if (process_->state() != QProcess::NotRunning && !process_->waitForFinished(timeoutMs)) {
        return -1;
    }
    return ExitCodeOf(*process_);
}

// Signals are POSIX's; Windows has none to send to a program.
#ifndef _WIN32
void BackgroundProcess::Signal(int number) const {
    if (process_->state() == QProcess::Running) {
        ::kill(static_cast<pid_t>(process_->processId()), number);
    }
}
#endif

}  // namespace testing_support
