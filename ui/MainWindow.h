#pragma once
// The main window ("Ostrela"): the library sidebar and the control column. The behaviour lives
// in ContentViewModel, LibrarySidebarModel and VideoPaneModel; the widgets here only bind.
#include "pipeline/Settings.h"

#include <QAbstractButton>
#include <QMainWindow>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <memory>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;
class QSlider;
class QStackedWidget;
class QToolButton;

namespace ostrela {

class ContentViewModel;
class LibrarySidebar;
class LibrarySidebarModel;
class OstrelaApp;
class PreviewSource;
class VideoPaneModel;
class WheelGuard;
namespace symbols { class SymbolView; }

// A corner choice drawn as a small frame with the corner marked.
class PlacementGlyph : public QAbstractButton {
    Q_OBJECT
public:
    PlacementGlyph(OverlayPlacement placement, QWidget* parent = nullptr);
    OverlayPlacement placement() const { return placement_; }
    void setSelected(bool on);
    bool isSelected() const { return selected_; }
    // Light colours regardless of the palette (over dark pictures).
    void setForceLight(bool on) { forceLight_ = on; update(); }
    QSize sizeHint() const override { return {34, 24}; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    OverlayPlacement placement_;
    bool selected_ = false;
    bool forceLight_ = false;
};

// The preview: the real outgoing frame while the camera runs, else the mock call background with
// the effect imitation; the particle overlays on top while "showEffectPreview" is on.
class PreviewWidget : public QWidget {
    Q_OBJECT
public:
    PreviewWidget(ContentViewModel* model, QWidget* parent = nullptr);
    PreviewSource* source() const { return source_; }
    QSize sizeHint() const override { return {640, 360}; }
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int w) const override { return w * 9 / 16; }
    // Paints one preview picture for time t (tests and screenshots use a fixed time).
    void setFixedTimeForTesting(double t) { fixedTime_ = t; }
    void refreshAnimation();
    // Where the 16:9 picture sits in the widget (centred; letterboxed when the height is capped).
    QRect pictureRect() const;

protected:
    void paintEvent(QPaintEvent*) override;
    void resizeEvent(QResizeEvent*) override;
    void showEvent(QShowEvent*) override;
    void hideEvent(QHideEvent*) override;

private:
    ContentViewModel* model_;
    PreviewSource* source_;
    QTimer animation_;
    double fixedTime_ = -1;
};

// The transport of a loaded video. It floats over the lower part of the preview (the main
// window places it) on a card of the window colour.
class VideoPaneWidget : public QWidget {
    Q_OBJECT
public:
    VideoPaneWidget(VideoPaneModel* model, QWidget* parent = nullptr);
    void refresh();
    QSlider* progressSlider() const { return progress_; }
    QToolButton* pipButton() const { return pip_; }
    // Opens the picture-in-picture settings beside their button; returned for tests.
    QWidget* showPiPPopover();

signals:
    // Shown or hidden with the loaded video.
    void visibilityChanged();

protected:
    void paintEvent(QPaintEvent*) override;

private:
    VideoPaneModel* model_;
    QPushButton* live_;
    QToolButton* rewind_;
    QToolButton* playPause_;
    QToolButton* stop_;
    QSlider* progress_;
    QLabel* elapsed_;
    QLabel* total_;
    symbols::SymbolView* volumeIcon_;
    QSlider* volume_;
    QToolButton* pip_;
};

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    // `app` hands over the shared objects; it must outlive the window.
    explicit MainWindow(OstrelaApp* app, QWidget* parent = nullptr);
    ~MainWindow() override;

    ContentViewModel* model() const { return model_.get(); }
    LibrarySidebarModel* sidebarModel() const { return sidebarModel_.get(); }
    VideoPaneModel* videoPaneModel() const { return videoModel_.get(); }
    LibrarySidebar* sidebar() const { return sidebar_; }
    PreviewWidget* preview() const { return preview_; }

    // Re-reads every control from the models.
    void refresh();
    VideoPaneWidget* videoPane() const { return videoPane_; }
    QScrollArea* controlScroll() const { return scroll_; }

protected:
    void showEvent(QShowEvent* e) override;
    void hideEvent(QHideEvent* e) override;
    void changeEvent(QEvent* e) override;
    // Closing the main window ends the program, its other windows with it.
    void closeEvent(QCloseEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    QWidget* buildApprovalBanner();
    QWidget* buildCameraBar();
    QWidget* buildEffectSection();
    QWidget* buildFloatingImageSection();
    QWidget* buildLowerThirdSection();
    QToolButton* quickColorButton(const QString& title, std::function<void(int)> choose);
    void rebuildPresetsMenu();
    void showManagePresets();
    void showEmojiPalette();
    void refreshCamera();
    void refreshReachability();
    void refreshSymbols();
    // Keeps the picture from pushing the effect row below the fold, and the video pane over it.
    void scheduleFit();
    void fitPreview();
    void placeVideoPane();

    OstrelaApp* app_;
    std::unique_ptr<ContentViewModel> model_;
    std::unique_ptr<LibrarySidebarModel> sidebarModel_;
    std::unique_ptr<VideoPaneModel> videoModel_;
    LibrarySidebar* sidebar_ = nullptr;
    PreviewWidget* preview_ = nullptr;
    VideoPaneWidget* videoPane_ = nullptr;
    QScrollArea* scroll_ = nullptr;
    QWidget* column_ = nullptr;
    QWidget* effectSection_ = nullptr;
    WheelGuard* wheelGuard_ = nullptr;
    bool fitPending_ = false;
    QTimer settingsPoll_;
    bool visibleBefore_ = false;

    // Controls.
    QWidget* banner_ = nullptr;
    QPushButton* cameraButton_ = nullptr;
    QLabel* statusWord_ = nullptr;
    QLabel* clock_ = nullptr;
    QLabel* stats_ = nullptr;
    QLabel* cameraNote_ = nullptr;
    QWidget* reachabilityRow_ = nullptr;
    QLabel* reachabilityIcon_ = nullptr;
    QLabel* reachabilityText_ = nullptr;
    QLabel* reachabilityDetail_ = nullptr;
    QPushButton* reachabilityButton_ = nullptr;
    QLabel* effectHeading_ = nullptr;
    QComboBox* effectPicker_ = nullptr;
    QToolButton* effectPreviewToggle_ = nullptr;
    QStackedWidget* floatingStack_ = nullptr;
    QToolButton* overlayToggle_ = nullptr;
    QToolButton* fancyToggle_ = nullptr;
    QToolButton* borderToggle_ = nullptr;
    QList<PlacementGlyph*> corners_;
    QSlider* sizeSlider_ = nullptr;
    QLabel* sizeLabel_ = nullptr;
    QToolButton* fullScreen_ = nullptr;
    QCheckBox* barToggle_ = nullptr;
    QSlider* opacitySlider_ = nullptr;
    QLabel* opacityLabel_ = nullptr;
    QLineEdit* barText_ = nullptr;
    QPushButton* textOverride_ = nullptr;
    QToolButton* emoji_ = nullptr;
    QList<QToolButton*> alignButtons_;
    QToolButton* presets_ = nullptr;
    QPushButton* design_ = nullptr;
};

// The main window under the name the rest of the design uses.
using ContentView = MainWindow;

}  // namespace ostrela
