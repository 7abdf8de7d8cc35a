#pragma once
// Mission Control: a cool green technical feed under a dense telemetry heads-up display that keeps
// clear of the lower-third bar's reserved strip.
#include "pipeline/engine/Image.h"

#include <QImage>
#include <QString>

#include <array>
#include <optional>

namespace ostrela::effects {

// Input image, frame time t and the bar reservation (height of the bar strip at the bottom). The
// display is laid out in the visible frame of the input extent (layoutFrame, RetroEffects.h), so
// a 4:3 or 3:2 camera shows all of it where a 16:9 camera does.
engine::Image renderMissionControl(const engine::Image& image, double t, double barReserve);

namespace mission {

struct Contact {
    const char* name;
    double ring;      // fraction of the radar radius
    double speed;     // radians per second
    double phase;     // radians
    double velocity;  // km/s
};
const std::array<Contact, 3>& contacts();

struct Blip {
    double cx, cy;  // fractions of the bitmap
    double phase;
};
const std::array<Blip, 5>& blips();

// Breathing factor of every HUD colour, 0.5 … 1.0.
double pulse(double t);
// Telemetry texts, bottom line first.
std::array<QString, 5> leftBlock(double t);
std::array<QString, 5> rightBlock(double t);
QString heartRate(double t);
QString missionClock(double t);
// Stroke alpha of blip i, or nothing when it is dark.
std::optional<double> blipAlpha(int i, double t);
// Sweep direction of the radar, radians.
double sweepAngle(double t);
// Where contact i sits (bitmap coordinates, y up).
QPointF contactPosition(int i, int wp, int hp, double t);

// The heads-up display as a premultiplied bitmap (top row first); nothing of it that depends on
// the bar is placed inside the bottom `barReserve` pixels.
QImage headsUpDisplay(int wp, int hp, double t, double barReserve);

}  // namespace mission
}  // namespace ostrela::effects
