#include "sources/MediaPlayerBridge.h"

#include <QAtomicInt>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QVariantMap>

namespace ostrela {

namespace {

QAtomicInt connectionCounter;

QDBusConnection connectionNamed(const QString& name) {
    return name.isEmpty() ? QDBusConnection::sessionBus() : QDBusConnection(name);
}

// The value of one property, or an invalid QVariant when the player doesn't answer in time.
QVariant property(const QDBusConnection& bus, const QString& service, const QString& name) {
    QDBusMessage call = QDBusMessage::createMethodCall(service, QLatin1String(kMprisObjectPath),
                                                       QStringLiteral("org.freedesktop.DBus.Properties"),
                                                       QStringLiteral("Get"));
    call << QLatin1String(kMprisPlayerInterface) << name;
    const QDBusMessage reply = bus.call(call, QDBus::Block, MprisPlayerBridge::kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return {};
    QVariant v = reply.arguments().constFirst();
    if (v.userType() == qMetaTypeId<QDBusVariant>()) v = qvariant_cast<QDBusVariant>(v).variant();
    return v;
}

QStringList stringList(const QVariant& v) {
    if (v.userType() == qMetaTypeId<QDBusArgument>()) {
        const QDBusArgument arg = qvariant_cast<QDBusArgument>(v);
        if (arg.currentSignature() == QLatin1String("as")) return qdbus_cast<QStringList>(arg);
        return {};
    }
    if (v.userType() == QMetaType::QStringList) return v.toStringList();
    if (v.userType() == QMetaType::QString) return {v.toString()};
    return {};
}

QVariantMap variantMap(const QVariant& v) {
    if (v.userType() == qMetaTypeId<QDBusArgument>()) {
        const QDBusArgument arg = qvariant_cast<QDBusArgument>(v);
        if (arg.currentSignature() == QLatin1String("a{sv}")) return qdbus_cast<QVariantMap>(arg);
        return {};
    }
    return v.toMap();
}

QVariant unwrap(QVariant v) {
    if (v.userType() == qMetaTypeId<QDBusVariant>()) v = qvariant_cast<QDBusVariant>(v).variant();
    return v;
}

}  // namespace

MprisPlayerBridge::MprisPlayerBridge(const QString& busAddress) {
    if (busAddress.isEmpty()) return;
    connectionName_ = QStringLiteral("ostrela-mpris-%1").arg(connectionCounter.fetchAndAddRelaxed(1));
    QDBusConnection::connectToBus(busAddress, connectionName_);
    ownConnection_ = true;
}

MprisPlayerBridge::~MprisPlayerBridge() {
    if (ownConnection_) QDBusConnection::disconnectFromBus(connectionName_);
}

QStringList MprisPlayerBridge::runningPlayers() {
    const QDBusConnection bus = connectionNamed(connectionName_);
    if (!bus.isConnected()) return {};
    const QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("ListNames"));
    const QDBusMessage reply = bus.call(call, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return {};
    QStringList players;
    for (const QString& name : stringList(reply.arguments().constFirst()))
        if (name.startsWith(QLatin1String(kMprisPrefix))) players << name;
    return players;
}

std::optional<PlayingTrack> MprisPlayerBridge::currentTrack(const QString& busName) {
    const QDBusConnection bus = connectionNamed(connectionName_);
    if (!bus.isConnected()) return std::nullopt;
    if (property(bus, busName, QStringLiteral("PlaybackStatus")).toString() != QLatin1String("Playing"))
        return std::nullopt;
    const QVariantMap metadata = variantMap(property(bus, busName, QStringLiteral("Metadata")));
    PlayingTrack track;
    track.title = unwrap(metadata.value(QStringLiteral("xesam:title"))).toString();
    track.artist = stringList(unwrap(metadata.value(QStringLiteral("xesam:artist")))).join(QStringLiteral(", "));
    return track;
}

void FakeMediaPlayerBridge::setPlayer(const QString& busName, Player player) {
    std::lock_guard lock(mutex_);
    players_[busName] = std::move(player);
}
void FakeMediaPlayerBridge::removePlayer(const QString& busName) {
    std::lock_guard lock(mutex_);
    players_.erase(busName);
}
void FakeMediaPlayerBridge::clear() {
    std::lock_guard lock(mutex_);
    players_.clear();
}
int FakeMediaPlayerBridge::queryCount() const {
    std::lock_guard lock(mutex_);
    return queries_;
}
void FakeMediaPlayerBridge::setBlocked(bool blocked) {
    {
        std::lock_guard lock(mutex_);
        blocked_ = blocked;
    }
    unblocked_.notify_all();
}
int FakeMediaPlayerBridge::listCount() const {
    std::lock_guard lock(mutex_);
    return lists_;
}
QStringList FakeMediaPlayerBridge::runningPlayers() {
    std::unique_lock lock(mutex_);
    ++lists_;
    unblocked_.wait(lock, [this] { return !blocked_; });
    QStringList names;
    // Reverse order, so callers can't rely on the order they are given.
    for (auto it = players_.rbegin(); it != players_.rend(); ++it) names << it->first;
    return names;
}
std::optional<PlayingTrack> FakeMediaPlayerBridge::currentTrack(const QString& busName) {
    std::unique_lock lock(mutex_);
    unblocked_.wait(lock, [this] { return !blocked_; });
    ++queries_;
    auto it = players_.find(busName);
    if (it == players_.end() || !it->second.playing) return std::nullopt;
    return it->second.track;
}

}  // namespace ostrela
