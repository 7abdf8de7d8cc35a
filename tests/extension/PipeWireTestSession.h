#pragma once
// A private desktop session for the camera's end-to-end tests: its own D-Bus, pipewire and
// wireplumber (and whatever else a test starts in it) in a runtime directory of the test, all in
// one process group that ends with the session. Nothing reaches the real home or session.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QTest>

#include <csignal>
#include <memory>
#include <vector>

#include <unistd.h>

namespace ostrela::test {

class PipeWireTestSession {
public:
    // `dir` is the session's runtime directory, owned by the test.
    explicit PipeWireTestSession(const QString& dir) : dir_(dir) {
        env_ = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "PIPEWIRE_REMOTE",
                                 "PULSE_SERVER", "SESSION_MANAGER", "XDG_CURRENT_DESKTOP"})
            env_.remove(name);
        for (const char* name : {"XDG_RUNTIME_DIR", "PIPEWIRE_RUNTIME_DIR"}) env_.insert(name, dir);
        for (const char* sub : {"config", "state", "data", "cache", "home", "dbus-services"})
            QDir(dir).mkpath(sub);
        env_.insert("XDG_CONFIG_HOME", dir + "/config");
        env_.insert("XDG_STATE_HOME", dir + "/state");
        env_.insert("XDG_DATA_HOME", dir + "/data");
        env_.insert("XDG_CACHE_HOME", dir + "/cache");
        env_.insert("HOME", dir + "/home");
        env_.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir + "/bus");
        env_.insert("NO_AT_BRIDGE", "1");  // no accessibility bus for GTK services
    }
    ~PipeWireTestSession() {
        if (group_ > 0) {
            ::kill(-group_, SIGTERM);
            if (!QTest::qWaitFor([&] { return ::kill(-group_, 0) != 0; }, 5000)) ::kill(-group_, SIGKILL);
            (void)QTest::qWaitFor([&] { return ::kill(-group_, 0) != 0; }, 2000);
        }
        for (auto& p : processes_) p->waitForFinished(2000);
    }
    PipeWireTestSession(const PipeWireTestSession&) = delete;
    PipeWireTestSession& operator=(const PipeWireTestSession&) = delete;

    // Set before start(): services started by D-Bus inherit the bus's environment.
    void setEnv(const QString& name, const QString& value) { env_.insert(name, value); }
    const QProcessEnvironment& env() const { return env_; }
    QString dir() const { return dir_; }
    // Lets D-Bus start this service of the system's (its file in /usr/share/dbus-1/services).
    bool allowService(const QString& name) {
        const QString file = name + ".service";
        return QFile::copy("/usr/share/dbus-1/services/" + file, dir_ + "/dbus-services/" + file);
    }

    // D-Bus, then pipewire, then wireplumber.
    bool start(QString* why) {
        QFile config(dir_ + "/session.conf");
        if (!config.open(QIODevice::WriteOnly)) return fail(why, "cannot write the bus configuration");
        config.write(QStringLiteral(
                         "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                         " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                         "<busconfig><type>session</type><listen>unix:path=%1/bus</listen>\n"
                         "<servicedir>%1/dbus-services</servicedir>\n"
                         "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                         "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n")
                         .arg(dir_)
                         .toUtf8());
        config.close();
        spawn("dbus-daemon", {"--nofork", "--config-file=" + dir_ + "/session.conf"});
        if (!QTest::qWaitFor([&] { return QFileInfo::exists(dir_ + "/bus"); }, 10000))
            return fail(why, "dbus-daemon did not start");
        if (!startPipeWire()) return fail(why, "pipewire did not start: " + output(pipewire_));
        startWirePlumber();
        return true;
    }
    bool startPipeWire() {
        pipewire_ = spawn("pipewire", {});
        // A socket left by a killed daemon is replaced; wait until this one answers.
        return QTest::qWaitFor([&] { return answers(); }, 10000);
    }
    void startWirePlumber() { wireplumber_ = spawn("wireplumber", {}); }
    // SIGKILL: a crash; SIGTERM: a stop.
    void stop(QProcess* p, int signal) {
        if (!p || p->state() == QProcess::NotRunning) return;
        ::kill(pid_t(p->processId()), signal);
        p->waitForFinished(5000);
    }
    QProcess* pipewire() const { return pipewire_; }
    QProcess* wireplumber() const { return wireplumber_; }

    // Starts a program in the session's process group, with the session's environment plus `extra`.
    QProcess* spawn(const QString& program, const QStringList& args,
                    const QProcessEnvironment& extra = QProcessEnvironment()) {
        auto p = std::make_unique<QProcess>();
        QProcessEnvironment env = env_;
        for (const QString& key : extra.keys()) env.insert(key, extra.value(key));
        p->setProcessEnvironment(env);
        p->setProcessChannelMode(QProcess::MergedChannels);
        const pid_t group = group_;
        // A group of our own in the test's session (a group can only be joined within its session).
        p->setChildProcessModifier([group] { ::setpgid(0, group > 0 ? group : 0); });
        p->start(program, args);
        p->waitForStarted(5000);
        if (group_ <= 0 && p->processId() > 0) group_ = pid_t(p->processId());
        processes_.push_back(std::move(p));
        return processes_.back().get();
    }
    static QString output(QProcess* p) { return p ? QString::fromLocal8Bit(p->readAll()) : QString(); }

    // True when the daemon takes a client.
    bool answers() {
        QProcess probe;
        probe.setProcessEnvironment(env_);
        probe.start("pw-cli", {"info", "0"});
        return probe.waitForFinished(5000) && probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0 &&
               probe.readAllStandardOutput().contains("id: 0");
    }
    // What pw-dump says about the node `name`; empty when there is none.
    QJsonObject node(const QString& name) {
        QProcess dump;
        dump.setProcessEnvironment(env_);
        dump.start("pw-dump", {});
        if (!dump.waitForFinished(10000)) return {};
        for (const QJsonValue& v : QJsonDocument::fromJson(dump.readAllStandardOutput()).array()) {
            const QJsonObject o = v.toObject();
            if (o.value("type").toString() != "PipeWire:Interface:Node") continue;
            const QJsonObject info = o.value("info").toObject();
            if (info.value("props").toObject().value("node.name").toString() == name) {
                QJsonObject result = info;
                result.insert("id", o.value("id"));
                return result;
            }
        }
        return {};
    }

    // The programs a test needs; the first one missing, or empty.
    static QString missing(const QStringList& programs) {
        for (const QString& p : programs)
            if (QStandardPaths::findExecutable(p).isEmpty() &&
                QStandardPaths::findExecutable(p, {"/usr/libexec", "/usr/sbin", "/sbin"}).isEmpty())
                return p;
        return {};
    }
    // Skipping is for machines without the tools; CI installs them, so there it is a failure.
    static bool mustNotSkip() { return qgetenv("CI") == "true"; }

private:
    static bool fail(QString* why, const QString& text) {
        if (why) *why = text;
        return false;
    }

    QString dir_;
    QProcessEnvironment env_;
    pid_t group_ = 0;
    std::vector<std::unique_ptr<QProcess>> processes_;
    QProcess* pipewire_ = nullptr;
    QProcess* wireplumber_ = nullptr;
};

}  // namespace ostrela::test
