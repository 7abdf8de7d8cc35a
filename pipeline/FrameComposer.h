#pragma once
// The per-frame step between a captured picture and the shared frame buffer: fit, settings,
// bar reservation, effect, (cards and bar), crop and render. The camera engine and the render
// tool both call it once per frame on one thread; it keeps its renderer, arenas and effect
// objects between frames. Two composers share no frame state.
#include "effects/Effects.h"
#include "pipeline/CardCompositor.h"
#include "pipeline/LowerThirdBar.h"
#include "pipeline/Settings.h"
#include "pipeline/engine/Renderer.h"

#include <QImage>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace ostrela {

// Read from the settings anew on every call.
BarReservation readBarReservation();

// What a frame takes from the settings, read once at its start.
struct FrameSettings {
    VideoEffect effect = VideoEffect::none;
    BarReservation bars;
    // Only read while the bar is on.
    LowerThirdBarStyle barStyle;
    QString barText;

    // The bar's text comes from `barText` (the text modes above this layer choose it); none: no text.
    static FrameSettings read(const std::function<QString()>& barText);
};

class FrameComposer {
public:
    explicit FrameComposer(int threads = 0);

    // Gives the text the bar shows now; asked once per frame while the bar is on.
    using BarTextSource = std::function<QString()>;
    void setBarTextSource(BarTextSource source) { barText_ = std::move(source); }

    // cameraFrame: any size, premultiplied BGRA (other formats are converted). videoFrame: the
    // current video frame or null (camera mode). t: seconds since 2001-01-01 UTC. dst: kFrameBytes.
    void render(const QImage& cameraFrame, const QImage* videoFrame, double t, uint8_t* dst);
    // The same with the frame's settings given instead of read (the cards still read theirs).
    void render(const QImage& cameraFrame, const QImage* videoFrame, double t, uint8_t* dst, const FrameSettings& settings);

    // What the last frame used (for tests and the render tool).
    const BarReservation& lastBars() const { return settings_.bars; }
    VideoEffect lastEffect() const { return settings_.effect; }
    engine::Renderer& renderer() { return renderer_; }

    // The frame graph without rendering it.
    engine::Image compose(const QImage& cameraFrame, const QImage* videoFrame, double t);
    engine::Image compose(const QImage& cameraFrame, const QImage* videoFrame, double t, const FrameSettings& settings);

    // The frame aspect-filled to 1280×720 as fitToOutput does, with the resampling done once on
    // 8-bit pixels into `scratch` (reused from frame to frame); the result keeps the fitted extent.
    static engine::Image fitFrame(const QImage& frame, QImage* scratch);

    // The card compositor and bar renderer keep their caches (overlay picture, masks, bar
    // bitmap and ticker strip) between frames.
    CardCompositor& cards() { return cards_; }
    LowerThirdBarRenderer& bar() { return bar_; }
    // The effect objects, each made when its look is first shown and kept (trails, echo).
    effects::EffectSet& effects() { return effects_; }

private:
    static bool isPlainCopy(const engine::Image& image, const engine::IRect& r);
    // Later layers: floating image card or camera picture-in-picture, and the lower-third bar.
    engine::Image compositeCards(const engine::Image& image, const QImage& camera, bool videoMode);
    engine::Image compositeBar(const engine::Image& image, double t);

    CardCompositor cards_;
    LowerThirdBarRenderer bar_;
    effects::EffectSet effects_;

    engine::Renderer renderer_;
    // The last frame's picture under the cards and the bar, and where those layers reach.
    engine::Image base_;
    std::vector<engine::Rect> layers_;
    QImage cameraScratch_, videoScratch_;
    FrameSettings settings_;
    BarTextSource barText_;
};

}  // namespace ostrela
