#pragma once
// The settings window: General (appearance, video storage, full reset), Advanced (camera
// extension status, log and diagnostics) and Video Devices (which webcam to capture from).
#include "pipeline/capture/CaptureDevice.h"

#include <QList>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

class QComboBox;
class QLabel;
class QMessageBox;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class QVBoxLayout;

namespace ostrela {

class ExtensionManager;
class OverlayLibraryController;

struct CameraOption {
    QString uniqueID;
    QString name;
    bool operator==(const CameraOption&) const = default;
};

namespace settingsui {
inline constexpr int kTabWidth = 480;
inline constexpr int kTabHeight = 340;
inline constexpr const char kResetTitle[] = "Reset all Ostrela data?";
inline constexpr const char kDeleteEverything[] = "Delete Everything";
inline constexpr const char kAutomatic[] = "Automatic";
}  // namespace settingsui

// Every discovered camera except the one named exactly "Ostrela" (our own), in discovery order.
QList<CameraOption> cameraOptions(const std::vector<capture::CaptureDeviceInfo>& devices);
// Decimal units like the desktop's file sizes: "1 byte", "999 bytes", "12 KB", "3.4 MB", "1.25 GB".
QString formatByteCount(qint64 bytes);
// "None" for zero, else formatByteCount.
QString videosOnDiskText(qint64 bytes);
QString resetConfirmationMessage(qsizetype itemCount, qsizetype folderCount);

class SettingsWindow : public QWidget {
    Q_OBJECT
public:
    using DeviceDiscovery = std::function<std::vector<capture::CaptureDeviceInfo>()>;
    using AppearanceHandler = std::function<void(bool dark)>;

    // Any pointer may be null (that part of the window then shows nothing to act on). Without a
    // discovery function the V4L2 devices are listed. Without an appearance handler the choice is
    // only stored.
    SettingsWindow(OverlayLibraryController* library, ExtensionManager* extensionManager,
                   DeviceDiscovery discoverDevices = {}, QWidget* parent = nullptr);
    // Lists the devices of `backend`.
    static DeviceDiscovery discoveryFor(std::shared_ptr<capture::CaptureBackend> backend);

    void setAppearanceHandler(AppearanceHandler handler) { appearanceHandler_ = std::move(handler); }

    // Video Devices: scans again ("Refresh", and whenever the tab is shown).
    void refreshDevices();
    const QList<CameraOption>& devices() const { return devices_; }
    // General: the confirmation of "Reset All Ostrela Data…", shown window-modal. Returned for tests.
    QMessageBox* confirmReset();
    // Reads every value again (the tabs do so each time they appear).
    void reload();

    QTabWidget* tabs() const { return tabs_; }
    QComboBox* sourcePicker() const { return sourcePicker_; }
    QComboBox* appearancePicker() const { return appearancePicker_; }
    QLabel* videosOnDiskLabel() const { return videosOnDisk_; }
    QLabel* statusLabel() const { return status_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    QWidget* buildGeneralTab();
    QWidget* buildAdvancedTab();
    QWidget* buildVideoDevicesTab();
    void reloadGeneral();
    void reloadAdvanced();
    void rebuildSourcePicker();
    void showStorageFolder();

    QPointer<OverlayLibraryController> library_;
    QPointer<ExtensionManager> extensionManager_;
    DeviceDiscovery discoverDevices_;
    AppearanceHandler appearanceHandler_;
    QList<CameraOption> devices_;
    bool loading_ = false;

    QTabWidget* tabs_ = nullptr;
    QComboBox* appearancePicker_ = nullptr;
    QLabel* videosOnDisk_ = nullptr;
    QLabel* storagePath_ = nullptr;
    QLabel* status_ = nullptr;
    QPlainTextEdit* log_ = nullptr;
    QLabel* bundlePath_ = nullptr;
    QLabel* installed_ = nullptr;
    QLabel* installAdvice_ = nullptr;
    QLabel* bundleID_ = nullptr;
    QVBoxLayout* embeddedLayout_ = nullptr;
    QComboBox* sourcePicker_ = nullptr;
};

}  // namespace ostrela
