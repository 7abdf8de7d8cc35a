#include "ui/MainWindow.h"

#include "ui/Application.h"
#include "effects/Effects.h"
#include "library/OverlayLibraryController.h"
#include "library/VideoPlaybackService.h"
#include "pipeline/CameraEngine.h"
#include "sources/LowerThirdModes.h"
#include "ui/ContentViewModel.h"
#include "ui/LibrarySidebar.h"
#include "ui/LayoutHelpers.h"
#include "ui/LibrarySidebarModel.h"
#include "ui/PreviewPainter.h"
#include "ui/PreviewSource.h"
#include "ui/Resources.h"
#include "ui/Symbols.h"
#include "ui/VideoPaneModel.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QScreen>
#include <QScrollBar>
#include <QShowEvent>
#include <QHideEvent>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScrollArea>
#include <QSlider>
#include <QSplitter>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWidgetAction>

#include <cmath>

namespace ostrela {

namespace {

constexpr int kSliderSteps = 1000;

QToolButton* symbolButton(const QString& symbol, QWidget* parent, const QString& objectName) {
    auto* b = new QToolButton(parent);
    b->setObjectName(objectName);
    b->setIcon(symbols::icon(symbol));
    b->setIconSize(QSize(18, 18));
    b->setAutoRaise(false);
    b->setProperty("symbol", symbol);
    return b;
}

void setSymbol(QToolButton* b, const QString& symbol) {
    if (b->property("symbol").toString() == symbol) return;
    b->setProperty("symbol", symbol);
    b->setIcon(symbols::icon(symbol));
}

QLabel* sectionTitle(const QString& text, QWidget* parent) {
    auto* l = new QLabel(text, parent);
    QFont f = l->font();
    f.setBold(true);
    f.setPointSizeF(f.pointSizeF() * 1.1);
    l->setFont(f);
    return l;
}

QFrame* card(QWidget* parent, const QString& objectName) {
    auto* f = new QFrame(parent);
    f->setObjectName(objectName);
    f->setFrameShape(QFrame::StyledPanel);
    return f;
}

QIcon swatchIcon(const QColor& c) {
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(0, 0, 0, 90), 1));
    p.setBrush(c);
    p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
    return QIcon(pm);
}

int toSlider(double v, double lo, double hi) {
    if (!std::isfinite(v)) v = lo;
    return int(std::lround((std::clamp(v, lo, hi) - lo) / (hi - lo) * kSliderSteps));
}
double fromSlider(int s, double lo, double hi) { return lo + (hi - lo) * s / double(kSliderSteps); }

}  // namespace

// ---- PlacementGlyph ----

PlacementGlyph::PlacementGlyph(OverlayPlacement placement, QWidget* parent) : QAbstractButton(parent), placement_(placement) {
    setCursor(Qt::PointingHandCursor);
    setToolTip(videopane::cornerTitle(placement));
    setAccessibleName(videopane::cornerTitle(placement));
    setFixedSize(sizeHint());
}

void PlacementGlyph::setSelected(bool on) {
    if (on == selected_) return;
    selected_ = on;
    update();
}

void PlacementGlyph::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor accent = palette().color(QPalette::Highlight);
    const QColor ink = forceLight_ ? QColor(255, 255, 255, 220) : palette().color(QPalette::ButtonText);
    const QRectF frame = QRectF(rect()).adjusted(2, 2, -2, -2);
    p.setPen(QPen(selected_ ? accent : ink, selected_ ? 2 : 1.2));
    p.setBrush(selected_ ? QBrush(QColor(accent.red(), accent.green(), accent.blue(), 40)) : QBrush(Qt::NoBrush));
    p.drawRoundedRect(frame, 4, 4);
    const QSizeF mark(frame.width() * 0.38, frame.height() * 0.38);
    const bool left = placement_ == OverlayPlacement::topLeft || placement_ == OverlayPlacement::bottomLeft;
    const bool top = placement_ == OverlayPlacement::topLeft || placement_ == OverlayPlacement::topRight;
    const QPointF origin(left ? frame.left() + 3 : frame.right() - 3 - mark.width(),
                         top ? frame.top() + 3 : frame.bottom() - 3 - mark.height());
    p.setPen(Qt::NoPen);
    p.setBrush(selected_ ? accent : ink);
    p.drawRoundedRect(QRectF(origin, mark), 2, 2);
}

// ---- PreviewWidget ----

PreviewWidget::PreviewWidget(ContentViewModel* model, QWidget* parent)
    : QWidget(parent), model_(model), source_(new PreviewSource(model->cameraEngine(), this)) {
    setObjectName(QStringLiteral("preview"));
    setMinimumSize(320, 180);
    QSizePolicy sp(QSizePolicy::Expanding, QSizePolicy::Preferred);
    sp.setHeightForWidth(true);
    setSizePolicy(sp);
    connect(source_, &PreviewSource::imageChanged, this, qOverload<>(&QWidget::update));
    animation_.setInterval(1000 / 15);  // the effect overlays' own ticks
    connect(&animation_, &QTimer::timeout, this, qOverload<>(&QWidget::update));
    connect(model_, &ContentViewModel::changed, this, &PreviewWidget::refreshAnimation);
    connect(model_, &ContentViewModel::cameraChanged, this, [this] {
        if (!model_->isCameraRunning()) source_->clear();
        refreshAnimation();
    });
}

QRect PreviewWidget::pictureRect() const {
    // 16:9, centred.
    const int w = std::min(width(), height() * 16 / 9);
    const int h = w * 9 / 16;
    return QRect((width() - w) / 2, (height() - h) / 2, w, h);
}

void PreviewWidget::resizeEvent(QResizeEvent*) {
    const qreal dpr = devicePixelRatioF();
    source_->setTargetSize((QSizeF(pictureRect().size()) * dpr).toSize());
}

void PreviewWidget::showEvent(QShowEvent*) {
    source_->setActive(true);
    refreshAnimation();
}

void PreviewWidget::hideEvent(QHideEvent*) {
    source_->setActive(false);
    animation_.stop();
}

void PreviewWidget::refreshAnimation() {
    const VideoEffect effect = model_->effect();
    const bool running = model_->isCameraRunning();
    // While the camera runs, every published frame repaints the preview, particles included.
    const bool wants = isVisible() && model_->showEffectPreview() && fixedTime_ < 0 && !running &&
                       preview::isAnimated(effect);
    if (wants && !animation_.isActive()) animation_.start();
    if (!wants && animation_.isActive()) animation_.stop();
    update();
}

void PreviewWidget::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QRect r = pictureRect();
    QPainterPath clip;
    clip.addRoundedRect(r, 10, 10);
    p.setClipPath(clip);
    p.setRenderHint(QPainter::Antialiasing);
    const VideoEffect effect = model_->effect();
    const bool animate = model_->showEffectPreview();
    // A paused preview holds still at the reference moment.
    const double t = fixedTime_ >= 0 ? fixedTime_ : (animate ? frameTimeNow() : 0.0);
    const QImage& frame = source_->image();
    if (model_->isCameraRunning() && !frame.isNull()) {
        const QSize fs = frame.size();
        const QRect src((fs.width() - int(r.width() * devicePixelRatioF())) / 2,
                        (fs.height() - int(r.height() * devicePixelRatioF())) / 2, int(r.width() * devicePixelRatioF()),
                        int(r.height() * devicePixelRatioF()));
        p.drawImage(r, frame, src.intersected(frame.rect()).isEmpty() ? frame.rect() : src);
    } else {
        const QSize device = (QSizeF(r.size()) * devicePixelRatioF()).toSize();
        p.drawImage(r, preview::treatedBackground(effect, device));
        preview::paintImitation(p, QRectF(r), effect, t);
    }
    if (animate) preview::paintOverlays(p, QRectF(r), effect, t);
    if (!model_->isCameraRunning()) {
        // Says plainly that this is not yet the camera.
        const QString note = QStringLiteral("Preview — press Start Camera Feed");
        QFont f = font();
        f.setPointSizeF(f.pointSizeF() * 0.9);
        p.setFont(f);
        const QRect tr = p.fontMetrics().boundingRect(note).adjusted(-8, -4, 8, 4);
        const QRect box(r.left() + 10, r.top() + 10, tr.width(), tr.height());
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0, 0, 0, 140));
        p.drawRoundedRect(box, 6, 6);
        p.setPen(Qt::white);
        p.drawText(box, Qt::AlignCenter, note);
    }
}

// ---- VideoPaneWidget ----

VideoPaneWidget::VideoPaneWidget(VideoPaneModel* model, QWidget* parent) : QWidget(parent), model_(model) {
    setObjectName(QStringLiteral("videoPane"));
    setAttribute(Qt::WA_StyledBackground, false);
    auto* l = new QVBoxLayout(this);
    l->setContentsMargins(12, 8, 12, 8);
    l->setSpacing(4);
    auto* head = new QHBoxLayout;
    auto* title = sectionTitle(QString::fromUtf8(videopane::kTitle), this);
    title->setObjectName(QStringLiteral("videoPaneTitle"));
    title->setWordWrap(true);
    head->addWidget(title, 1);
    live_ = new QPushButton(symbols::icon(QStringLiteral("camera.fill")), QString::fromUtf8(videopane::kSwitchToLiveLabel), this);
    live_->setObjectName(QStringLiteral("switchToLiveButton"));
    live_->setToolTip(QString::fromUtf8(videopane::kSwitchToLiveHelp));
    head->addWidget(live_, 0, Qt::AlignVCenter);
    l->addLayout(head);

    // One row: transport, position, volume and the picture-in-picture settings.
    auto* row = new QHBoxLayout;
    row->setSpacing(4);
    rewind_ = symbolButton(QStringLiteral("backward.end.fill"), this, QStringLiteral("rewindButton"));
    rewind_->setToolTip(QString::fromUtf8(videopane::kRewindHelp));
    playPause_ = symbolButton(QStringLiteral("play.fill"), this, QStringLiteral("playPauseButton"));
    playPause_->setToolTip(QString::fromUtf8(videopane::kPlayHelp));
    playPause_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    stop_ = symbolButton(QStringLiteral("stop.fill"), this, QStringLiteral("stopButton"));
    stop_->setToolTip(QString::fromUtf8(videopane::kStopHelp));
    row->addWidget(rewind_);
    row->addWidget(playPause_);
    row->addWidget(stop_);
    elapsed_ = new QLabel(this);
    elapsed_->setObjectName(QStringLiteral("elapsedLabel"));
    total_ = new QLabel(this);
    total_->setObjectName(QStringLiteral("totalLabel"));
    progress_ = new QSlider(Qt::Horizontal, this);
    progress_->setObjectName(QStringLiteral("progressSlider"));
    progress_->setToolTip(QString::fromUtf8(videopane::kProgressHelp));
    progress_->setRange(0, kSliderSteps);
    progress_->setMinimumWidth(60);
    row->addSpacing(4);
    row->addWidget(elapsed_);
    row->addWidget(progress_, 1);
    row->addWidget(total_);
    row->addSpacing(8);
    volumeIcon_ = new symbols::SymbolView(QStringLiteral("speaker.wave.2.fill"), 16, this);
    volumeIcon_->setObjectName(QStringLiteral("volumeSymbol"));
    volume_ = new QSlider(Qt::Horizontal, this);
    volume_->setObjectName(QStringLiteral("volumeSlider"));
    volume_->setRange(0, kSliderSteps);
    volume_->setToolTip(QString::fromUtf8(videopane::kVolumeHelp));
    volume_->setMinimumWidth(50);
    volume_->setMaximumWidth(110);
    row->addWidget(volumeIcon_);
    row->addWidget(volume_, 0);
    pip_ = symbolButton(QStringLiteral("pip"), this, QStringLiteral("pipButton"));
    pip_->setToolTip(QString::fromUtf8(videopane::kPiPHelp));
    row->addSpacing(4);
    row->addWidget(pip_);
    l->addLayout(row);

    connect(live_, &QPushButton::clicked, model_, &VideoPaneModel::switchToLiveCamera);
    connect(rewind_, &QToolButton::clicked, model_, &VideoPaneModel::rewind);
    connect(playPause_, &QToolButton::clicked, model_, &VideoPaneModel::togglePlayPause);
    connect(stop_, &QToolButton::clicked, model_, &VideoPaneModel::stop);
    connect(progress_, &QSlider::sliderPressed, model_, &VideoPaneModel::beginScrub);
    connect(progress_, &QSlider::sliderMoved, this, [this](int v) {
        model_->scrubTo(fromSlider(v, 0, std::max(model_->duration(), 1e-9)));
    });
    connect(progress_, &QSlider::sliderReleased, model_, &VideoPaneModel::endScrub);
    connect(volume_, &QSlider::valueChanged, this, [this](int v) { model_->setVolume(fromSlider(v, 0, 1)); });
    connect(pip_, &QToolButton::clicked, this, &VideoPaneWidget::showPiPPopover);
    connect(model_, &VideoPaneModel::changed, this, &VideoPaneWidget::refresh);
    refresh();
}

void VideoPaneWidget::paintEvent(QPaintEvent*) {
    // A card of the window's colour, nearly opaque, so the controls read over any picture.
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QColor fill = palette().color(QPalette::Window);
    fill.setAlpha(236);
    p.setPen(QPen(palette().color(QPalette::Mid), 1));
    p.setBrush(fill);
    p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);
}

void VideoPaneWidget::refresh() {
    const bool shown = model_->isVisible();
    if (shown != isVisibleTo(parentWidget())) {
        setVisible(shown);
        if (shown) raise();
        emit visibilityChanged();
    }
    setSymbol(playPause_, model_->playPauseSymbol());
    playPause_->setText(model_->isPlaying() ? model_->playPauseLabel() : QString());
    const double d = model_->duration();
    if (!progress_->isSliderDown()) {
        QSignalBlocker b(progress_);
        progress_->setValue(d > 0 ? toSlider(model_->sliderValue(), 0, d) : 0);
    }
    elapsed_->setText(model_->elapsedText());
    total_->setText(model_->totalText());
    {
        QSignalBlocker b(volume_);
        volume_->setValue(toSlider(model_->volume(), 0, 1));
    }
    volumeIcon_->setSymbol(model_->volumeSymbol());
    setSymbol(pip_, model_->pipSymbol());
}

QWidget* VideoPaneWidget::showPiPPopover() {
    model_->setShowPiPSettings(true);
    auto* pop = new QFrame(this, Qt::Popup);
    pop->setObjectName(QStringLiteral("pipPopover"));
    pop->setAttribute(Qt::WA_DeleteOnClose);
    pop->setFrameShape(QFrame::StyledPanel);
    auto* l = new QVBoxLayout(pop);
    auto* toggle = new QCheckBox(QString::fromUtf8(videopane::kPiPToggleLabel), pop);
    toggle->setToolTip(QString::fromUtf8(videopane::kPiPToggleHelp));
    toggle->setChecked(model_->pipEnabled());
    l->addWidget(toggle);
    auto* cornerRow = new QHBoxLayout;
    cornerRow->addWidget(new QLabel(QString::fromUtf8(videopane::kCornerLabel), pop));
    auto* corner = new QComboBox(pop);
    for (OverlayPlacement pl : kAllOverlayPlacements)
        corner->addItem(symbols::icon(videopane::cornerSymbol(pl)), videopane::cornerTitle(pl), int(pl));
    corner->setCurrentIndex(int(model_->pipPlacement()));
    cornerRow->addWidget(corner);
    l->addLayout(cornerRow);
    auto* sizeRow = new QHBoxLayout;
    sizeRow->addWidget(new QLabel(QString::fromUtf8(videopane::kSizeLabel), pop));
    auto* size = new QSlider(Qt::Horizontal, pop);
    size->setRange(0, kSliderSteps);
    size->setValue(toSlider(model_->pipWidthFraction(), videopane::kPiPMinFraction, videopane::kPiPMaxFraction));
    auto* sizeText = new QLabel(model_->pipSizeText(), pop);
    sizeRow->addWidget(size, 1);
    sizeRow->addWidget(sizeText);
    l->addLayout(sizeRow);
    connect(toggle, &QCheckBox::toggled, model_, &VideoPaneModel::setPiPEnabled);
    connect(corner, &QComboBox::currentIndexChanged, this, [this, corner](int) {
        model_->setPiPPlacement(OverlayPlacement(corner->currentData().toInt()));
    });
    connect(size, &QSlider::valueChanged, this, [this, sizeText](int v) {
        model_->setPiPWidthFraction(fromSlider(v, videopane::kPiPMinFraction, videopane::kPiPMaxFraction));
        sizeText->setText(model_->pipSizeText());
    });
    connect(pop, &QObject::destroyed, model_, [m = QPointer<VideoPaneModel>(model_)] {
        if (m) m->setShowPiPSettings(false);
    });
    // Sized once shown (the style settles its frame then); on screen whatever the window's place,
    // above the button when there is no room below.
    pop->show();
    pop->adjustSize();
    placePopover(pop, pip_);
    return pop;
}

// ---- MainWindow ----

MainWindow::MainWindow(OstrelaApp* app, QWidget* parent) : QMainWindow(parent), app_(app) {
    initUiResources();
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(QString::fromLatin1(kMainWindowTitle));
    setMinimumSize(layout::kMainWindowMinimumSize);
    // Fits the screen it opens on, title bar and panel included (1366x768 laptops too).
    if (QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen())
        resize(defaultMainWindowSize(s->availableGeometry(), s->geometry()));
    else
        resize(layout::kPreferredMainWindowSize);

    ContentViewModel::Dependencies deps;
    deps.libraryController = app_->libraryController();
    deps.extensionManager = app_->extensionManager();
    deps.weatherService = app_->weatherService();
    deps.nowPlayingService = app_->nowPlayingService();
    deps.rssFeedService = app_->rssFeedService();
    deps.modes = app_->lowerThirdModes();
    deps.presets = app_->lowerThirdPresets();
    deps.captureBackend = app_->captureBackend();
    deps.openWindow = [a = QPointer<OstrelaApp>(app_)](const QString& id) {
        if (a) a->openWindow(id);
    };
    model_ = std::make_unique<ContentViewModel>(std::move(deps));
    sidebarModel_ = std::make_unique<LibrarySidebarModel>(app_->libraryController());
    videoModel_ = std::make_unique<VideoPaneModel>(model_->videoPlayback(), app_->libraryController());

    app_->installMenus(menuBar());

    auto* splitter = new QSplitter(Qt::Horizontal, this);
    splitter->setObjectName(QStringLiteral("columns"));
    sidebar_ = new LibrarySidebar(sidebarModel_.get(), splitter);
    splitter->addWidget(sidebar_);

    auto* scroll = new QScrollArea(splitter);
    scroll->setObjectName(QStringLiteral("controlScroll"));
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll_ = scroll;
    auto* column = new QWidget(scroll);
    column->setObjectName(QStringLiteral("controlColumn"));
    column_ = column;
    auto* cl = new QVBoxLayout(column);
    cl->setContentsMargins(16, 12, 16, 16);
    cl->setSpacing(12);
    cl->addWidget(buildApprovalBanner());
    cl->addWidget(buildCameraBar());
    preview_ = new PreviewWidget(model_.get(), column);
    cl->addWidget(preview_);
    effectSection_ = buildEffectSection();
    cl->addWidget(effectSection_);
    cl->addWidget(buildFloatingImageSection());
    cl->addWidget(buildLowerThirdSection());
    cl->addStretch();
    scroll->setWidget(column);
    // The video pane floats over the preview's lower part, above the column, inside the view.
    videoPane_ = new VideoPaneWidget(videoModel_.get(), scroll->viewport());
    connect(videoPane_, &VideoPaneWidget::visibilityChanged, this, &MainWindow::placeVideoPane);
    connect(scroll->verticalScrollBar(), &QScrollBar::valueChanged, this, &MainWindow::placeVideoPane);
    for (QObject* o : {static_cast<QObject*>(scroll->viewport()), static_cast<QObject*>(column),
                       static_cast<QObject*>(preview_), static_cast<QObject*>(videoPane_)})
        o->installEventFilter(this);
    wheelGuard_ = new WheelGuard(column, scroll);
    splitter->addWidget(scroll);
    splitter->setStretchFactor(0, 0);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({260, 900});
    setCentralWidget(splitter);

    connect(model_.get(), &ContentViewModel::changed, this, &MainWindow::refresh);
    connect(model_.get(), &ContentViewModel::cameraChanged, this, &MainWindow::refreshCamera);
    connect(model_.get(), &ContentViewModel::statsChanged, this, [this] { stats_->setText(model_->statsLine()); });
    connect(app_, &OstrelaApp::darkModeChanged, this, &MainWindow::refreshSymbols);
    settingsPoll_.setInterval(300);
    connect(&settingsPoll_, &QTimer::timeout, this, [this] {
        model_->pollSettings();
        app_->applyAppearance();
    });
    refresh();
}

MainWindow::~MainWindow() = default;

QWidget* MainWindow::buildApprovalBanner() {
    banner_ = card(this, QStringLiteral("approvalBanner"));
    banner_->setStyleSheet(QStringLiteral("#approvalBanner { background: rgba(255, 179, 0, 45); border: 1px solid rgba(255, 160, 0, 160); border-radius: 8px; }"));
    auto* l = new QHBoxLayout(banner_);
    auto* icon = new QLabel(banner_);
    icon->setPixmap(symbols::icon(QString::fromLatin1(content::kApprovalSymbol), QColor(0xE6, 0x9A, 0x00)).pixmap(28, 28));
    l->addWidget(icon);
    auto* texts = new QVBoxLayout;
    auto* title = new QLabel(QStringLiteral("<b>") + QString::fromUtf8(content::kApprovalTitle) + QStringLiteral("</b>"), banner_);
    auto* text = new QLabel(QString::fromUtf8(content::kApprovalText), banner_);
    text->setWordWrap(true);
    texts->addWidget(title);
    texts->addWidget(text);
    l->addLayout(texts, 1);
    auto* open = new QPushButton(QString::fromUtf8(content::kOpenCameraHelp), banner_);
    open->setObjectName(QStringLiteral("openSystemSettingsButton"));
    connect(open, &QPushButton::clicked, model_.get(), &ContentViewModel::openSystemSettings);
    l->addWidget(open);
    return banner_;
}

QWidget* MainWindow::buildCameraBar() {
    auto* bar = card(this, QStringLiteral("cameraBar"));
    auto* outer = new QVBoxLayout(bar);
    auto* l = new QHBoxLayout;
    cameraButton_ = new QPushButton(bar);
    cameraButton_->setObjectName(QStringLiteral("cameraButton"));
    cameraButton_->setMinimumWidth(170);
    connect(cameraButton_, &QPushButton::clicked, model_.get(), &ContentViewModel::toggleCamera);
    l->addWidget(cameraButton_);
    statusWord_ = new QLabel(bar);
    statusWord_->setObjectName(QStringLiteral("statusWord"));
    l->addWidget(statusWord_);
    clock_ = new QLabel(bar);
    clock_->setObjectName(QStringLiteral("broadcastClock"));
    QFont mono(QStringLiteral("DejaVu Sans Mono"));
    mono.setPointSizeF(font().pointSizeF());
    clock_->setFont(mono);
    l->addWidget(clock_);
    l->addStretch();
    stats_ = new QLabel(bar);
    stats_->setObjectName(QStringLiteral("statsLine"));
    stats_->setFont(mono);
    l->addWidget(stats_);
    outer->addLayout(l);
    cameraNote_ = new QLabel(bar);
    cameraNote_->setObjectName(QStringLiteral("cameraNote"));
    cameraNote_->setWordWrap(true);
    outer->addWidget(cameraNote_);
    // Under the buttons, never over them: whether other apps can see the camera, and the fix.
    reachabilityRow_ = new QWidget(bar);
    reachabilityRow_->setObjectName(QStringLiteral("cameraReachabilityRow"));
    auto* row = new QHBoxLayout(reachabilityRow_);
    row->setContentsMargins(0, 0, 0, 0);
    reachabilityIcon_ = new QLabel(reachabilityRow_);
    row->addWidget(reachabilityIcon_, 0, Qt::AlignTop);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    reachabilityText_ = new QLabel(reachabilityRow_);
    reachabilityText_->setObjectName(QStringLiteral("cameraReachabilityText"));
    reachabilityText_->setWordWrap(true);
    texts->addWidget(reachabilityText_);
    reachabilityDetail_ = new QLabel(reachabilityRow_);
    reachabilityDetail_->setObjectName(QStringLiteral("cameraReachabilityDetail"));
    reachabilityDetail_->setWordWrap(true);
    reachabilityDetail_->setEnabled(false);  // drawn as secondary text
    texts->addWidget(reachabilityDetail_);
    row->addLayout(texts, 1);
    reachabilityButton_ = new QPushButton(reachabilityRow_);
    reachabilityButton_->setObjectName(QStringLiteral("cameraReachabilityButton"));
    connect(reachabilityButton_, &QPushButton::clicked, model_.get(), &ContentViewModel::fixCameraReachability);
    row->addWidget(reachabilityButton_, 0, Qt::AlignTop);
    outer->addWidget(reachabilityRow_);
    connect(model_.get(), &ContentViewModel::cameraReachabilityChanged, this, &MainWindow::refreshReachability);
    return bar;
}

QWidget* MainWindow::buildEffectSection() {
    auto* box = card(this, QStringLiteral("effectSection"));
    auto* l = new QHBoxLayout(box);
    effectHeading_ = sectionTitle(QString(), box);
    effectHeading_->setObjectName(QStringLiteral("effectHeading"));
    l->addWidget(effectHeading_);
    l->addStretch();
    l->addWidget(new QLabel(QString::fromUtf8(content::kEffectPickerLabel), box));
    effectPicker_ = new QComboBox(box);
    effectPicker_->setObjectName(QStringLiteral("effectPicker"));
    for (const auto& info : effects::effectTable())
        effectPicker_->addItem(symbols::icon(QString::fromLatin1(info.symbol)), QString::fromUtf8(info.displayName), int(info.effect));
    connect(effectPicker_, &QComboBox::activated, this, [this](int index) {
        model_->setEffect(VideoEffect(effectPicker_->itemData(index).toInt()));
    });
    l->addWidget(effectPicker_);
    effectPreviewToggle_ = symbolButton(QStringLiteral("eye.fill"), box, QStringLiteral("effectPreviewToggle"));
    connect(effectPreviewToggle_, &QToolButton::clicked, model_.get(), &ContentViewModel::toggleEffectPreview);
    l->addWidget(effectPreviewToggle_);
    return box;
}

QToolButton* MainWindow::quickColorButton(const QString& title, std::function<void(int)> choose) {
    auto* b = new QToolButton(this);
    b->setText(title);
    b->setIcon(symbols::icon(QStringLiteral("paintpalette")));
    b->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    b->setPopupMode(QToolButton::InstantPopup);
    auto* menu = new QMenu(b);
    for (int i = 0; i < int(std::size(kQuickColors)); ++i) {
        const QuickColor& c = kQuickColors[i];
        QAction* a = menu->addAction(swatchIcon(QColor(QLatin1Char('#') + QLatin1String(c.hex))), QString::fromLatin1(c.name));
        connect(a, &QAction::triggered, this, [choose, i] { choose(i); });
    }
    b->setMenu(menu);
    return b;
}

QWidget* MainWindow::buildFloatingImageSection() {
    auto* box = card(this, QStringLiteral("floatingImageSection"));
    auto* outer = new QVBoxLayout(box);
    outer->addWidget(sectionTitle(QString::fromUtf8(content::kFloatingImageTitle), box));
    floatingStack_ = new QStackedWidget(box);
    floatingStack_->setObjectName(QStringLiteral("floatingImageStack"));

    auto* controls = new QWidget(floatingStack_);
    controls->setObjectName(QStringLiteral("floatingImageControls"));
    auto* g = new QGridLayout(controls);
    g->setContentsMargins(0, 0, 0, 0);
    auto* toggles = new QHBoxLayout;
    overlayToggle_ = symbolButton(QStringLiteral("eye.fill"), controls, QStringLiteral("overlayImageToggle"));
    fancyToggle_ = symbolButton(QStringLiteral("sparkles"), controls, QStringLiteral("fancyModeToggle"));
    fancyToggle_->setCheckable(true);
    borderToggle_ = symbolButton(QStringLiteral("square.dashed"), controls, QStringLiteral("borderToggle"));
    borderToggle_->setCheckable(true);
    auto* borderColor = quickColorButton(QString::fromUtf8(content::kQuickBorderColor),
                                         [this](int i) { model_->chooseQuickBorderColor(i); });
    borderColor->setObjectName(QStringLiteral("quickBorderColor"));
    toggles->addWidget(overlayToggle_);
    toggles->addWidget(fancyToggle_);
    toggles->addWidget(borderToggle_);
    toggles->addWidget(borderColor);
    toggles->addStretch();
    g->addLayout(toggles, 0, 0, 1, 3);
    connect(overlayToggle_, &QToolButton::clicked, model_.get(), &ContentViewModel::toggleOverlayImage);
    connect(fancyToggle_, &QToolButton::clicked, model_.get(), &ContentViewModel::toggleFancyMode);
    connect(borderToggle_, &QToolButton::clicked, model_.get(), &ContentViewModel::toggleBorder);

    g->addWidget(new QLabel(QString::fromUtf8(content::kCornerLabel), controls), 1, 0);
    auto* cornersRow = new QHBoxLayout;
    for (OverlayPlacement pl : kAllOverlayPlacements) {
        auto* glyph = new PlacementGlyph(pl, controls);
        glyph->setObjectName(QStringLiteral("corner_") + QString::fromLatin1(rawValue(pl)));
        connect(glyph, &QAbstractButton::clicked, this, [this, pl] { model_->setPlacement(pl); });
        corners_ << glyph;
        cornersRow->addWidget(glyph);
    }
    cornersRow->addStretch();
    g->addLayout(cornersRow, 1, 1, 1, 2);

    g->addWidget(new QLabel(QString::fromUtf8(content::kSizeLabel), controls), 2, 0);
    sizeSlider_ = new QSlider(Qt::Horizontal, controls);
    sizeSlider_->setObjectName(QStringLiteral("sizeSlider"));
    sizeSlider_->setRange(0, kSliderSteps);
    connect(sizeSlider_, &QSlider::valueChanged, this, [this](int v) {
        model_->setWidthFraction(fromSlider(v, content::kOverlayMinFraction, content::kOverlayMaxFraction));
    });
    auto* sizeRow = new QHBoxLayout;
    sizeRow->addWidget(sizeSlider_, 1);
    sizeLabel_ = new QLabel(controls);
    sizeLabel_->setObjectName(QStringLiteral("sizeLabel"));
    sizeLabel_->setMinimumWidth(40);
    sizeRow->addWidget(sizeLabel_);
    fullScreen_ = symbolButton(QStringLiteral("arrow.up.left.and.arrow.down.right"), controls, QStringLiteral("fullScreenToggle"));
    connect(fullScreen_, &QToolButton::clicked, model_.get(), &ContentViewModel::toggleFullScreen);
    sizeRow->addWidget(fullScreen_);
    g->addLayout(sizeRow, 2, 1, 1, 2);
    floatingStack_->addWidget(controls);

    auto* unavailable = new QLabel(QString::fromUtf8(content::kFloatingImageUnavailable), floatingStack_);
    unavailable->setObjectName(QStringLiteral("floatingImageUnavailable"));
    unavailable->setWordWrap(true);
    floatingStack_->addWidget(unavailable);
    outer->addWidget(floatingStack_);
    return box;
}

QWidget* MainWindow::buildLowerThirdSection() {
    auto* box = card(this, QStringLiteral("lowerThirdSection"));
    auto* l = new QVBoxLayout(box);
    auto* head = new QHBoxLayout;
    head->addWidget(sectionTitle(QString::fromUtf8(content::kLowerThirdTitle), box));
    head->addStretch();
    barToggle_ = new QCheckBox(QString::fromUtf8(content::kShowBarToggle), box);
    barToggle_->setObjectName(QStringLiteral("lowerThirdToggle"));
    connect(barToggle_, &QCheckBox::toggled, model_.get(), &ContentViewModel::setLowerThirdEnabled);
    head->addWidget(barToggle_);
    l->addLayout(head);

    auto* opacityRow = new QHBoxLayout;
    auto* opacityTitle = new QLabel(QString::fromUtf8(content::kTransparencyLabel), box);
    opacityTitle->setToolTip(QString::fromUtf8(content::kTransparencyHelp));
    opacityRow->addWidget(opacityTitle);
    opacitySlider_ = new QSlider(Qt::Horizontal, box);
    opacitySlider_->setObjectName(QStringLiteral("opacitySlider"));
    opacitySlider_->setRange(0, kSliderSteps);
    opacitySlider_->setToolTip(QString::fromUtf8(content::kTransparencyHelp));
    connect(opacitySlider_, &QSlider::valueChanged, this, [this](int v) { model_->setBarOpacity(fromSlider(v, 0, 1)); });
    opacityRow->addWidget(opacitySlider_, 1);
    opacityLabel_ = new QLabel(box);
    opacityLabel_->setObjectName(QStringLiteral("opacityLabel"));
    opacityLabel_->setMinimumWidth(40);
    opacityRow->addWidget(opacityLabel_);
    l->addLayout(opacityRow);

    auto* textRow = new QHBoxLayout;
    barText_ = new QLineEdit(box);
    barText_->setObjectName(QStringLiteral("lowerThirdTextField"));
    connect(barText_, &QLineEdit::textEdited, model_.get(), &ContentViewModel::setLowerThirdText);
    textRow->addWidget(barText_, 1);
    textOverride_ = new QPushButton(QString::fromUtf8(lowerthird::kTextOverrideLabel), box);
    textOverride_->setObjectName(QStringLiteral("textOverrideButton"));
    textOverride_->setToolTip(QString::fromUtf8(lowerthird::kTextOverrideHelp));
    connect(textOverride_, &QPushButton::clicked, model_.get(), &ContentViewModel::textOverride);
    textRow->addWidget(textOverride_);
    emoji_ = symbolButton(QStringLiteral("face.smiling"), box, QStringLiteral("insertEmojiButton"));
    emoji_->setToolTip(QString::fromUtf8(content::kInsertEmoji));
    emoji_->setAccessibleName(QString::fromUtf8(content::kInsertEmoji));
    connect(emoji_, &QToolButton::clicked, this, &MainWindow::showEmojiPalette);
    textRow->addWidget(emoji_);
    l->addLayout(textRow);

    // Wraps on a narrow window instead of widening it.
    auto* styleRow = new FlowLayout(nullptr, 8, 6);
    auto* alignGroup = new QWidget(box);
    auto* alignRow = new QHBoxLayout(alignGroup);
    alignRow->setContentsMargins(0, 0, 0, 0);
    for (LowerThirdTextAlignment a : kAllTextAlignments) {
        auto* b = symbolButton(alignmentSymbol(a), alignGroup, QStringLiteral("align_") + QString::fromLatin1(rawValue(a)));
        b->setToolTip(alignmentHelp(a));
        b->setCheckable(true);
        connect(b, &QToolButton::clicked, this, [this, a] { model_->setTextAlignment(a); });
        alignButtons_ << b;
        alignRow->addWidget(b);
    }
    styleRow->addWidget(alignGroup);
    auto* barColor = quickColorButton(QString::fromUtf8(content::kQuickBarColor), [this](int i) { model_->chooseQuickBarColor(i); });
    barColor->setObjectName(QStringLiteral("quickBarColor"));
    auto* textColor = quickColorButton(QString::fromUtf8(content::kQuickTextColor), [this](int i) { model_->chooseQuickTextColor(i); });
    textColor->setObjectName(QStringLiteral("quickTextColor"));
    styleRow->addWidget(barColor);
    styleRow->addWidget(textColor);
    presets_ = symbolButton(QStringLiteral("list.bullet.rectangle"), box, QStringLiteral("presetsMenuButton"));
    presets_->setToolTip(QString::fromUtf8(content::kPresetsHelp));
    presets_->setPopupMode(QToolButton::InstantPopup);
    auto* presetsMenu = new QMenu(presets_);
    presets_->setMenu(presetsMenu);
    connect(presetsMenu, &QMenu::aboutToShow, this, &MainWindow::rebuildPresetsMenu);
    styleRow->addWidget(presets_);
    styleRow->addItem(new QSpacerItem(0, 0, QSizePolicy::Expanding, QSizePolicy::Minimum));
    design_ = new QPushButton(symbols::icon(QStringLiteral("textformat")), QString::fromUtf16(content::kLowerThirdDesign), box);
    design_->setObjectName(QStringLiteral("lowerThirdDesignButton"));
    connect(design_, &QPushButton::clicked, model_.get(), &ContentViewModel::openLowerThirdDesign);
    styleRow->addWidget(design_);
    l->addLayout(styleRow);
    rebuildPresetsMenu();
    return box;
}

void MainWindow::rebuildPresetsMenu() {
    QMenu* menu = presets_->menu();
    menu->clear();
    for (const PresetMenuEntry& e : model_->presetsMenu()) {
        switch (e.kind) {
        case PresetMenuEntry::Kind::emptyNote: menu->addAction(e.title)->setEnabled(false); break;
        case PresetMenuEntry::Kind::preset:
            menu->addAction(e.title, this, [this, text = e.title] { model_->choosePreset(text); });
            break;
        case PresetMenuEntry::Kind::saveCurrent: {
            menu->addSeparator();
            QAction* a = menu->addAction(e.title, this, [this] { model_->saveCurrentTextAsPreset(); });
            a->setEnabled(e.enabled);
            break;
        }
        case PresetMenuEntry::Kind::manage: menu->addAction(e.title, this, &MainWindow::showManagePresets); break;
        }
    }
}

void MainWindow::showManagePresets() {
    LowerThirdPresets* presets = model_->dependencies().presets;
    if (!presets) return;
    auto* d = new QDialog(this);
    d->setObjectName(QStringLiteral("managePresetsSheet"));
    d->setWindowTitle(QString::fromUtf8(lowerthird::kPresetsSheetTitle));
    d->setAttribute(Qt::WA_DeleteOnClose);
    auto* l = new QVBoxLayout(d);
    l->addWidget(sectionTitle(QString::fromUtf8(lowerthird::kPresetsSheetTitle), d));
    auto* list = new QListWidget(d);
    list->setFixedHeight(lowerthird::kPresetsListHeight);
    list->setMinimumWidth(360);
    list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list->setDragDropMode(QAbstractItemView::InternalMove);
    l->addWidget(list);
    auto* remove = new QPushButton(QString::fromUtf8(lowerthird::kRemovePresetLabel), d);
    l->addWidget(remove, 0, Qt::AlignLeft);
    auto* addRow = new QHBoxLayout;
    auto* field = new QLineEdit(d);
    field->setPlaceholderText(QString::fromUtf8(lowerthird::kNewPresetPrompt));
    auto* add = new QPushButton(QString::fromUtf8(lowerthird::kAddLabel), d);
    addRow->addWidget(field, 1);
    addRow->addWidget(add);
    l->addLayout(addRow);
    auto* done = new QPushButton(QString::fromUtf8(lowerthird::kDoneLabel), d);
    done->setDefault(true);
    l->addWidget(done, 0, Qt::AlignRight);
    auto fill = [list, presets] {
        list->clear();
        list->addItems(presets->presets());
    };
    fill();
    connect(presets, &LowerThirdPresets::presetsChanged, list, fill);
    connect(remove, &QPushButton::clicked, d, [list, presets] {
        QList<int> rows;
        for (QListWidgetItem* i : list->selectedItems()) rows << list->row(i);
        presets->removePresets(rows);
    });
    connect(list->model(), &QAbstractItemModel::rowsMoved, d, [list, presets] {
        QStringList now;
        for (int i = 0; i < list->count(); ++i) now << list->item(i)->text();
        presets->setPresets(now);
    });
    auto addNow = [field, presets] {
        if (presets->addPreset(field->text())) field->clear();
    };
    connect(add, &QPushButton::clicked, d, addNow);
    connect(field, &QLineEdit::returnPressed, d, addNow);
    connect(done, &QPushButton::clicked, d, &QDialog::accept);
    d->open();
}

void MainWindow::showEmojiPalette() {
    // The desktop has no shared character palette: a small grid of our own, typing into the field.
    barText_->setFocus();
    static const char* const kEmoji[] = {"😀", "😂", "😍", "🥳", "😎", "🤔", "👍", "👏", "🙏", "🔥", "🎉", "❤️",
                                         "⭐", "✅", "⚡", "🎙️", "🎬", "📺", "☕", "🌧️", "☀️", "❄️", "🎵", "📣"};
    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    auto* grid = new QWidget(menu);
    auto* gl = new QGridLayout(grid);
    gl->setSpacing(2);
    int i = 0;
    for (const char* e : kEmoji) {
        auto* b = new QToolButton(grid);
        b->setText(QString::fromUtf8(e));
        b->setAutoRaise(true);
        QFont f = b->font();
        f.setPointSizeF(f.pointSizeF() * 1.4);
        b->setFont(f);
        connect(b, &QToolButton::clicked, this, [this, menu, e] {
            barText_->insert(QString::fromUtf8(e));
            model_->setLowerThirdText(barText_->text());
            menu->close();
            barText_->setFocus();
        });
        gl->addWidget(b, i / 8, i % 8);
        ++i;
    }
    auto* action = new QWidgetAction(menu);
    action->setDefaultWidget(grid);
    menu->addAction(action);
    // On screen, above the button when there is no room below it.
    QScreen* screen = emoji_->screen() ? emoji_->screen() : QGuiApplication::primaryScreen();
    const QRect anchor(emoji_->mapToGlobal(QPoint(0, 0)), emoji_->size());
    menu->popup(screen ? popoverPosition(anchor, menu->sizeHint(), screen->availableGeometry()) : anchor.bottomLeft());
}

void MainWindow::refreshCamera() {
    cameraButton_->setText(model_->cameraButtonTitle());
    cameraButton_->setIcon(symbols::icon(model_->isCameraRunning() ? QStringLiteral("stop.circle.fill") : QStringLiteral("camera.fill")));
    statusWord_->setText(model_->statusWord());
    statusWord_->setStyleSheet(model_->isCameraRunning() ? QStringLiteral("color: #2E7D32; font-weight: bold;")
                                                         : QStringLiteral("font-weight: bold;"));
    clock_->setText(model_->broadcastClockText());
    QString note;
    const QString error = model_->cameraError();
    if (!error.isEmpty()) note = error;
    else if (model_->isCameraRunning() && model_->usesTestPattern()) note = QString::fromUtf8(content::kNoCameraNote);
    cameraNote_->setText(note);
    cameraNote_->setStyleSheet(error.isEmpty() ? QString() : QStringLiteral("color: #D32F2F;"));
    cameraNote_->setVisible(!note.isEmpty());
}

void MainWindow::refreshReachability() {
    const CameraReachabilityNote note = model_->cameraReachability();
    reachabilityRow_->setVisible(note.visible);
    if (!note.visible) return;
    reachabilityIcon_->setPixmap(
        symbols::icon(QString::fromLatin1(content::kApprovalSymbol), QColor(0xE6, 0x9A, 0x00)).pixmap(18, 18));
    reachabilityText_->setText(note.text);
    reachabilityDetail_->setText(note.detail);
    reachabilityDetail_->setVisible(!note.detail.isEmpty());
    reachabilityButton_->setText(note.actionTitle);
    reachabilityButton_->setVisible(note.action != CameraReachabilityNote::Action::none);
}

void MainWindow::refreshSymbols() {
    // Bundled symbols are drawn in the palette's colour: redraw them after a scheme change.
    for (QToolButton* b : findChildren<QToolButton*>()) {
        const QString s = b->property("symbol").toString();
        if (!s.isEmpty()) b->setIcon(symbols::icon(s));
    }
    refresh();
}

void MainWindow::refresh() {
    banner_->setVisible(model_->showsApprovalBanner());
    refreshCamera();
    refreshReachability();
    stats_->setText(model_->statsLine());

    effectHeading_->setText(model_->effectHeading());
    {
        QSignalBlocker b(effectPicker_);
        effectPicker_->setCurrentIndex(effectPicker_->findData(int(model_->effect())));
    }
    setSymbol(effectPreviewToggle_, model_->effectPreviewSymbol());
    effectPreviewToggle_->setToolTip(model_->effectPreviewHelp());

    floatingStack_->setCurrentIndex(model_->floatingImageAvailable() ? 0 : 1);
    setSymbol(overlayToggle_, model_->overlayImageSymbol());
    overlayToggle_->setToolTip(model_->overlayImageHelp());
    fancyToggle_->setChecked(model_->fancyModeEnabled());
    fancyToggle_->setToolTip(model_->fancyModeHelp());
    borderToggle_->setChecked(model_->borderEnabled());
    borderToggle_->setToolTip(model_->borderHelp());
    borderToggle_->setIcon(swatchIcon(QColor(QLatin1Char('#') + model_->borderColorHex())));
    for (PlacementGlyph* g : corners_) g->setSelected(g->placement() == model_->placement());
    {
        QSignalBlocker b(sizeSlider_);
        sizeSlider_->setValue(toSlider(model_->widthFraction(), content::kOverlayMinFraction, content::kOverlayMaxFraction));
    }
    sizeLabel_->setText(model_->sizeText());
    setSymbol(fullScreen_, model_->fullScreenSymbol());
    fullScreen_->setToolTip(model_->fullScreenHelp());

    {
        QSignalBlocker b(barToggle_);
        barToggle_->setChecked(model_->lowerThirdEnabled());
    }
    {
        QSignalBlocker b(opacitySlider_);
        opacitySlider_->setValue(toSlider(model_->barOpacity(), 0, 1));
    }
    opacityLabel_->setText(model_->barOpacityText());
    if (barText_->text() != model_->lowerThirdText()) {
        QSignalBlocker b(barText_);
        barText_->setText(model_->lowerThirdText());
    }
    barText_->setPlaceholderText(model_->lowerThirdPrompt());
    const QColor accent = palette().color(QPalette::Highlight);
    for (int i = 0; i < alignButtons_.size(); ++i) {
        const bool on = kAllTextAlignments[i] == model_->textAlignment();
        alignButtons_[i]->setChecked(on);
        const QString symbol = alignmentSymbol(kAllTextAlignments[i]);
        alignButtons_[i]->setIcon(on ? symbols::icon(symbol, accent) : symbols::icon(symbol));
    }
    videoPane_->refresh();
}

void MainWindow::showEvent(QShowEvent* e) {
    QMainWindow::showEvent(e);
    if (e->spontaneous() || visibleBefore_) return;
    visibleBefore_ = true;
    app_->applyAppearance();
    model_->appear();
    settingsPoll_.start();
    if (model_->shouldShowOnboarding()) app_->presentOnboardingIfNeeded(this);
}

void MainWindow::hideEvent(QHideEvent* e) {
    QMainWindow::hideEvent(e);
    if (e->spontaneous()) return;
    // The next showing is a new appearance: the start-up sequence runs again.
    visibleBefore_ = false;
    settingsPoll_.stop();
}

void MainWindow::changeEvent(QEvent* e) {
    QMainWindow::changeEvent(e);
    if (e->type() == QEvent::WindowStateChange && preview_) preview_->source()->setActive(!isMinimized());
    if (e->type() == QEvent::PaletteChange) refreshSymbols();
}

void MainWindow::closeEvent(QCloseEvent* e) {
    QMainWindow::closeEvent(e);
    if (!e->isAccepted()) return;
    // Nothing keeps publishing behind a closed main window: the feed stops, the other windows
    // close and the program ends.
    if (model_->isCameraRunning()) model_->toggleCamera();
    app_->closeWindows();
    QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* e) {
    const QEvent::Type t = e->type();
    if ((watched == scroll_->viewport() && t == QEvent::Resize) ||
        (watched == column_ && (t == QEvent::LayoutRequest || t == QEvent::Resize)))
        scheduleFit();
    else if ((watched == preview_ && (t == QEvent::Move || t == QEvent::Resize)) ||
             (watched == videoPane_ && t == QEvent::LayoutRequest))
        placeVideoPane();
    return QMainWindow::eventFilter(watched, e);
}

void MainWindow::scheduleFit() {
    if (fitPending_) return;
    fitPending_ = true;
    QTimer::singleShot(0, this, &MainWindow::fitPreview);
}

void MainWindow::fitPreview() {
    fitPending_ = false;
    // The picture grows with the column's width until the effect row would leave the view.
    auto* cl = static_cast<QBoxLayout*>(column_->layout());
    const int below = cl->spacing() + effectSection_->height() + cl->contentsMargins().bottom();
    const int cap = scroll_->viewport()->height() - preview_->geometry().top() - below;
    preview_->setMaximumHeight(std::max(preview_->minimumHeight(), cap));
    placeVideoPane();
}

void MainWindow::placeVideoPane() {
    QWidget* view = scroll_->viewport();
    if (!videoPane_->isVisibleTo(view)) return;
    constexpr int kMargin = 10;
    const QRect picture = preview_->pictureRect().translated(preview_->mapTo(view, QPoint(0, 0)));
    const int width = std::max(videoPane_->minimumSizeHint().width(),
                               std::min(picture.width(), view->width()) - 2 * kMargin);
    const int height = videoPane_->hasHeightForWidth() ? videoPane_->heightForWidth(width) : videoPane_->sizeHint().height();
    int x = picture.center().x() + 1 - width / 2;
    x = std::clamp(x, kMargin, std::max(kMargin, view->width() - kMargin - width));
    // Over the picture's lower part; kept inside the view, never above the picture's top (so never
    // over the camera bar), and riding along the top edge once the picture is scrolled away.
    int y = picture.bottom() + 1 - kMargin - height;
    y = std::min(y, view->height() - kMargin - height);
    y = std::max(y, std::max(picture.top(), 0) + kMargin);
    videoPane_->setGeometry(x, y, width, height);
    videoPane_->raise();
}

}  // namespace ostrela
