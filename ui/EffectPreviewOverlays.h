#pragma once
// Particles drawn by the window over the effect preview (not over the frames sent out): falling
// snowflakes and rising flame embers. Each drawing is a pure function of the time value and the
// canvas size; the canvas has y pointing down.
#include <QColor>
#include <QImage>
#include <QPainter>
#include <QPointF>
#include <QSizeF>

#include <vector>

namespace ostrela {

struct PreviewParticle {
    QPointF center;
    double radius = 0;
    double opacity = 0;
    double progress = 0;
    double period = 0;
};

class SnowflakesOverlay {
public:
    static constexpr int kCount = 22;
    static constexpr double kSpacing = 17.233;
    static constexpr double kBlurRadius = 0.6;
    static const QColor& color();

    explicit SnowflakesOverlay(double time = 0) : time(time) {}
    double time;

    static PreviewParticle particle(int i, double time, QSizeF size);
    static double opacity(double progress);
    std::vector<PreviewParticle> particles(QSizeF size) const;
    void paint(QPainter& painter, QSizeF size) const;
};

class FlameEmbersOverlay {
public:
    static constexpr int kCount = 14;
    static constexpr double kSpacing = 12.9898;
    static constexpr double kBlurRadius = 1.4;
    static const QColor& color();

    explicit FlameEmbersOverlay(double time = 0) : time(time) {}
    double time;

    static PreviewParticle particle(int i, double time, QSizeF size);
    static double opacity(double progress);
    std::vector<PreviewParticle> particles(QSizeF size) const;
    void paint(QPainter& painter, QSizeF size) const;
};

// Draws soft filled circles: the canvas blur of the overlay is approximated by a radial falloff
// of `blurRadius` around each disc, so no offscreen blur pass is needed per repaint.
void paintSoftParticles(QPainter& painter, const std::vector<PreviewParticle>& particles, const QColor& color,
                        double blurRadius);

}  // namespace ostrela
