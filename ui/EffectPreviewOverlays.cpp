#include "ui/EffectPreviewOverlays.h"

#include <QRadialGradient>

#include <cmath>

namespace ostrela {

namespace {

struct Pattern {
    double k, a, b, swaySpeed, swayAmplitude, radiusMod, radiusBase;
};
constexpr Pattern kSnow{17.233, 3.5, 4.5, 0.8, 16, 2.6, 1.0};
constexpr Pattern kEmbers{12.9898, 2.4, 3.2, 1.6, 12, 2.2, 1.4};

// The shared part: period, progress, x and radius. y and opacity differ per overlay.
PreviewParticle common(const Pattern& p, int i, double time, QSizeF size) {
    PreviewParticle out;
    const double x = i * p.k;
    out.period = std::fmod(x, p.a) + p.b;
    out.progress = std::fmod(std::fmod(x, out.period) + time, out.period) / out.period;
    // fmod keeps the dividend's sign: before 2001 (negative time) wrap into 0…1.
    if (out.progress < 0) out.progress += 1.0;
    const double w = size.width();
    const double baseX = w > 0 ? std::fmod(x, w) : 0.0;
    out.center.setX(baseX + std::sin(p.swaySpeed * time + x) * p.swayAmplitude);
    out.radius = std::fmod(x, p.radiusMod) + p.radiusBase;
    return out;
}

}  // namespace

const QColor& SnowflakesOverlay::color() {
    static const QColor c(Qt::white);
    return c;
}

double SnowflakesOverlay::opacity(double progress) {
    if (progress < 0.08) return progress / 0.08 * 0.8;
    if (progress > 0.85) return std::max(0.0, (1.0 - progress) * 0.8 / 0.15);
    return 0.8;
}

PreviewParticle SnowflakesOverlay::particle(int i, double time, QSizeF size) {
    PreviewParticle p = common(kSnow, i, time, size);
    const double h = size.height();
    p.center.setY(-0.1 * h + p.progress * 1.2 * h);
    p.opacity = opacity(p.progress);
    return p;
}

std::vector<PreviewParticle> SnowflakesOverlay::particles(QSizeF size) const {
    std::vector<PreviewParticle> out;
    out.reserve(kCount);
    for (int i = 0; i < kCount; ++i) out.push_back(particle(i, time, size));
    return out;
}

void SnowflakesOverlay::paint(QPainter& painter, QSizeF size) const {
    paintSoftParticles(painter, particles(size), color(), kBlurRadius);
}

const QColor& FlameEmbersOverlay::color() {
    static const QColor c = QColor::fromRgbF(1.0f, 0.75f, 0.3f);
    return c;
}

double FlameEmbersOverlay::opacity(double progress) {
    if (progress < 0.12) return progress / 0.12;
    if (progress > 0.7) return std::max(0.0, (1.0 - progress) / 0.3);
    return 1.0;
}

PreviewParticle FlameEmbersOverlay::particle(int i, double time, QSizeF size) {
    PreviewParticle p = common(kEmbers, i, time, size);
    const double h = size.height();
    p.center.setY(1.05 * h - p.progress * 1.4 * h);
    p.opacity = opacity(p.progress);
    return p;
}

std::vector<PreviewParticle> FlameEmbersOverlay::particles(QSizeF size) const {
    std::vector<PreviewParticle> out;
    out.reserve(kCount);
    for (int i = 0; i < kCount; ++i) out.push_back(particle(i, time, size));
    return out;
}

void FlameEmbersOverlay::paint(QPainter& painter, QSizeF size) const {
    paintSoftParticles(painter, particles(size), color(), kBlurRadius);
}

void paintSoftParticles(QPainter& painter, const std::vector<PreviewParticle>& particles, const QColor& color,
                        double blurRadius) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(Qt::NoPen);
    for (const PreviewParticle& p : particles) {
        if (p.opacity <= 0) continue;
        const double outer = p.radius + 2 * blurRadius;
        QRadialGradient g(p.center, outer);
        QColor solid = color;
        solid.setAlphaF(float(std::clamp(p.opacity, 0.0, 1.0)));
        QColor clear = color;
        clear.setAlphaF(0);
        const double inner = std::max(0.0, (p.radius - blurRadius) / outer);
        g.setColorAt(0, solid);
        g.setColorAt(inner, solid);
        g.setColorAt(1, clear);
        painter.setBrush(g);
        painter.drawEllipse(p.center, outer, outer);
    }
    painter.restore();
}

}  // namespace ostrela
