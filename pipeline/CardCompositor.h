#pragma once
// The framed cards drawn over the effect: the floating overlay image (camera mode) and the live
// camera as picture-in-picture (video mode). A card is the picture scaled to a fraction of the
// frame width, a coloured frame, rounded corners and a soft shadow, in one of four corners clear
// of the lower-third bar; fancy mode adds a highlight edge, a reflection, a glow and a tilt.
// Everything is a lazy image of the engine; only the small masks are painted bitmaps.
#include "pipeline/Settings.h"
#include "pipeline/engine/Image.h"
#include "pipeline/engine/Renderer.h"

#include <QImage>

#include <opencv2/core.hpp>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace ostrela {

namespace cards {
inline constexpr double kOutputWidth = 1280, kOutputHeight = 720;
inline constexpr double kCornerMargin = 24;
inline constexpr double kCornerRadius = 10;
inline constexpr double kFrameWidth = 3;
inline constexpr double kShadowAlpha = 0.35, kShadowBlur = 6.0, kShadowOffset = -4.0;
inline constexpr double kFancyShadowAlpha = 0.455, kFancyShadowBlur = 10.8, kFancyShadowOffset = -6.4;
inline constexpr double kReflectionHeight = 0.6, kReflectionGap = 4, kReflectionAlpha = 0.35;
inline constexpr double kGlowSpread = 30, kGlowBlur = 14.0, kGlowAlpha = 0.35;
inline constexpr double kTiltX = 0.09, kTiltY = 0.05;
inline constexpr double kHighlightAlpha = 0.35, kHighlightWidth = 1.0, kHighlightInset = 1.5;
}  // namespace cards

// How one card looks, from the settings of the overlay or of the picture-in-picture.
struct CardStyle {
    OverlayPlacement placement = OverlayPlacement::bottomRight;
    double widthFraction = 0.32;
    double frameWidth = cards::kFrameWidth;  // b: 3, or 0 with the overlay's frame off
    QString frameColorHex = QStringLiteral("188A8A");
    double shadowAlpha = cards::kShadowAlpha, shadowBlur = cards::kShadowBlur, shadowOffset = cards::kShadowOffset;
    bool fancy = false;
    bool fullScreen = false;

    static CardStyle overlayFromSettings();
    static CardStyle pipFromSettings();
    bool operator==(const CardStyle&) const = default;
};

// Where a card of a pw × ph picture goes: picture w × h, card W × H at (x, y), output pixels, y up.
struct CardGeometry {
    double w = 0, h = 0, W = 0, H = 0, x = 0, y = 0;
};
CardGeometry cardGeometry(const CardStyle& style, double pw, double ph, double barReserve, double topInset);

// Building blocks, each at the origin, or moved by a fraction of a pixel (ox, oy) so that a card
// placed at a fractional position is painted on the frame's own pixel grid instead of being
// resampled. Masks carry their coverage in alpha; their bitmaps cover (0, 0, ox + W, oy + H).
engine::Image roundedRectMask(double W, double H, double r, double ox = 0, double oy = 0);
engine::Image highlightEdge(double W, double H, double r, double ox = 0, double oy = 0);
engine::Image fadeMask(double W, double h, double ox = 0, double oy = 0);
// `image` where the mask covers, transparent elsewhere (blend with mask over an empty background).
engine::Image blendWithMask(const engine::Image& image, const engine::Image& mask);
engine::Image reflection(const engine::Image& face, double W, double H, double ox = 0, double oy = 0);
engine::Image glow(const QString& colorHex, double W, double H, double ox = 0, double oy = 0);
// The edge facing the middle of the frame drawn shorter; (dx, dy) moves the result in the same pass.
engine::Image perspectiveTilt(const engine::Image& image, OverlayPlacement placement, double dx = 0, double dy = 0);

class CardCompositor {
public:
    CardCompositor();
    ~CardCompositor();

    // The overlay picture: container + "overlay.png", decoded only when its modification date
    // changes. Null when there is none (no container, no file, undecodable).
    QImage loadOverlayImage();

    // The frame with the overlay card, when "overlayImageEnabled" is on and there is a picture.
    engine::Image composeOverlayCard(const engine::Image& frame, double barReserve, double topInset);
    // The frame with the camera card, when "videoCameraPiPEnabled" is on. `camera` is the camera
    // picture as captured; the card shows its whole field at its own aspect ratio.
    engine::Image composePiPCard(const engine::Image& frame, const QImage& camera, double barReserve, double topInset);

    // A card of `picture` for the given style, composited over `frame`. A picture that stays
    // the same from frame to frame (`still`) has its whole card rendered once and reused.
    engine::Image composeCard(const engine::Image& frame, const QImage& picture, const CardStyle& style,
                              double barReserve, double topInset, bool still = false);
    // The card as a lazy graph at its place in the frame (what composeCard renders or composites).
    engine::Image buildCard(const QImage& picture, const CardStyle& style, double barReserve, double topInset,
                            bool stillPicture);

    // How many times a still card was rendered into its cached bitmap.
    int cardRenders() const { return cardRenders_; }

    // Where the last composed card reached (shadow, glow and reflection included); empty when
    // the last call drew none.
    const engine::Rect& lastCardExtent() const { return lastExtent_; }

    // How many times the overlay file was decoded (the cache at work).
    int overlayDecodes() const { return decodes_; }

private:
    struct FileStamp {
        int64_t mtimeNs = 0;
        uint64_t inode = 0;
        int64_t size = 0;
        bool operator==(const FileStamp&) const = default;
    };
    void clearCache();
    // The picture at exactly rw × rh pixels, resampled once per picture and size.
    QImage scaledPicture(const QImage& picture, int rw, int rh, bool reuse);

    QImage cachedOverlayImage_;
    std::optional<FileStamp> cachedOverlayModDate_;
    std::optional<FileStamp> failedStamp_;
    int decodes_ = 0;
    engine::Rect lastExtent_;

    struct CardKey {
        qint64 picture = 0;
        CardStyle style;
        double barReserve = 0, topInset = 0;
        bool operator==(const CardKey&) const = default;
    };
    std::optional<CardKey> cardKey_;
    engine::Image cardImage_;
    int cardRenders_ = 0;
    std::unique_ptr<engine::Renderer> cardRenderer_;

    // A card whose picture changes every frame (the camera): frame, rounded corners and shadow
    // rendered once; per frame only the picture is resampled onto the frame's pixel grid.
    engine::Image composeLiveCard(const engine::Image& frame, const QImage& picture, const CardStyle& style,
                                  const CardGeometry& g);
    struct ChromeKey {
        CardStyle style;
        double x = 0, y = 0, W = 0, H = 0;
        bool operator==(const ChromeKey&) const = default;
    };
    std::optional<ChromeKey> chromeKey_;
    engine::Image chromeImage_;
    QImage chromeMask_;  // the card's coverage, bitmap origin at (floor x, floor y)
    QImage placedScratch_;
    engine::Image renderOnce(const engine::Image& graph);

    struct Scaled { qint64 key; int w, h; QImage image; };
    std::vector<Scaled> scaled_;
    QImage pipScratch_;
    cv::Mat areaScratch_;
};

}  // namespace ostrela
