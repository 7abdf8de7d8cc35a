#include "ui/SettingsWindow.h"

#include "ui/Appearance.h"
#include "extension/ExtensionManager.h"
#include "library/OverlayLibraryController.h"
#include "pipeline/CameraEngine.h"
#include "pipeline/Settings.h"
#include "pipeline/capture/V4L2Backend.h"
#include "ui/Symbols.h"

#include <QComboBox>
#include <QDesktopServices>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QTabWidget>
#include <QUrl>
#include <QVBoxLayout>

#include <cmath>

namespace ostrela {

namespace {

QString u8(const char* s) { return QString::fromUtf8(s); }

// A push button whose text is drawn in the destructive red of the palette of the moment, so it
// keeps its contrast after a change of appearance.
class DestructiveButton : public QPushButton {
public:
    using QPushButton::QPushButton;

protected:
    void paintEvent(QPaintEvent*) override {
        QStylePainter p(this);
        QStyleOptionButton option;
        initStyleOption(&option);
        option.palette.setColor(QPalette::ButtonText, destructiveTextColor(option.palette));
        p.drawControl(QStyle::CE_PushButton, option);
    }
};

const char kStorageHelp[] =
    "Videos you add are copied into Ostrela's storage so the library keeps working even if you move or delete the "
    "originals. Remove a video from the sidebar (right-click \u2192 Delete Video) to free its space.";
const char kResetHelp[] =
    "Permanently deletes every image, video, and folder in your Ostrela library \u2014 a full data reset. This "
    "cannot be undone.";
const char kActivateHelp[] =
    "Re-submits the camera extension to the system for registration/approval. Normally happens automatically on "
    "first launch \u2014 use this if the camera stopped showing up and a fresh registration might fix it.";
const char kDeactivateHelp[] =
    "Unregisters the camera extension from the system. Useful before Activate as a full reset if the extension got "
    "into a stuck state.";
const char kOpenSettingsHelp[] =
    "Opens the camera help: installing the v4l2loopback module and approving the request in the desktop's "
    "authentication dialog \u2014 useful if you dismissed the password prompt on first launch and Ostrela isn't "
    "showing up as a camera.";
const char kOpenSettingsCaption[] =
    "Opens the camera help \u2014 from there, install the loopback module if needed, then press Activate and "
    "approve the request.";
const char kInstallAdvice[] =
    "Install Ostrela system-wide (its package puts it under /usr), then relaunch.";
const char kSourceHelp[] =
    "Choose which physical camera Ostrela captures from \u2014 useful if you have an external webcam plugged in "
    "alongside the built-in one. \"Automatic\" picks the first camera it finds.";

QLabel* captionLabel(const QString& text) {
    auto* label = new QLabel(text);
    label->setWordWrap(true);
    QFont f = label->font();
    f.setPointSizeF(f.pointSizeF() * 0.85);
    label->setFont(f);
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, p.color(QPalette::PlaceholderText));
    label->setPalette(p);
    return label;
}

QLabel* valueLabel() {
    auto* label = new QLabel;
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setWordWrap(true);
    return label;
}

QWidget* scrollingPage(QWidget* content) {
    auto* scroll = new QScrollArea;
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setWidget(content);
    return scroll;
}

}  // namespace

QList<CameraOption> cameraOptions(const std::vector<capture::CaptureDeviceInfo>& devices) {
    QList<CameraOption> options;
    for (const capture::CaptureDeviceInfo& d : CameraEngine::physicalCameras(devices))
        options.append({d.uniqueID, d.localizedName});
    return options;
}

QString formatByteCount(qint64 bytes) {
    if (bytes < 0) bytes = 0;
    if (bytes == 1) return QStringLiteral("1 byte");
    if (bytes < 1000) return QString::number(bytes) + QStringLiteral(" bytes");
    static const char* const units[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
    static const int decimals[] = {0, 1, 2, 2, 2, 2};
    int unit = 0;
    double value = double(bytes) / 1000.0;
    while (unit < 5 && value >= 1000.0) {
        value /= 1000.0;
        ++unit;
    }
    // Rounding may reach the next unit (999,999 bytes is "1 MB").
    const double scale = std::pow(10.0, decimals[unit]);
    if (std::round(value * scale) / scale >= 1000.0 && unit < 5) {
        value /= 1000.0;
        ++unit;
    }
    const QLocale locale;
    QString number = locale.toString(value, 'f', decimals[unit]);
    if (decimals[unit] > 0) {
        const QString point = locale.decimalPoint();
        if (number.contains(point)) {
            while (number.endsWith(u'0')) number.chop(1);
            if (number.endsWith(point)) number.chop(point.size());
        }
    }
    return number + u' ' + QLatin1String(units[unit]);
}

QString videosOnDiskText(qint64 bytes) { return bytes <= 0 ? QStringLiteral("None") : formatByteCount(bytes); }

QString resetConfirmationMessage(qsizetype itemCount, qsizetype folderCount) {
    return QStringLiteral("This permanently deletes all ") + QString::number(itemCount) +
           QStringLiteral(" images/videos and ") + QString::number(folderCount) +
           QStringLiteral(" folders from your Ostrela library, including the files on disk. This cannot be undone.");
}

SettingsWindow::DeviceDiscovery SettingsWindow::discoveryFor(std::shared_ptr<capture::CaptureBackend> backend) {
    return [backend] {
        return backend ? backend->discoverDevices() : std::vector<capture::CaptureDeviceInfo>{};
    };
}

SettingsWindow::SettingsWindow(OverlayLibraryController* library, ExtensionManager* extensionManager,
                               DeviceDiscovery discoverDevices, QWidget* parent)
    : QWidget(parent), library_(library), extensionManager_(extensionManager),
      discoverDevices_(std::move(discoverDevices)) {
    if (!discoverDevices_) discoverDevices_ = discoveryFor(std::make_shared<capture::V4L2Backend>());
    setObjectName(QStringLiteral("settings"));
    setWindowTitle(QStringLiteral("Settings"));

    tabs_ = new QTabWidget;
    tabs_->setFixedSize(settingsui::kTabWidth, settingsui::kTabHeight);
    tabs_->addTab(scrollingPage(buildGeneralTab()), symbols::icon(QStringLiteral("gearshape")),
                  QStringLiteral("General"));
    tabs_->addTab(scrollingPage(buildAdvancedTab()), symbols::icon(QStringLiteral("wrench.and.screwdriver")),
                  QStringLiteral("Advanced"));
    tabs_->addTab(scrollingPage(buildVideoDevicesTab()), symbols::icon(QStringLiteral("video")),
                  QStringLiteral("Video Devices"));
    auto* layout = new QVBoxLayout(this);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    layout->addWidget(tabs_);

    connect(tabs_, &QTabWidget::currentChanged, this, [this](int index) {
        if (index == 0) reloadGeneral();
        else if (index == 1) reloadAdvanced();
        else refreshDevices();
    });
    if (library_) {
        connect(library_, &OverlayLibraryController::itemsChanged, this, &SettingsWindow::reloadGeneral);
        connect(library_, &OverlayLibraryController::libraryChanged, this, &SettingsWindow::reloadGeneral);
    }
    if (extensionManager_) {
        connect(extensionManager_, &ExtensionManager::statusTextChanged, this, &SettingsWindow::reloadAdvanced);
        connect(extensionManager_, &ExtensionManager::logLinesChanged, this, &SettingsWindow::reloadAdvanced);
    }
    reloadGeneral();
    reloadAdvanced();
}

QWidget* SettingsWindow::buildGeneralTab() {
    auto* page = new QWidget;
    auto* column = new QVBoxLayout(page);

    auto* appearanceBox = new QGroupBox(QStringLiteral("Appearance"));
    auto* appearanceForm = new QFormLayout(appearanceBox);
    appearancePicker_ = new QComboBox;
    appearancePicker_->addItem(QStringLiteral("Light"), false);
    appearancePicker_->addItem(QStringLiteral("Dark"), true);
    appearanceForm->addRow(QStringLiteral("Appearance"), appearancePicker_);
    column->addWidget(appearanceBox);
    connect(appearancePicker_, &QComboBox::currentIndexChanged, this, [this](int) {
        if (loading_) return;
        const bool dark = appearancePicker_->currentData().toBool();
        if (appearanceHandler_) appearanceHandler_(dark);
        else settings::setAppearanceIsDark(dark);
    });

    auto* storageBox = new QGroupBox(QStringLiteral("Video Storage"));
    auto* storageLayout = new QVBoxLayout(storageBox);
    auto* storageForm = new QFormLayout;
    videosOnDisk_ = valueLabel();
    storageForm->addRow(QStringLiteral("Videos on disk"), videosOnDisk_);
    storageLayout->addLayout(storageForm);
    auto* showFolder = new QPushButton(QStringLiteral("Show Storage Folder in File Manager"));
    showFolder->setToolTip(u8(kStorageHelp));
    storageLayout->addWidget(showFolder, 0, Qt::AlignLeft);
    // The path itself, so the files can be found even where no file manager opens.
    storagePath_ = captionLabel(QString());
    storagePath_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    storageLayout->addWidget(storagePath_);
    storageLayout->addWidget(captionLabel(u8(kStorageHelp)));
    column->addWidget(storageBox);
    connect(showFolder, &QPushButton::clicked, this, &SettingsWindow::showStorageFolder);

    auto* dangerBox = new QGroupBox(QStringLiteral("Danger Zone"));
    auto* dangerLayout = new QVBoxLayout(dangerBox);
    auto* reset = new DestructiveButton(QStringLiteral("Reset All Ostrela Data\u2026"));
    reset->setObjectName(QStringLiteral("resetAllData"));
    reset->setToolTip(u8(kResetHelp));
    dangerLayout->addWidget(reset, 0, Qt::AlignLeft);
    dangerLayout->addWidget(captionLabel(u8(kResetHelp)));
    column->addWidget(dangerBox);
    connect(reset, &QPushButton::clicked, this, [this] { confirmReset(); });
    column->addStretch(1);
    return page;
}

QWidget* SettingsWindow::buildAdvancedTab() {
    auto* page = new QWidget;
    auto* column = new QVBoxLayout(page);

    auto* extensionBox = new QGroupBox(QStringLiteral("Camera Extension"));
    auto* extensionLayout = new QVBoxLayout(extensionBox);
    status_ = valueLabel();
    extensionLayout->addWidget(status_);
    log_ = new QPlainTextEdit;
    log_->setReadOnly(true);
    log_->setMaximumBlockCount(1000);
    log_->setMinimumHeight(90);
    log_->setMaximumHeight(120);
    QFont mono(QStringLiteral("DejaVu Sans Mono"));
    mono.setPointSizeF(log_->font().pointSizeF() * 0.85);
    log_->setFont(mono);
    extensionLayout->addWidget(log_);
    auto* buttons = new QHBoxLayout;
    auto* activate = new QPushButton(QStringLiteral("Activate"));
    activate->setToolTip(u8(kActivateHelp));
    auto* deactivate = new QPushButton(QStringLiteral("Deactivate"));
    deactivate->setToolTip(u8(kDeactivateHelp));
    buttons->addWidget(activate);
    buttons->addWidget(deactivate);
    buttons->addStretch(1);
    extensionLayout->addLayout(buttons);
    auto* openSettings = new QPushButton(QStringLiteral("Open Camera Help\u2026"));
    openSettings->setToolTip(u8(kOpenSettingsHelp));
    extensionLayout->addWidget(openSettings, 0, Qt::AlignLeft);
    extensionLayout->addWidget(captionLabel(u8(kOpenSettingsCaption)));
    column->addWidget(extensionBox);
    connect(activate, &QPushButton::clicked, this, [this] {
        if (extensionManager_) extensionManager_->activate();
    });
    connect(deactivate, &QPushButton::clicked, this, [this] {
        if (extensionManager_) extensionManager_->deactivate(QString::fromLatin1(kCameraExtensionIdentifier));
    });
    connect(openSettings, &QPushButton::clicked, this, [] { ExtensionManager::openExtensionSettings(); });

    auto* runtimeBox = new QGroupBox(QStringLiteral("Runtime"));
    auto* runtimeForm = new QFormLayout(runtimeBox);
    bundlePath_ = valueLabel();
    installed_ = valueLabel();
    installAdvice_ = captionLabel(u8(kInstallAdvice));
    bundleID_ = valueLabel();
    runtimeForm->addRow(QStringLiteral("Program path"), bundlePath_);
    runtimeForm->addRow(QStringLiteral("Installed system-wide"), installed_);
    runtimeForm->addRow(installAdvice_);
    runtimeForm->addRow(QStringLiteral("App ID"), bundleID_);
    column->addWidget(runtimeBox);

    auto* embeddedBox = new QGroupBox(QStringLiteral("Embedded Camera Extension"));
    embeddedLayout_ = new QVBoxLayout(embeddedBox);
    column->addWidget(embeddedBox);
    column->addStretch(1);
    return page;
}

QWidget* SettingsWindow::buildVideoDevicesTab() {
    auto* page = new QWidget;
    auto* column = new QVBoxLayout(page);
    auto* cameraBox = new QGroupBox(QStringLiteral("Camera"));
    auto* cameraLayout = new QVBoxLayout(cameraBox);
    auto* form = new QFormLayout;
    sourcePicker_ = new QComboBox;
    sourcePicker_->setToolTip(u8(kSourceHelp));
    sourcePicker_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    form->addRow(QStringLiteral("Source"), sourcePicker_);
    cameraLayout->addLayout(form);
    cameraLayout->addWidget(captionLabel(u8(kSourceHelp)));
    auto* refresh = new QPushButton(QStringLiteral("Refresh"));
    cameraLayout->addWidget(refresh, 0, Qt::AlignLeft);
    column->addWidget(cameraBox);
    column->addStretch(1);
    connect(refresh, &QPushButton::clicked, this, &SettingsWindow::refreshDevices);
    connect(sourcePicker_, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (loading_ || index < 0) return;
        settings::setSelectedCameraUniqueID(sourcePicker_->itemData(index).toString());
    });
    return page;
}

void SettingsWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // The tabs read the shared objects afresh each time they appear.
    if (tabs_->currentIndex() == 0) reloadGeneral();
    else if (tabs_->currentIndex() == 1) reloadAdvanced();
    else refreshDevices();
}

void SettingsWindow::reload() {
    reloadGeneral();
    reloadAdvanced();
    rebuildSourcePicker();
}

void SettingsWindow::reloadGeneral() {
    loading_ = true;
    appearancePicker_->setCurrentIndex(settings::appearanceIsDark() ? 1 : 0);
    loading_ = false;
    videosOnDisk_->setText(videosOnDiskText(library_ ? library_->videoStorageBytes() : 0));
    const QString dir = library_ ? library_->store().directory() : QString();
    storagePath_->setText(dir.isEmpty() ? QStringLiteral("No storage folder: the data directory is unavailable.")
                                        : dir);
}

void SettingsWindow::reloadAdvanced() {
    status_->setText(extensionManager_ ? extensionManager_->statusText() : QString());
    const QString log = extensionManager_ ? extensionManager_->logLines().join(u'\n') : QString();
    if (log_->toPlainText() != log) {
        log_->setPlainText(log);
        log_->verticalScrollBar()->setValue(log_->verticalScrollBar()->maximum());
    }
    bundlePath_->setText(ExtensionManager::applicationBundlePath());
    const bool installed = ExtensionManager::isInApplicationsFolder();
    installed_->setText(installed ? QStringLiteral("Yes") : QStringLiteral("No"));
    installAdvice_->setVisible(!installed);
    const QString id = ExtensionManager::applicationBundleIdentifier();
    bundleID_->setText(id.isEmpty() ? QStringLiteral("unknown") : id);

    while (QLayoutItem* item = embeddedLayout_->takeAt(0)) {
        if (QWidget* w = item->widget()) delete w;
        delete item;
    }
    const QList<EmbeddedExtensionInfo> found = ExtensionManager::embeddedExtensions();
    if (found.isEmpty()) {
        embeddedLayout_->addWidget(captionLabel(QStringLiteral("No .extension found in ") +
                                                ExtensionManager::embeddedExtensionsDirectory()));
    }
    for (const EmbeddedExtensionInfo& info : found) {
        auto* row = new QWidget;
        auto* form = new QFormLayout(row);
        form->setContentsMargins(0, 0, 0, 0);
        auto* bundle = valueLabel();
        bundle->setText(info.bundleIdentifier.value_or(QStringLiteral("missing")));
        auto* mach = valueLabel();
        mach->setText(info.machServiceName.value_or(QStringLiteral("missing")));
        form->addRow(QStringLiteral("Extension ID"), bundle);
        form->addRow(QStringLiteral("systemd service"), mach);
        embeddedLayout_->addWidget(row);
    }
}

void SettingsWindow::refreshDevices() {
    devices_ = cameraOptions(discoverDevices_ ? discoverDevices_() : std::vector<capture::CaptureDeviceInfo>{});
    rebuildSourcePicker();
}

void SettingsWindow::rebuildSourcePicker() {
    loading_ = true;
    sourcePicker_->clear();
    sourcePicker_->addItem(QString::fromLatin1(settingsui::kAutomatic), QString());
    for (const CameraOption& option : devices_) sourcePicker_->addItem(option.name, option.uniqueID);
    const QString selected = settings::selectedCameraUniqueID();
    int index = sourcePicker_->findData(selected);
    if (index < 0) {
        // A chosen camera that is unplugged stays chosen; the engine falls back to the first one.
        sourcePicker_->addItem(QStringLiteral("Unavailable camera"), selected);
        index = sourcePicker_->count() - 1;
    }
    sourcePicker_->setCurrentIndex(index);
    loading_ = false;
}

void SettingsWindow::showStorageFolder() {
    if (!library_) return;
    const QString dir = library_->store().directory();
    if (!dir.isEmpty()) QDesktopServices::openUrl(QUrl::fromLocalFile(dir));
}

QMessageBox* SettingsWindow::confirmReset() {
    const qsizetype items = library_ ? library_->items().size() : 0;
    const qsizetype folders = library_ ? library_->folders().size() : 0;
    auto* box = new QMessageBox(this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setIcon(QMessageBox::Warning);
    box->setWindowTitle(QString::fromLatin1(settingsui::kResetTitle));
    box->setText(QString::fromLatin1(settingsui::kResetTitle));
    box->setInformativeText(resetConfirmationMessage(items, folders));
    QPushButton* destroy = box->addButton(QString::fromLatin1(settingsui::kDeleteEverything), QMessageBox::DestructiveRole);
    QPushButton* cancel = box->addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    box->setDefaultButton(cancel);
    connect(destroy, &QPushButton::clicked, this, [this] {
        if (library_) library_->resetAllData();
        reloadGeneral();
    });
    box->setWindowModality(Qt::WindowModal);
    box->open();
    return box;
}

}  // namespace ostrela
