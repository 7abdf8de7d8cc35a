#pragma once
// The one clock of the program. Every animation is a function of the frame time: seconds since
// 2001-01-01 00:00:00 UTC, so the same time gives the same frame in the app, the preview and the
// render tool alike.
#include <QDateTime>

namespace ostrela {

// 2001-01-01 00:00:00 UTC in Unix time.
inline constexpr double kReferenceDateUnixSeconds = 978307200.0;

// Wall-clock seconds since 1970.
double wallClockSeconds();

inline double frameTimeFromUnix(double unixSeconds) { return unixSeconds - kReferenceDateUnixSeconds; }
inline double frameTimeNow() { return frameTimeFromUnix(wallClockSeconds()); }
// The local date and time a frame time stands for, to the millisecond.
QDateTime dateTimeFromFrameTime(double t);

}  // namespace ostrela
