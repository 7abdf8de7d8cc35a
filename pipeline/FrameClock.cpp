#include "pipeline/FrameClock.h"

#include <cmath>
#include <ctime>

namespace ostrela {

double wallClockSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

QDateTime dateTimeFromFrameTime(double t) {
    return QDateTime::fromMSecsSinceEpoch(qint64(std::floor((t + kReferenceDateUnixSeconds) * 1000.0)));
}

}  // namespace ostrela
