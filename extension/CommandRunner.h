#pragma once
// Runs the system tools the camera registration needs (pkexec, v4l2loopback-ctl, modprobe,
// systemctl) without blocking the main thread. Tools are looked up on a search path of their own,
// $OSTRELA_TOOL_PATH when set (tests put stand-in scripts there), else $PATH plus /usr/sbin:/sbin
// where Debian keeps modprobe.
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

namespace ostrela {

struct CommandResult {
    bool started = false;   // false: the program could not be run at all
    bool timedOut = false;
    int exitCode = -1;      // -1 when it did not exit normally
    QString standardOutput;
    QString standardError;
};

class CommandRunner : public QObject {
    Q_OBJECT
public:
    explicit CommandRunner(QObject* parent = nullptr);

    QStringList searchPath() const { return searchPath_; }
    void setSearchPath(const QStringList& dirs) { searchPath_ = dirs; }
    // Absolute path of `name` on the search path; empty when it is not there.
    QString findProgram(const QString& name) const;

    // Runs `program` (an absolute path) with `arguments`. `onStarted` is called once the process
    // runs; `onDone` exactly once, on the main thread, and never from within this call.
    // A timeout of 0 waits as long as it takes (an authentication dialog waits for the user).
    void run(const QString& program, const QStringList& arguments, std::function<void(const CommandResult&)> onDone,
             int timeoutMs = 0, std::function<void()> onStarted = {});

private:
    QStringList searchPath_;
};

}  // namespace ostrela
