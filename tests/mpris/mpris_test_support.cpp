#include "mpris_test_support.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>

#include <atomic>

namespace mprist {

namespace {
QString nextClientName() {
    static std::atomic<int> counter{0};
    return QStringLiteral("mpris-test-client-%1").arg(++counter);
}
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
}  // namespace

BusClient::BusClient()
    : name_(nextClientName()),
      bus_(QDBusConnection::connectToBus(QDBusConnection::SessionBus, name_)) {}

BusClient::~BusClient() {
    QDBusConnection::disconnectFromBus(name_);
}

QDBusMessage BusClient::send(const QDBusMessage& message) {
    // BlockWithGui keeps this thread's event loop running, so the player here can answer.
    return bus_.call(message, QDBus::BlockWithGui, static_cast<int>(kWait.count()));
}

bool BusClient::call(const QString& service, const QString& method, const QVariantList& args,
                     const QString& interface) {
    QDBusMessage message = QDBusMessage::createMethodCall(
        service, QString::fromUtf8(mpris::kObjectPath), interface, method);
    message.setArguments(args);
    return send(message).type() == QDBusMessage::ReplyMessage;
}

QVariant BusClient::get(const QString& service, const QString& interface, const QString& property) {
    QDBusMessage message = QDBusMessage::createMethodCall(
        service, QString::fromUtf8(mpris::kObjectPath), kProperties, QStringLiteral("Get"));
    message << interface << property;
    const QDBusMessage reply = send(message);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return {};
    return reply.arguments().first().value<QDBusVariant>().variant();
}

bool BusClient::set(const QString& service, const QString& interface, const QString& property,
                    const QVariant& value) {
    QDBusMessage message = QDBusMessage::createMethodCall(
        service, QString::fromUtf8(mpris::kObjectPath), kProperties, QStringLiteral("Set"));
    message << interface << property << QVariant::fromValue(QDBusVariant(value));
    return send(message).type() == QDBusMessage::ReplyMessage;
}

bool BusClient::nameHasOwner(const QString& name) {
    return bus_.interface()->isServiceRegistered(name).value();
}

ChangeRecorder::ChangeRecorder(QDBusConnection& bus) {
    bus.connect(QString(), QString::fromUtf8(mpris::kObjectPath), kProperties,
                QStringLiteral("PropertiesChanged"), this, SLOT(onPropertiesChanged(QDBusMessage)));
}

void ChangeRecorder::onPropertiesChanged(const QDBusMessage& message) {
    const QVariantList args = message.arguments();
    if (args.size() < 2 || args[0].toString() != QString::fromUtf8(mpris::kPlayerInterface)) {
        return;
    }
    changes.push_back(toMap(args[1]));
}

QVariant ChangeRecorder::last(const QString& property) const {
    for (auto it = changes.rbegin(); it != changes.rend(); ++it) {
        const auto found = it->find(property);
        if (found != it->end()) return found.value();
    }
    return {};
}

QVariantMap toMap(const QVariant& value) {
    if (value.canConvert<QDBusArgument>()) return qdbus_cast<QVariantMap>(value);
    return value.toMap();
}

}  // namespace mprist
