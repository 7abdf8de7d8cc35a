#include "sources/LowerThirdModes.h"

#include "pipeline/LowerThirdBar.h"
#include "pipeline/Settings.h"
#include "sources/NowPlayingService.h"
#include "sources/RSSFeedService.h"
#include "sources/WeatherService.h"

#include <algorithm>
#include <array>
#include <string>

namespace ostrela {

static_assert(bar::kMaxTextLength ==
                  kMaxHeadlines * bar::kMaxLineLength +
                      (kMaxHeadlines - 1) * int(std::char_traits<char16_t>::length(kHeadlineSeparator)),
              "the bar takes a whole ticker of the longest headlines");

LowerThirdTextInputs LowerThirdTextInputs::fromSettings() {
    LowerThirdTextInputs in;
    in.videoTitleEnabled = settings::lowerThirdVideoTitleEnabled();
    in.rssFeedEnabled = settings::rssFeedEnabled();
    in.nowPlayingEnabled = settings::nowPlayingEnabled();
    in.weatherEnabled = settings::weatherEnabled();
    // Only the texts that can be chosen are read.
    if (in.videoTitleEnabled) in.videoTitleText = settings::lowerThirdVideoTitleText();
    if (in.rssFeedEnabled) in.rssFeedDisplayText = settings::rssFeedDisplayText();
    if (in.nowPlayingEnabled) in.nowPlayingDisplayText = settings::nowPlayingDisplayText();
    if (in.weatherEnabled) in.weatherDisplayText = settings::weatherDisplayText();
    in.lowerThirdText = settings::lowerThirdText();
    return in;
}

LowerThirdTextSource lowerThirdTextSource(const LowerThirdTextInputs& in) {
    if (in.videoTitleEnabled && !in.videoTitleText.isEmpty()) return LowerThirdTextSource::videoTitle;
    if (in.rssFeedEnabled) return LowerThirdTextSource::rssFeed;
    if (in.nowPlayingEnabled) return LowerThirdTextSource::nowPlaying;
    if (in.weatherEnabled) return LowerThirdTextSource::weather;
    return LowerThirdTextSource::typedText;
}

QString lowerThirdBarText(const LowerThirdTextInputs& in) {
    // The texts stay as written in the settings; the bar gets them cut. The feed's line is a
    // whole ticker of cut headlines; the bar bounds it by itself.
    switch (lowerThirdTextSource(in)) {
    case LowerThirdTextSource::videoTitle: return cutBarText(in.videoTitleText);
    case LowerThirdTextSource::rssFeed: return in.rssFeedDisplayText;
    case LowerThirdTextSource::nowPlaying: return cutBarText(in.nowPlayingDisplayText);
    case LowerThirdTextSource::weather: return cutBarText(in.weatherDisplayText);
    case LowerThirdTextSource::typedText: return cutBarText(in.lowerThirdText);
    }
    return cutBarText(in.lowerThirdText);
}

QString lowerThirdBarText() { return lowerThirdBarText(LowerThirdTextInputs::fromSettings()); }

namespace {
constexpr std::array kModes{LowerThirdMode::weather, LowerThirdMode::nowPlaying, LowerThirdMode::rssFeed,
                            LowerThirdMode::videoTitle};
}  // namespace

namespace lowerthird {

namespace {

void write(LowerThirdMode mode, bool on) {
    switch (mode) {
    case LowerThirdMode::weather: settings::setWeatherEnabled(on); break;
    case LowerThirdMode::nowPlaying: settings::setNowPlayingEnabled(on); break;
    case LowerThirdMode::rssFeed: settings::setRssFeedEnabled(on); break;
    case LowerThirdMode::videoTitle: settings::setLowerThirdVideoTitleEnabled(on); break;
    }
}
}  // namespace

bool modeEnabled(LowerThirdMode mode) {
    switch (mode) {
    case LowerThirdMode::weather: return settings::weatherEnabled();
    case LowerThirdMode::nowPlaying: return settings::nowPlayingEnabled();
    case LowerThirdMode::rssFeed: return settings::rssFeedEnabled();
    case LowerThirdMode::videoTitle: return settings::lowerThirdVideoTitleEnabled();
    }
    return false;
}

void setModeEnabled(LowerThirdMode mode, bool on) {
    write(mode, on);
    if (!on) return;
    for (LowerThirdMode other : kModes)
        if (other != mode) write(other, false);
}

void turnOffLiveModes() {
    settings::setWeatherEnabled(false);
    settings::setNowPlayingEnabled(false);
    settings::setRssFeedEnabled(false);
}

void choosePreset(const QString& text) {
    settings::setWeatherEnabled(false);
    settings::setNowPlayingEnabled(false);
    settings::setLowerThirdText(text);
}

}  // namespace lowerthird

// ---- LowerThirdModes ----

LowerThirdModes::LowerThirdModes(WeatherService* weather, NowPlayingService* nowPlaying, RSSFeedService* rssFeed,
                                 QObject* parent)
    : QObject(parent), weather_(weather), nowPlaying_(nowPlaying), rssFeed_(rssFeed) {
    weatherEnabled_ = settings::weatherEnabled();
    weatherZipCode_ = settings::weatherZipCode();
    nowPlayingEnabled_ = settings::nowPlayingEnabled();
    rssFeedEnabled_ = settings::rssFeedEnabled();
    rssFeedURL_ = settings::rssFeedURL();
    videoTitleEnabled_ = settings::lowerThirdVideoTitleEnabled();
    lowerThirdText_ = settings::lowerThirdText();
}

void LowerThirdModes::applyToServices() {
    updateWeather();
    updateNowPlaying();
    updateRssFeed();
}

void LowerThirdModes::updateWeather() {
    if (weather_) weather_->update(weatherEnabled_, weatherZipCode_);
}
void LowerThirdModes::updateNowPlaying() {
    if (nowPlaying_) nowPlaying_->setEnabled(nowPlayingEnabled_);
}
void LowerThirdModes::updateRssFeed() {
    if (rssFeed_) rssFeed_->update(rssFeedEnabled_, rssFeedURL_);
}

bool LowerThirdModes::modeEnabled(LowerThirdMode mode) const {
    switch (mode) {
    case LowerThirdMode::weather: return weatherEnabled_;
    case LowerThirdMode::nowPlaying: return nowPlayingEnabled_;
    case LowerThirdMode::rssFeed: return rssFeedEnabled_;
    case LowerThirdMode::videoTitle: return videoTitleEnabled_;
    }
    return false;
}

// Writes one switch, publishes it and hands it to its service when the value changed.
void LowerThirdModes::store(LowerThirdMode mode, bool on) {
    switch (mode) {
    case LowerThirdMode::weather:
        settings::setWeatherEnabled(on);
        if (weatherEnabled_ == on) return;
        weatherEnabled_ = on;
        emit weatherEnabledChanged();
        updateWeather();
        return;
    case LowerThirdMode::nowPlaying:
        settings::setNowPlayingEnabled(on);
        if (nowPlayingEnabled_ == on) return;
        nowPlayingEnabled_ = on;
        emit nowPlayingEnabledChanged();
        updateNowPlaying();
        return;
    case LowerThirdMode::rssFeed:
        settings::setRssFeedEnabled(on);
        if (rssFeedEnabled_ == on) return;
        rssFeedEnabled_ = on;
        emit rssFeedEnabledChanged();
        updateRssFeed();
        return;
    case LowerThirdMode::videoTitle:
        settings::setLowerThirdVideoTitleEnabled(on);
        if (videoTitleEnabled_ == on) return;
        videoTitleEnabled_ = on;
        emit lowerThirdVideoTitleEnabledChanged();
        return;
    }
}

void LowerThirdModes::setModeEnabled(LowerThirdMode mode, bool on) {
    store(mode, on);
    if (!on) return;
    for (LowerThirdMode other : kModes)
        if (other != mode) store(other, false);
}

void LowerThirdModes::setWeatherZipCode(const QString& code) {
    settings::setWeatherZipCode(code);
    if (weatherZipCode_ == code) return;
    weatherZipCode_ = code;
    emit weatherZipCodeChanged();
    updateWeather();
}

void LowerThirdModes::setRssFeedURL(const QString& text) {
    settings::setRssFeedURL(text);
    if (rssFeedURL_ == text) return;
    rssFeedURL_ = text;
    emit rssFeedURLChanged();
    updateRssFeed();
}

void LowerThirdModes::setLowerThirdText(const QString& text) {
    settings::setLowerThirdText(text);
    if (lowerThirdText_ == text) return;
    lowerThirdText_ = text;
    emit lowerThirdTextChanged();
}

void LowerThirdModes::turnOffLiveModes() {
    store(LowerThirdMode::weather, false);
    store(LowerThirdMode::nowPlaying, false);
    store(LowerThirdMode::rssFeed, false);
}

void LowerThirdModes::choosePreset(const QString& text) {
    store(LowerThirdMode::weather, false);
    store(LowerThirdMode::nowPlaying, false);
    setLowerThirdText(text);
}

void LowerThirdModes::reload() {
    const bool weatherOn = settings::weatherEnabled();
    const QString zip = settings::weatherZipCode();
    const bool nowPlayingOn = settings::nowPlayingEnabled();
    const bool rssOn = settings::rssFeedEnabled();
    const QString url = settings::rssFeedURL();
    const bool videoTitleOn = settings::lowerThirdVideoTitleEnabled();
    const QString text = settings::lowerThirdText();

    const bool weatherChanged = weatherOn != weatherEnabled_ || zip != weatherZipCode_;
    const bool nowPlayingChanged = nowPlayingOn != nowPlayingEnabled_;
    const bool rssChanged = rssOn != rssFeedEnabled_ || url != rssFeedURL_;
    auto assign = [this](auto& field, const auto& value, void (LowerThirdModes::*signal)()) {
        if (field == value) return;
        field = value;
        emit(this->*signal)();
    };
    assign(weatherEnabled_, weatherOn, &LowerThirdModes::weatherEnabledChanged);
    assign(weatherZipCode_, zip, &LowerThirdModes::weatherZipCodeChanged);
    assign(nowPlayingEnabled_, nowPlayingOn, &LowerThirdModes::nowPlayingEnabledChanged);
    assign(rssFeedEnabled_, rssOn, &LowerThirdModes::rssFeedEnabledChanged);
    assign(rssFeedURL_, url, &LowerThirdModes::rssFeedURLChanged);
    assign(videoTitleEnabled_, videoTitleOn, &LowerThirdModes::lowerThirdVideoTitleEnabledChanged);
    assign(lowerThirdText_, text, &LowerThirdModes::lowerThirdTextChanged);
    if (weatherChanged) updateWeather();
    if (nowPlayingChanged) updateNowPlaying();
    if (rssChanged) updateRssFeed();
}

// ---- LowerThirdPresets ----

LowerThirdPresets::LowerThirdPresets(QObject* parent) : QObject(parent), presets_(settings::lowerThirdPresets()) {}

void LowerThirdPresets::reload() {
    const QStringList stored = settings::lowerThirdPresets();
    if (stored == presets_) return;
    presets_ = stored;
    emit presetsChanged();
}

void LowerThirdPresets::setPresets(const QStringList& presets) {
    settings::setLowerThirdPresets(presets);
    if (presets == presets_) return;
    presets_ = presets;
    emit presetsChanged();
}

bool LowerThirdPresets::saveCurrentTextAsPreset() {
    const QString text = settings::lowerThirdText().trimmed();
    if (text.isEmpty() || presets_.contains(text, Qt::CaseSensitive)) return false;
    setPresets(presets_ + QStringList{text});
    return true;
}

bool LowerThirdPresets::addPreset(const QString& newPresetText) {
    const QString text = newPresetText.trimmed();
    if (text.isEmpty()) return false;
    setPresets(presets_ + QStringList{text});
    return true;
}

void LowerThirdPresets::removePreset(int row) { removePresets({row}); }

void LowerThirdPresets::removePresets(QList<int> rows) {
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    QStringList next = presets_;
    for (auto it = rows.rbegin(); it != rows.rend(); ++it)
        if (*it >= 0 && *it < next.size()) next.removeAt(*it);
    if (next.size() != presets_.size()) setPresets(next);
}

void LowerThirdPresets::movePresets(QList<int> from, int to) {
    std::sort(from.begin(), from.end());
    from.erase(std::unique(from.begin(), from.end()), from.end());
    from.erase(std::remove_if(from.begin(), from.end(), [&](int r) { return r < 0 || r >= presets_.size(); }),
               from.end());
    if (from.isEmpty()) return;
    to = std::clamp(to, 0, int(presets_.size()));
    QStringList moved, rest;
    int insertAt = to;
    for (int i = 0; i < presets_.size(); ++i) {
        if (from.contains(i)) {
            moved << presets_[i];
            if (i < to) --insertAt;
        } else {
            rest << presets_[i];
        }
    }
    QStringList next = rest.mid(0, insertAt) + moved + rest.mid(insertAt);
    if (next != presets_) setPresets(next);
}

}  // namespace ostrela
