#include "pipeline/Settings.h"

#include "pipeline/Paths.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace ostrela {

// ---- Enums ----

namespace {
constexpr const char* kPlacementNames[] = {"topLeft", "topRight", "bottomLeft", "bottomRight"};
constexpr const char* kAlignmentNames[] = {"leading", "center", "trailing"};
constexpr const char* kEffectNames[] = {"none", "oldTV", "securityCam", "flame", "vhs", "thermal",
                                        "snow", "anaglyph3D", "nightOps", "cyberOps", "cableAccess",
                                        "xray", "noir", "drunkMode", "missionControl", "dreamSequence"};

template <typename E, size_t N>
std::optional<E> fromRaw(const char* const (&names)[N], std::string_view raw) {
    for (size_t i = 0; i < N; ++i)
        if (raw == names[i]) return static_cast<E>(i);
    return std::nullopt;
}
}  // namespace

const char* rawValue(OverlayPlacement v) { return kPlacementNames[static_cast<int>(v)]; }
const char* rawValue(LowerThirdTextAlignment v) { return kAlignmentNames[static_cast<int>(v)]; }
const char* rawValue(VideoEffect v) { return kEffectNames[static_cast<int>(v)]; }
std::optional<OverlayPlacement> overlayPlacementFromRaw(std::string_view raw) {
    return fromRaw<OverlayPlacement>(kPlacementNames, raw);
}
std::optional<LowerThirdTextAlignment> textAlignmentFromRaw(std::string_view raw) {
    return fromRaw<LowerThirdTextAlignment>(kAlignmentNames, raw);
}
std::optional<VideoEffect> videoEffectFromRaw(std::string_view raw) {
    return fromRaw<VideoEffect>(kEffectNames, raw);
}

// ---- Colours ----

RGBColor parseHexColor(std::string_view text) {
    auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; };
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
    std::string s;
    s.reserve(text.size());
    for (char c : text)
        if (c != '#') s.push_back(c);
    // Scan a hexadecimal unsigned 64-bit number from the start; too many digits saturate.
    uint64_t v = 0;
    bool overflow = false;
    for (char c : s) {
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else break;
        if (v >> 60) overflow = true;
        v = (v << 4) | uint64_t(d);
    }
    if (overflow) v = UINT64_MAX;
    return {double((v >> 16) & 0xFF) / 255.0, double((v >> 8) & 0xFF) / 255.0, double(v & 0xFF) / 255.0};
}

RGBColor parseHexColor(const QString& text) { return parseHexColor(std::string_view(text.toStdString())); }

QString hexColorString(double r, double g, double b) {
    auto c = [](double x) { return int(std::lround(std::clamp(x, 0.0, 1.0) * 255.0)); };
    return QStringLiteral("%1%2%3")
        .arg(c(r), 2, 16, QLatin1Char('0'))
        .arg(c(g), 2, 16, QLatin1Char('0'))
        .arg(c(b), 2, 16, QLatin1Char('0'))
        .toUpper();
}

// ---- Store ----

namespace {

int64_t monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

struct Registry {
    std::mutex mutex;
    std::unordered_map<std::string, SettingsStore*> open;
    std::vector<SettingsStore*> retired;  // kept alive: callers may still hold them
    SettingsStore* standard = nullptr;
};
Registry& registry() {
    static Registry* r = new Registry;  // never destroyed: readers may run during exit
    return *r;
}

bool readWholeFile(const std::string& path, QByteArray& out, int& err) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) { err = errno; return false; }
    out.clear();
    char buf[16384];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) { if (errno == EINTR) continue; err = errno; ::close(fd); return false; }
        if (n == 0) break;
        out.append(buf, n);
    }
    ::close(fd);
    return true;
}

bool writeWholeFile(int fd, const QByteArray& bytes) {
    const char* p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0) { if (errno == EINTR) continue; return false; }
        p += n;
        left -= n;
    }
    return true;
}

QJsonValue toJson(const QVariant& v) {
    switch (v.typeId()) {
    case QMetaType::Bool: return v.toBool();
    case QMetaType::QString: return v.toString();
    case QMetaType::QByteArray: return QJsonObject{{"data", QString::fromLatin1(v.toByteArray().toBase64())}};
    default:
        if (v.canConvert<double>()) return v.toDouble();
        return v.toString();
    }
}

QVariant fromJson(const QJsonValue& j) {
    switch (j.type()) {
    case QJsonValue::Bool: return j.toBool();
    case QJsonValue::Double: return j.toDouble();
    case QJsonValue::String: return j.toString();
    case QJsonValue::Object: {
        QJsonValue d = j.toObject().value("data");
        if (d.isString()) return QByteArray::fromBase64(d.toString().toLatin1());
        return {};
    }
    default: return {};
    }
}

}  // namespace

SettingsStore::SettingsStore(std::string name, std::string path) : name_(std::move(name)), path_(std::move(path)) {
    std::lock_guard lock(mutex_);
    loadFromDisk(true);
    lastCheckNs_ = monotonicNs();
}

SettingsStore::~SettingsStore() = default;

SettingsStore* SettingsStore::suite(std::string_view name) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (auto it = r.open.find(std::string(name)); it != r.open.end()) return it->second;
    std::string dir = configDirectory();
    if (!ensureDirectory(dir, 0700)) return nullptr;
    auto* store = new SettingsStore(std::string(name), dir + "/" + std::string(name) + ".json");
    r.open.emplace(std::string(name), store);
    return store;
}

SettingsStore& SettingsStore::standard() {
    Registry& r = registry();
    {
        std::lock_guard lock(r.mutex);
        if (r.standard) return *r.standard;
    }
    SettingsStore* s = suite(kStandardStoreName);
    std::lock_guard lock(r.mutex);
    if (!r.standard) r.standard = s ? s : new SettingsStore(kStandardStoreName, std::string());
    return *r.standard;
}

void SettingsStore::resetForTesting() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    for (auto& [name, store] : r.open) r.retired.push_back(store);
    if (r.standard && std::find(r.retired.begin(), r.retired.end(), r.standard) == r.retired.end())
        r.retired.push_back(r.standard);
    r.open.clear();
    r.standard = nullptr;
}

void SettingsStore::refreshIfStale() {
    if (path_.empty()) return;
    int64_t now = monotonicNs();
    if (now - lastCheckNs_ < kRecheckIntervalNs) return;
    lastCheckNs_ = now;
    loadFromDisk(false);
}

void SettingsStore::loadFromDisk(bool force) {
    if (path_.empty()) return;
    struct stat st {};
    FileId id;
    if (::stat(path_.c_str(), &st) == 0)
        id = {uint64_t(st.st_dev), uint64_t(st.st_ino), int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec,
              int64_t(st.st_size)};
    if (!force && id == seen_) return;
    seen_ = id;
    Map fresh;
    bool unreadable = false;
    if (id.size >= 0) {
        QByteArray bytes;
        int err = 0;
        if (!readWholeFile(path_, bytes, err)) {
            unreadable = err != ENOENT;
        } else if (!bytes.trimmed().isEmpty()) {
            QJsonParseError perr{};
            QJsonDocument doc = QJsonDocument::fromJson(bytes, &perr);
            if (perr.error != QJsonParseError::NoError || !doc.isObject()) {
                unreadable = true;
            } else {
                const QJsonObject obj = doc.object();
                for (auto it = obj.begin(); it != obj.end(); ++it) {
                    QVariant v = fromJson(it.value());
                    if (v.isValid()) fresh.emplace(it.key().toStdString(), std::move(v));
                }
            }
        }
    }
    unreadable_ = unreadable;
    values_.swap(fresh);
    revision_.fetch_add(1, std::memory_order_relaxed);
}

void SettingsStore::synchronize() {
    std::lock_guard lock(mutex_);
    loadFromDisk(false);
    lastCheckNs_ = monotonicNs();
}

QVariant SettingsStore::value(std::string_view key) {
    std::lock_guard lock(mutex_);
    refreshIfStale();
    auto it = values_.find(key);
    return it == values_.end() ? QVariant() : it->second;
}

bool SettingsStore::contains(std::string_view key) {
    std::lock_guard lock(mutex_);
    refreshIfStale();
    return values_.find(key) != values_.end();
}

std::optional<bool> SettingsStore::boolValue(std::string_view key) {
    std::lock_guard lock(mutex_);
    refreshIfStale();
    auto it = values_.find(key);
    if (it == values_.end() || it->second.typeId() != QMetaType::Bool) return std::nullopt;
    return it->second.toBool();
}

std::optional<double> SettingsStore::doubleValue(std::string_view key) {
    std::lock_guard lock(mutex_);
    refreshIfStale();
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    const QVariant& v = it->second;
    if (v.typeId() == QMetaType::Double) return v.toDouble();
    if (v.typeId() == QMetaType::QString) {
        bool ok = false;
        double d = v.toString().trimmed().toDouble(&ok);
        if (ok) return d;
    }
    return std::nullopt;
}

std::optional<QString> SettingsStore::stringValue(std::string_view key) {
    std::lock_guard lock(mutex_);
    refreshIfStale();
    auto it = values_.find(key);
    if (it == values_.end() || it->second.typeId() != QMetaType::QString) return std::nullopt;
    return it->second.toString();
}

std::optional<QByteArray> SettingsStore::dataValue(std::string_view key) {
    std::lock_guard lock(mutex_);
    refreshIfStale();
    auto it = values_.find(key);
    if (it == values_.end() || it->second.typeId() != QMetaType::QByteArray) return std::nullopt;
    return it->second.toByteArray();
}

void SettingsStore::set(std::string_view key, const QVariant& value) {
    if (!value.isValid()) { remove(key); return; }
    write(key, &value);
}

void SettingsStore::remove(std::string_view key) { write(key, nullptr); }

bool SettingsStore::write(std::string_view key, const QVariant* value) {
    std::lock_guard lock(mutex_);
    auto apply = [&] {
        if (value) values_.insert_or_assign(std::string(key), *value);
        else if (auto it = values_.find(key); it != values_.end()) values_.erase(it);
        revision_.fetch_add(1, std::memory_order_relaxed);
    };
    if (path_.empty()) { apply(); return true; }

    // Serialise writers across processes; merge with what they wrote since we last looked.
    int lockFd = ::open((path_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd >= 0) ::flock(lockFd, LOCK_EX);
    struct Unlock { int fd; ~Unlock() { if (fd >= 0) ::close(fd); } } unlock{lockFd};

    loadFromDisk(false);
    lastCheckNs_ = monotonicNs();
    if (unreadable_) {
        // Keep the bytes we could not decode before the new contents replace them.
        QByteArray bytes;
        int err = 0;
        if (!readWholeFile(path_, bytes, err)) return false;  // cannot even copy it: leave it alone
        char stamp[32];
        time_t now = time(nullptr);
        tm t{};
        localtime_r(&now, &t);
        strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &t);
        std::string backup = path_ + ".corrupt-" + stamp;
        int fd = ::open(backup.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0) return false;
        bool ok = writeWholeFile(fd, bytes);
        ok = (::close(fd) == 0) && ok;
        if (!ok) return false;
        unreadable_ = false;
    }
    apply();

    QJsonObject obj;
    for (const auto& [k, v] : values_) obj.insert(QString::fromStdString(k), toJson(v));
    QByteArray bytes = QJsonDocument(obj).toJson(QJsonDocument::Indented);

    std::string tmp = path_ + ".tmp-" + std::to_string(getpid());
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool ok = writeWholeFile(fd, bytes);
    ok = (::close(fd) == 0) && ok;
    if (!ok || ::rename(tmp.c_str(), path_.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    struct stat st {};
    if (::stat(path_.c_str(), &st) == 0)
        seen_ = {uint64_t(st.st_dev), uint64_t(st.st_ino),
                 int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec, int64_t(st.st_size)};
    return true;
}

// ---- Per-key readers and writers ----

namespace settings {
namespace {

SettingsStore* shared() { return SettingsStore::suite(kSuiteName); }

// Boolean read with a presence test: only a stored boolean counts.
bool presentBool(SettingsStore* s, const char* key, bool fallback) {
    if (!s) return fallback;
    return s->boolValue(key).value_or(fallback);
}

// Plain boolean read: missing is false; numbers and the usual words convert.
bool plainBool(SettingsStore* s, const char* key) {
    if (!s) return false;
    QVariant v = s->value(key);
    switch (v.typeId()) {
    case QMetaType::Bool: return v.toBool();
    case QMetaType::Double: return v.toDouble() != 0.0;
    case QMetaType::QString: {
        QString t = v.toString().trimmed().toLower();
        return t == "true" || t == "yes" || t == "1";
    }
    default: return false;
    }
}

QString stringOr(SettingsStore* s, const char* key, const char* fallback) {
    if (!s) return QString::fromUtf8(fallback);
    if (auto v = s->stringValue(key)) return *v;
    return QString::fromUtf8(fallback);
}

double positiveOr(SettingsStore* s, const char* key, double fallback) {
    if (!s) return fallback;
    auto v = s->doubleValue(key);
    return (v && *v > 0) ? *v : fallback;
}

double presentDouble(SettingsStore* s, const char* key, double fallback) {
    if (!s) return fallback;
    return s->doubleValue(key).value_or(fallback);
}

template <typename E>
E enumOr(SettingsStore* s, const char* key, std::optional<E> (*parse)(std::string_view), E fallback) {
    if (!s) return fallback;
    auto v = s->stringValue(key);
    if (!v) return fallback;
    return parse(v->toStdString()).value_or(fallback);
}

void put(SettingsStore* s, const char* key, const QVariant& v) {
    if (s) s->set(key, v);
}

}  // namespace

bool appearanceIsDark() { return plainBool(&SettingsStore::standard(), keys::appearanceIsDark); }
void setAppearanceIsDark(bool v) { put(&SettingsStore::standard(), keys::appearanceIsDark, v); }
bool hasAttemptedInitialActivation() { return plainBool(&SettingsStore::standard(), keys::hasAttemptedInitialActivation); }
void setHasAttemptedInitialActivation(bool v) { put(&SettingsStore::standard(), keys::hasAttemptedInitialActivation, v); }
bool hasSeenOnboarding() { return plainBool(&SettingsStore::standard(), keys::hasSeenOnboarding); }
void setHasSeenOnboarding(bool v) { put(&SettingsStore::standard(), keys::hasSeenOnboarding, v); }
bool showEffectPreview() { return presentBool(&SettingsStore::standard(), keys::showEffectPreview, true); }
void setShowEffectPreview(bool v) { put(&SettingsStore::standard(), keys::showEffectPreview, v); }

bool overlayImageEnabled() { return presentBool(shared(), keys::overlayImageEnabled, true); }
void setOverlayImageEnabled(bool v) { put(shared(), keys::overlayImageEnabled, v); }
OverlayPlacement overlayPlacement() {
    return enumOr(shared(), keys::overlayPlacement, overlayPlacementFromRaw, OverlayPlacement::bottomRight);
}
void setOverlayPlacement(OverlayPlacement v) { put(shared(), keys::overlayPlacement, QString(rawValue(v))); }
double overlayWidthFraction() { return positiveOr(shared(), keys::overlayWidthFraction, 0.32); }
void setOverlayWidthFraction(double v) { put(shared(), keys::overlayWidthFraction, v); }
bool isOverlayFullScreen() { return plainBool(shared(), keys::isOverlayFullScreen); }
void setIsOverlayFullScreen(bool v) { put(shared(), keys::isOverlayFullScreen, v); }
bool overlayBorderEnabled() { return presentBool(shared(), keys::overlayBorderEnabled, true); }
void setOverlayBorderEnabled(bool v) { put(shared(), keys::overlayBorderEnabled, v); }
QString overlayBorderColorHex() { return stringOr(shared(), keys::overlayBorderColorHex, "188A8A"); }
void setOverlayBorderColorHex(const QString& v) { put(shared(), keys::overlayBorderColorHex, v); }
bool fancyModeEnabled() { return plainBool(shared(), keys::fancyModeEnabled); }
void setFancyModeEnabled(bool v) { put(shared(), keys::fancyModeEnabled, v); }

QString selectedCameraUniqueID() { return stringOr(shared(), keys::selectedCameraUniqueID, ""); }
void setSelectedCameraUniqueID(const QString& v) { put(shared(), keys::selectedCameraUniqueID, v); }
VideoEffect videoEffect() { return enumOr(shared(), keys::videoEffect, videoEffectFromRaw, VideoEffect::none); }
void setVideoEffect(VideoEffect v) { put(shared(), keys::videoEffect, QString(rawValue(v))); }

bool lowerThirdEnabled() { return plainBool(shared(), keys::lowerThirdEnabled); }
void setLowerThirdEnabled(bool v) { put(shared(), keys::lowerThirdEnabled, v); }
QString lowerThirdText() { return stringOr(shared(), keys::lowerThirdText, ""); }
void setLowerThirdText(const QString& v) { put(shared(), keys::lowerThirdText, v); }
QString lowerThirdBarColorHex() { return stringOr(shared(), keys::lowerThirdBarColorHex, "188A8A"); }
void setLowerThirdBarColorHex(const QString& v) { put(shared(), keys::lowerThirdBarColorHex, v); }
QString lowerThirdTextColorHex() { return stringOr(shared(), keys::lowerThirdTextColorHex, "FFFFFF"); }
void setLowerThirdTextColorHex(const QString& v) { put(shared(), keys::lowerThirdTextColorHex, v); }
double lowerThirdBarOpacity() { return presentDouble(shared(), keys::lowerThirdBarOpacity, 1.0); }
void setLowerThirdBarOpacity(double v) { put(shared(), keys::lowerThirdBarOpacity, v); }
LowerThirdTextAlignment lowerThirdTextAlignment() {
    return enumOr(shared(), keys::lowerThirdTextAlignment, textAlignmentFromRaw, LowerThirdTextAlignment::center);
}
void setLowerThirdTextAlignment(LowerThirdTextAlignment v) {
    put(shared(), keys::lowerThirdTextAlignment, QString(rawValue(v)));
}
double lowerThirdScrollSpeed() { return presentDouble(shared(), keys::lowerThirdScrollSpeed, 90.0); }
void setLowerThirdScrollSpeed(double v) { put(shared(), keys::lowerThirdScrollSpeed, v); }
bool lowerThirdTextShadowEnabled() { return presentBool(shared(), keys::lowerThirdTextShadowEnabled, true); }
void setLowerThirdTextShadowEnabled(bool v) { put(shared(), keys::lowerThirdTextShadowEnabled, v); }
bool lowerThirdGoogleMeetSafeArea() { return presentBool(shared(), keys::lowerThirdGoogleMeetSafeArea, false); }
void setLowerThirdGoogleMeetSafeArea(bool v) { put(shared(), keys::lowerThirdGoogleMeetSafeArea, v); }
bool lowerThirdAlwaysScroll() { return presentBool(shared(), keys::lowerThirdAlwaysScroll, false); }
void setLowerThirdAlwaysScroll(bool v) { put(shared(), keys::lowerThirdAlwaysScroll, v); }
bool lowerThirdPreviewFrozen() { return plainBool(shared(), keys::lowerThirdPreviewFrozen); }
void setLowerThirdPreviewFrozen(bool v) { put(shared(), keys::lowerThirdPreviewFrozen, v); }

bool weatherEnabled() { return plainBool(shared(), keys::weatherEnabled); }
void setWeatherEnabled(bool v) { put(shared(), keys::weatherEnabled, v); }
QString weatherZipCode() { return stringOr(shared(), keys::weatherZipCode, ""); }
void setWeatherZipCode(const QString& v) { put(shared(), keys::weatherZipCode, v); }
bool nowPlayingEnabled() { return plainBool(shared(), keys::nowPlayingEnabled); }
void setNowPlayingEnabled(bool v) { put(shared(), keys::nowPlayingEnabled, v); }
bool rssFeedEnabled() { return plainBool(shared(), keys::rssFeedEnabled); }
void setRssFeedEnabled(bool v) { put(shared(), keys::rssFeedEnabled, v); }
QString rssFeedURL() { return stringOr(shared(), keys::rssFeedURL, ""); }
void setRssFeedURL(const QString& v) { put(shared(), keys::rssFeedURL, v); }
bool lowerThirdVideoTitleEnabled() { return plainBool(shared(), keys::lowerThirdVideoTitleEnabled); }
void setLowerThirdVideoTitleEnabled(bool v) { put(shared(), keys::lowerThirdVideoTitleEnabled, v); }
QString lowerThirdVideoTitleText() { return stringOr(shared(), keys::lowerThirdVideoTitleText, ""); }
void setLowerThirdVideoTitleText(const QString& v) { put(shared(), keys::lowerThirdVideoTitleText, v); }
QString weatherDisplayText() { return stringOr(shared(), keys::weatherDisplayText, ""); }
void setWeatherDisplayText(const QString& v) { put(shared(), keys::weatherDisplayText, v); }
QString nowPlayingDisplayText() { return stringOr(shared(), keys::nowPlayingDisplayText, ""); }
void setNowPlayingDisplayText(const QString& v) { put(shared(), keys::nowPlayingDisplayText, v); }
QString rssFeedDisplayText() { return stringOr(shared(), keys::rssFeedDisplayText, ""); }
void setRssFeedDisplayText(const QString& v) { put(shared(), keys::rssFeedDisplayText, v); }

bool videoCameraPiPEnabled() { return plainBool(shared(), keys::videoCameraPiPEnabled); }
void setVideoCameraPiPEnabled(bool v) { put(shared(), keys::videoCameraPiPEnabled, v); }
OverlayPlacement videoCameraPiPPlacement() {
    return enumOr(shared(), keys::videoCameraPiPPlacement, overlayPlacementFromRaw, OverlayPlacement::bottomRight);
}
void setVideoCameraPiPPlacement(OverlayPlacement v) { put(shared(), keys::videoCameraPiPPlacement, QString(rawValue(v))); }
double videoCameraPiPWidthFraction() { return positiveOr(shared(), keys::videoCameraPiPWidthFraction, 0.26); }
void setVideoCameraPiPWidthFraction(double v) { put(shared(), keys::videoCameraPiPWidthFraction, v); }
double videoPlaybackVolume() { return presentDouble(shared(), keys::videoPlaybackVolume, 1.0); }
void setVideoPlaybackVolume(double v) { put(shared(), keys::videoPlaybackVolume, v); }

QStringList lowerThirdPresets() {
    SettingsStore* s = shared();
    if (!s) return {};
    auto blob = s->dataValue(keys::lowerThirdPresets);
    if (!blob) return {};
    QJsonParseError err{};
    QJsonDocument doc = QJsonDocument::fromJson(*blob, &err);
    if (err.error != QJsonParseError::NoError || !doc.isArray()) return {};
    QStringList out;
    for (const QJsonValue& v : doc.array()) {
        if (!v.isString()) return {};  // not an array of strings: a decoding error
        out << v.toString();
    }
    return out;
}
void setLowerThirdPresets(const QStringList& list) {
    SettingsStore* s = shared();
    if (!s) return;
    QByteArray blob = QJsonDocument(QJsonArray::fromStringList(list)).toJson(QJsonDocument::Compact);
    if (blob.isEmpty()) s->remove(keys::lowerThirdPresets);
    else s->set(keys::lowerThirdPresets, blob);
}
bool libraryAllItemsExpanded() { return presentBool(shared(), keys::libraryAllItemsExpanded, true); }
void setLibraryAllItemsExpanded(bool v) { put(shared(), keys::libraryAllItemsExpanded, v); }
QString libraryCollapsedFolderIDs() { return stringOr(shared(), keys::libraryCollapsedFolderIDs, ""); }
void setLibraryCollapsedFolderIDs(const QString& v) { put(shared(), keys::libraryCollapsedFolderIDs, v); }

}  // namespace settings
}  // namespace ostrela
