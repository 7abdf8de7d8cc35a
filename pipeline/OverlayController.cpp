#include "pipeline/OverlayController.h"

#include "pipeline/Paths.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>
#include <QSaveFile>

#include <cmath>

namespace ostrela {

namespace {
// Decodes with the file's orientation applied, so a phone photo stands upright.
QImage decode(const QByteArray& bytes) {
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setAutoTransform(true);
    return reader.read();
}
}  // namespace

QString OverlayController::overlayFilePath() {
    std::string dir = containerDirectory();
    return dir.empty() ? QString() : QString::fromStdString(dir) + QStringLiteral("/overlay.png");
}

OverlayController::OverlayController(QObject* parent)
    : QObject(parent), placement_(settings::overlayPlacement()), widthFraction_(settings::overlayWidthFraction()) {
    const QString path = overlayFilePath();
    QFile file(path);
    if (!path.isEmpty() && file.open(QIODevice::ReadOnly)) {
        // Decoded as the engine decodes it, so the window shows what the camera shows.
        QImage img = decode(file.readAll());
        if (!img.isNull()) overlayImage_ = img;
    }
}

void OverlayController::setOverlayImage(const QImage& image) {
    if (image.isNull() && overlayImage_.isNull()) return;
    overlayImage_ = image;
    emit overlayImageChanged();
}

void OverlayController::setPlacement(OverlayPlacement placement) {
    settings::setOverlayPlacement(placement);
    if (placement_ == placement) return;
    placement_ = placement;
    emit placementChanged();
}

void OverlayController::setWidthFraction(double fraction) {
    if (widthFraction_ == fraction) return;
    widthFraction_ = fraction;
    emit widthFractionChanged();
}

void OverlayController::persistWidthFraction() { settings::setOverlayWidthFraction(widthFraction_); }

void OverlayController::setLastError(const QString& error) {
    if (lastError_ == error && lastError_.isNull() == error.isNull()) return;
    lastError_ = error;
    emit lastErrorChanged();
}

void OverlayController::setFullScreen(bool on) {
    settings::setIsOverlayFullScreen(on);
    if (isFullScreen_ == on) return;
    isFullScreen_ = on;
    emit isFullScreenChanged();
}


bool OverlayController::setImage(const QString& path) {
    const QString name = QFileInfo(path).fileName();
    QFile file(path);
    // Only regular files: a directory opens on Linux but has no bytes, a pipe would block.
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) {
        setLastError(QStringLiteral("Could not read ") + name);
        return false;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        setLastError(QStringLiteral("Could not read ") + name);
        return false;
    }
    const QString unreadable = name + QStringLiteral(" isn't a readable image");

    QByteArray png;
    if (QFileInfo(path).suffix().toLower() == QLatin1String("png")) {
        png = bytes;
    } else {
        QImage img = decode(bytes);
        if (img.isNull()) {
            setLastError(unreadable);
            return false;
        }
        QBuffer out(&png);
        out.open(QIODevice::WriteOnly);
        QImageWriter writer(&out, "png");
        if (!writer.write(img)) {
            setLastError(unreadable);
            return false;
        }
    }
    QImage decoded = decode(png);
    if (decoded.isNull()) {
        setLastError(unreadable);
        return false;
    }
    if (auto err = writeOverlayFile(png)) {
        setLastError(err->description);
        return false;
    }
    setOverlayImage(decoded);
    setLastError(QString());
    return true;
}

std::optional<OverlayStoreError> OverlayController::writeOverlayFile(const QByteArray& png) {
    const QString path = overlayFilePath();
    if (path.isEmpty()) return OverlayStoreError{QStringLiteral("OverlayStore"), 1, QStringLiteral("App group container is unavailable")};
    QSaveFile file(path);  // temporary file, then rename: the engine never sees half a picture
    if (!file.open(QIODevice::WriteOnly)) return OverlayStoreError{QStringLiteral("QFileDevice"), int(file.error()), file.errorString()};
    if (file.write(png) != png.size() || !file.commit())
        return OverlayStoreError{QStringLiteral("QFileDevice"), int(file.error()), file.errorString()};
    return std::nullopt;
}

void OverlayController::removeOverlayFile() {
    const QString path = overlayFilePath();
    if (!path.isEmpty()) QFile::remove(path);
}

void OverlayController::toggleFullScreen(double maxFraction) {
    if (!isFullScreen_) {
        savedWidthFraction_ = widthFraction_;
        setWidthFraction(maxFraction);
        persistWidthFraction();
        setFullScreen(true);
    } else {
        if (savedWidthFraction_) setWidthFraction(*savedWidthFraction_);
        persistWidthFraction();
        savedWidthFraction_.reset();
        setFullScreen(false);
    }
}

double OverlayController::fullScreenFraction() const {
    if (overlayImage_.isNull() || overlayImage_.width() <= 0 || overlayImage_.height() <= 0) return widthFraction_;
    double available = 672.0;
    if (settings::lowerThirdEnabled()) available = settings::lowerThirdGoogleMeetSafeArea() ? 553.2 : 589.2;
    double f = available / (double(overlayImage_.height()) / double(overlayImage_.width())) / 1280.0;
    f = std::min(f, 0.9625);
    if (!(f >= 0.15)) f = 0.15;
    return f;
}

}  // namespace ostrela
