#include "extension/CommandRunner.h"

#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QTimer>

#include <memory>

namespace ostrela {

CommandRunner::CommandRunner(QObject* parent) : QObject(parent) {
    if (qEnvironmentVariableIsSet("OSTRELA_TOOL_PATH")) {
        searchPath_ = qEnvironmentVariable("OSTRELA_TOOL_PATH").split(QLatin1Char(':'), Qt::SkipEmptyParts);
    } else {
        searchPath_ = qEnvironmentVariable("PATH").split(QLatin1Char(':'), Qt::SkipEmptyParts);
        for (const char* dir : {"/usr/sbin", "/sbin"})
            if (!searchPath_.contains(QLatin1String(dir))) searchPath_.append(QLatin1String(dir));
    }
}

QString CommandRunner::findProgram(const QString& name) const {
    for (const QString& dir : searchPath_) {
        QFileInfo info(dir + QLatin1Char('/') + name);
        if (info.isFile() && info.isExecutable()) return info.absoluteFilePath();
    }
    return {};
}

void CommandRunner::run(const QString& program, const QStringList& arguments,
                        std::function<void(const CommandResult&)> onDone, int timeoutMs,
                        std::function<void()> onStarted) {
    auto* process = new QProcess(this);
    process->setProgram(program);
    process->setArguments(arguments);
    process->setStandardInputFile(QProcess::nullDevice());
    // Messages we show come from the tools; keep them in one language.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_MESSAGES"), QStringLiteral("C"));
    env.insert(QStringLiteral("SYSTEMD_PAGER"), QString());
    process->setProcessEnvironment(env);

    auto done = std::make_shared<bool>(false);
    auto finish = [process, done, onDone](CommandResult result) {
        if (*done) return;
        *done = true;
        result.standardOutput = QString::fromLocal8Bit(process->readAllStandardOutput());
        result.standardError = QString::fromLocal8Bit(process->readAllStandardError());
        process->deleteLater();
        onDone(result);
    };
    connect(process, &QProcess::started, process, [onStarted] {
        if (onStarted) onStarted();
    });
    connect(process, &QProcess::finished, process, [process, finish](int code, QProcess::ExitStatus status) {
        CommandResult r;
        r.started = true;
        r.exitCode = status == QProcess::NormalExit ? code : -1;
        finish(r);
    });
    connect(process, &QProcess::errorOccurred, process, [process, finish](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart) return;  // crashes and timeouts also end in finished()
        CommandResult r;
        r.standardError = process->errorString();
        finish(r);
    });
    if (timeoutMs > 0) {
        auto* timer = new QTimer(process);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, process, [process, finish] {
            CommandResult r;
            r.started = true;
            r.timedOut = true;
            process->kill();
            finish(r);
        });
        timer->start(timeoutMs);
    }
    // Start from the event loop, so a program that cannot start still reports after this call.
    QTimer::singleShot(0, process, [process] { process->start(); });
}

}  // namespace ostrela
