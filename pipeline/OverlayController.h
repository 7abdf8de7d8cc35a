#pragma once
// The window-side state of the floating overlay image, and the only writer of "overlay.png" in the
// container, from which the engine reads the picture every frame.
#include "pipeline/Settings.h"

#include <QImage>
#include <QObject>
#include <QString>

#include <optional>

namespace ostrela {

struct OverlayStoreError {
    QString domain;
    int code = 0;
    QString description;
};

class OverlayController : public QObject {
    Q_OBJECT
    Q_PROPERTY(QImage overlayImage READ overlayImage WRITE setOverlayImage NOTIFY overlayImageChanged)
    Q_PROPERTY(int placement READ placementValue NOTIFY placementChanged)
    Q_PROPERTY(double widthFraction READ widthFraction WRITE setWidthFraction NOTIFY widthFractionChanged)
    Q_PROPERTY(QString lastError READ lastError NOTIFY lastErrorChanged)
    Q_PROPERTY(bool isFullScreen READ isFullScreen NOTIFY isFullScreenChanged)

public:
    explicit OverlayController(QObject* parent = nullptr);

    // Container + "overlay.png"; empty when the container is unavailable.
    static QString overlayFilePath();

    const QImage& overlayImage() const { return overlayImage_; }
    void setOverlayImage(const QImage& image);  // a null image means none
    bool hasOverlayImage() const { return !overlayImage_.isNull(); }

    OverlayPlacement placement() const { return placement_; }
    int placementValue() const { return int(placement_); }
    // Sets the corner and stores it.
    void setPlacement(OverlayPlacement placement);

    double widthFraction() const { return widthFraction_; }
    void setWidthFraction(double fraction);  // published only; persistWidthFraction stores it
    void persistWidthFraction();

    // Null string: no error.
    const QString& lastError() const { return lastError_; }
    bool isFullScreen() const { return isFullScreen_; }
    std::optional<double> savedWidthFraction() const { return savedWidthFraction_; }

    // Chooses the picture in `path`: stored as PNG in "overlay.png". False with lastError set on failure;
    // the previous picture, file and settings then stay as they were.
    bool setImage(const QString& path);
    // Stores PNG data atomically as "overlay.png".
    std::optional<OverlayStoreError> writeOverlayFile(const QByteArray& png);
    void removeOverlayFile();

    void toggleFullScreen(double maxFraction);
    // The width fraction at which the picture is as large as fits above the bar.
    double fullScreenFraction() const;

signals:
    void overlayImageChanged();
    void placementChanged();
    void widthFractionChanged();
    void lastErrorChanged();
    void isFullScreenChanged();

private:
    void setLastError(const QString& error);
    void setFullScreen(bool on);

    QImage overlayImage_;
    OverlayPlacement placement_;
    double widthFraction_;
    QString lastError_;
    bool isFullScreen_ = false;
    std::optional<double> savedWidthFraction_;
};

}  // namespace ostrela
