#pragma once
// Drawing of the preview: the mock video-call background "MockZoomBackground" with an imitation
// of the chosen effect while the camera is stopped, and the particle overlays over it (or over
// the real outgoing frame) while "showEffectPreview" is on. All drawing is a function of the
// frame time, so a paused preview is simply a constant time.
#include "pipeline/Settings.h"

#include <QImage>
#include <QPainter>
#include <QRectF>
#include <QSize>

namespace ostrela::preview {

// The mock background rendered at `size` (cached for the last size asked for).
QImage mockBackground(QSize size);
// The background with the effect's static colour treatment (cached per effect and size).
QImage treatedBackground(VideoEffect effect, QSize size);
// The animated part of the imitation: lines, readouts, clocks, wobble.
void paintImitation(QPainter& painter, const QRectF& rect, VideoEffect effect, double t);
// The particle overlays for Snow and Flame; nothing for the other effects.
void paintOverlays(QPainter& painter, const QRectF& rect, VideoEffect effect, double t);
// Whether the effect's preview changes with time at all.
bool isAnimated(VideoEffect effect);

}  // namespace ostrela::preview
