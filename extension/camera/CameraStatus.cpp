#include "extension/camera/CameraStatus.h"

#include "pipeline/FrameBuffer.h"
#include "pipeline/Paths.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <cerrno>
#include <csignal>
#include <unistd.h>

namespace ostrela::camera {
namespace {

QString statusPath(const std::string& dir) { return QString::fromStdString(dir + "/" + kCameraStatusFileName); }

}  // namespace

bool writeCameraStatus(CameraOutputStatus status) {
    const std::string dir = containerDirectory();
    if (dir.empty()) return false;
    status.pid = int64_t(::getpid());
    status.updated = wallClockSeconds();
    QJsonObject o{{QStringLiteral("route"), QString::fromStdString(status.route)},
                  {QStringLiteral("device"), QString::fromStdString(status.device)},
                  {QStringLiteral("reachable"), status.reachable},
                  {QStringLiteral("message"), QString::fromStdString(status.message)},
                  {QStringLiteral("pid"), double(status.pid)},
                  {QStringLiteral("updated"), status.updated}};
    QSaveFile file(statusPath(dir));
    if (!file.open(QIODevice::WriteOnly)) return false;
    file.write(QJsonDocument(o).toJson(QJsonDocument::Compact));
    return file.commit();
}

std::optional<CameraOutputStatus> readCameraStatus() {
    const std::string dir = containerDirectoryPath();
    if (dir.empty()) return std::nullopt;
    QFile file(statusPath(dir));
    if (!file.open(QIODevice::ReadOnly) || file.size() > 64 * 1024) return std::nullopt;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll());
    if (!doc.isObject()) return std::nullopt;
    const QJsonObject o = doc.object();
    if (!o.value(QStringLiteral("route")).isString() || !o.value(QStringLiteral("pid")).isDouble()) return std::nullopt;
    CameraOutputStatus s;
    s.route = o.value(QStringLiteral("route")).toString().toStdString();
    s.device = o.value(QStringLiteral("device")).toString().toStdString();
    s.reachable = o.value(QStringLiteral("reachable")).toBool();
    s.message = o.value(QStringLiteral("message")).toString().toStdString();
    s.pid = int64_t(o.value(QStringLiteral("pid")).toDouble());
    s.updated = o.value(QStringLiteral("updated")).toDouble();
    return s;
}

void removeCameraStatus() {
    const std::string dir = containerDirectoryPath();
    if (!dir.empty()) QFile::remove(statusPath(dir));
}

bool cameraStatusIsLive(const CameraOutputStatus& status) {
    if (status.pid <= 0) return false;
    // EPERM: alive, only owned by someone else.
    return ::kill(pid_t(status.pid), 0) == 0 || errno == EPERM;
}

}  // namespace ostrela::camera
