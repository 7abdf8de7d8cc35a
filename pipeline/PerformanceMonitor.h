#pragma once
// Frames per second, processor load and resident memory, sampled once a second for the camera bar.
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>

namespace ostrela {

class PerformanceMonitor : public QObject {
    Q_OBJECT
    Q_PROPERTY(double cpuPercent READ cpuPercent NOTIFY cpuPercentChanged)
    Q_PROPERTY(double memoryMB READ memoryMB NOTIFY memoryMBChanged)
    Q_PROPERTY(double fps READ fps NOTIFY fpsChanged)

public:
    explicit PerformanceMonitor(QObject* parent = nullptr);

    double cpuPercent() const { return cpuPercent_; }
    double memoryMB() const { return memoryMB_; }
    double fps() const { return fps_; }

    void start();
    void recordFrame() { ++frameCounter_; }
    void sample();
    bool isRunning() const { return timer_ && timer_->isActive(); }

    // User plus system time of the whole process, all threads, in seconds.
    static double processCPUSeconds();
    // Resident set size in bytes ("VmRSS" of /proc/self/status), 0 when unknown.
    static double residentBytes();
    // The same reading from a status file of that format.
    static double residentBytesFromStatus(const char* path);

    // The text of the camera bar: "%.0f fps · %.0f%% CPU · %.0f MB".
    QString statsLine() const;

    // For tests: replace the clock (seconds, monotonic) and the process readings.
    void setSourcesForTesting(std::function<double()> clock, std::function<double()> cpuSeconds,
                              std::function<double()> resident);

signals:
    void cpuPercentChanged();
    void memoryMBChanged();
    void fpsChanged();

private:
    double now() const;

    double cpuPercent_ = 0, memoryMB_ = 0, fps_ = 0;
    QPointer<QTimer> timer_;
    double lastCPUTimeSeconds_ = 0;
    double lastSample_ = 0;
    long long frameCounter_ = 0;
    QElapsedTimer clock_;
    std::function<double()> clockOverride_, cpuOverride_, residentOverride_;
};

}  // namespace ostrela
