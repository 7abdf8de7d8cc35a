#include "pipeline/PerformanceMonitor.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/resource.h>
#include <unistd.h>

namespace ostrela {

PerformanceMonitor::PerformanceMonitor(QObject* parent) : QObject(parent) {
    clock_.start();
    lastSample_ = now();
}

// A monotonic clock: a wall-clock jump must not produce negative or huge rates.
double PerformanceMonitor::now() const {
    return clockOverride_ ? clockOverride_() : double(clock_.nsecsElapsed()) * 1e-9;
}

double PerformanceMonitor::processCPUSeconds() {
    rusage ru{};
    if (getrusage(RUSAGE_SELF, &ru) != 0) return 0;
    return (double(ru.ru_utime.tv_sec) + double(ru.ru_utime.tv_usec) / 1e6) +
           (double(ru.ru_stime.tv_sec) + double(ru.ru_stime.tv_usec) / 1e6);
}

double PerformanceMonitor::residentBytes() { return residentBytesFromStatus("/proc/self/status"); }

double PerformanceMonitor::residentBytesFromStatus(const char* path) {
    // "VmRSS:     123456 kB": the resident set of the whole process.
    FILE* f = std::fopen(path, "r");
    if (!f) return 0;
    char line[256];
    double bytes = 0;
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, "VmRSS:", 6) != 0) continue;
        char* end = nullptr;
        const long long kib = std::strtoll(line + 6, &end, 10);
        if (end != line + 6 && kib >= 0) bytes = double(kib) * 1024.0;
        break;
    }
    std::fclose(f);
    return bytes;
}

void PerformanceMonitor::setSourcesForTesting(std::function<double()> clock, std::function<double()> cpuSeconds,
                                              std::function<double()> resident) {
    clockOverride_ = std::move(clock);
    cpuOverride_ = std::move(cpuSeconds);
    residentOverride_ = std::move(resident);
}

void PerformanceMonitor::start() {
    lastSample_ = now();
    lastCPUTimeSeconds_ = cpuOverride_ ? cpuOverride_() : processCPUSeconds();
    delete timer_;  // a restart leaves exactly one timer
    timer_ = new QTimer(this);  // owned by the monitor: gone with it
    timer_->setInterval(1000);
    // Each tick queues the sample as a task of its own on the main thread; the connection dies
    // with the monitor, so a tick after it is gone does nothing.
    connect(timer_, &QTimer::timeout, this, &PerformanceMonitor::sample, Qt::QueuedConnection);
    timer_->start();
}

void PerformanceMonitor::sample() {
    const double t = now();
    const double elapsed = t - lastSample_;
    if (elapsed <= 0) return;
    const double cpu = cpuOverride_ ? cpuOverride_() : processCPUSeconds();
    cpuPercent_ = (cpu - lastCPUTimeSeconds_) / elapsed * 100.0;
    lastCPUTimeSeconds_ = cpu;
    emit cpuPercentChanged();
    const double resident = residentOverride_ ? residentOverride_() : residentBytes();
    memoryMB_ = resident / 1024.0 / 1024.0;
    emit memoryMBChanged();
    fps_ = double(frameCounter_) / elapsed;
    frameCounter_ = 0;
    emit fpsChanged();
    lastSample_ = t;
}

QString PerformanceMonitor::statsLine() const {
    return QString::asprintf("%.0f fps · %.0f%% CPU · %.0f MB", fps_, cpuPercent_, memoryMB_);
}

}  // namespace ostrela
