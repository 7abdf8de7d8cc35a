#pragma once
// Security Cam and Local Cable: grades with a burned-in text readout. Readouts are laid out in
// the visible frame F of RetroEffects.h and cached per content (the texts change once a second).
#include "effects/RetroEffects.h"
#include "pipeline/engine/Image.h"

#include <QString>

namespace ostrela::effects {

// One frame of each; without caches, everything is drawn for this frame alone.
engine::Image renderSecurityCam(const engine::Image& image, double t);
engine::Image renderSecurityCam(const engine::Image& image, double t, ReadoutCaches& caches);
engine::Image renderCableAccess(const engine::Image& image, double t);
engine::Image renderCableAccess(const engine::Image& image, double t, ReadoutCaches& caches);

// The readout texts for frame time t, in the device's time zone and locale: "MM/dd/yy" and
// "HH:mm:ss" of the whole second t falls in.
QString securityDateText(double t);
QString securityTimeText(double t);
QString cableTimeText(double t);
// REC mark / LIVE dot: shown when floor(t) is even.
bool blinkOn(double t);

// Geometry of the camera readout for a frame of w × h (y up, bitmap coordinates).
struct CameraReadoutLayout {
    double fontSize, lineHeight, margin, top;
    double baseline(int line) const { return top - line * lineHeight; }  // line 1…4
    double dotDiameter() const { return 0.45 * fontSize; }
    double dotY() const { return top - 2 * lineHeight + 0.15 * fontSize; }
};
CameraReadoutLayout cameraReadoutLayout(double w, double h);

// The readouts as images placed relative to the frame origin (cached per content).
engine::Image cameraReadout(double w, double h, const QString& dateText, const QString& timeText, bool recOn);
engine::Image cameraReadout(double w, double h, const QString& dateText, const QString& timeText, bool recOn,
                            ReadoutCaches& caches);
engine::Image stationReadout(double w, double h, double t);
engine::Image stationReadout(double w, double h, double t, ReadoutCaches& caches);

}  // namespace ostrela::effects
