#include "platform/DialUp.h"

#include <algorithm>
#include <optional>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QVariantMap>

namespace brindle {

namespace {

const QString kService = QStringLiteral("org.freedesktop.NetworkManager");
const QString kManagerPath = QStringLiteral("/org/freedesktop/NetworkManager");
const QString kManagerInterface = QStringLiteral("org.freedesktop.NetworkManager");
const QString kActiveInterface = QStringLiteral("org.freedesktop.NetworkManager.Connection.Active");
const QString kDeviceInterface = QStringLiteral("org.freedesktop.NetworkManager.Device");
const QString kSettingsInterface = QStringLiteral("org.freedesktop.NetworkManager.Settings.Connection");
const QString kPropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

// One call to the network manager waits at most this long. The hang-up runs on the window thread at
// the end of a check; a manager that hangs must not freeze the window for the bus's default of 25 s.
constexpr int kCallTimeoutMs = 1000;
// All the calls of one hang-up together wait at most this long, however many connections the manager
// lists or however slowly it answers each of them.
constexpr int kHangUpBudgetMs = 3000;
// A machine has a handful of active connections; a listing longer than this is a manager gone wrong,
// and it is refused whole: nothing is hung up rather than a part of it.
constexpr qsizetype kMaxActiveConnections = 256;
// Devices of one connection looked at: a dial-up line has one, a bond a few; more is a listing
// gone wrong, and each device costs a call.
constexpr qsizetype kMaxDevicesPerConnection = 8;

bool isPppInterface(const QString& name) {
    static const QRegularExpression ppp(QStringLiteral("^ppp[0-9]+$"));
    return ppp.match(name).hasMatch();
}

// The network manager's objects on one bus, every call within one deadline.
class Manager {
public:
    explicit Manager(QDBusConnection bus) : m_bus(std::move(bus)), m_deadline(kHangUpBudgetMs) {}

    bool present() {
        QDBusMessage ask = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
        ask << kService;
        const std::optional<QVariant> owned = call(ask);
        return owned && owned->toBool();
    }

    // The first result of a method of the manager, or nothing when it failed or took too long.
    std::optional<QVariant> call(const QString& path, const QString& interface, const QString& method,
                                 const QVariantList& arguments = {}) {
        QDBusMessage msg = QDBusMessage::createMethodCall(kService, path, interface, method);
        msg.setArguments(arguments);
        return call(msg);
    }

    QVariantMap properties(const QString& path, const QString& interface) {
        const std::optional<QVariant> all =
            call(path, kPropertiesInterface, QStringLiteral("GetAll"), {interface});
        return all ? qdbus_cast<QVariantMap>(*all) : QVariantMap();
    }

    std::optional<QList<QDBusObjectPath>> activeConnections() {
        const std::optional<QVariant> v = call(kManagerPath, kPropertiesInterface, QStringLiteral("Get"),
                                               {kManagerInterface, QStringLiteral("ActiveConnections")});
        if (!v)
            return std::nullopt;
        return qdbus_cast<QList<QDBusObjectPath>>(qvariant_cast<QDBusVariant>(*v).variant());
    }

    // The bluetooth.type of a settings connection ("dun", "panu"), empty when it has none.
    QString bluetoothType(const QString& settingsPath) {
        const std::optional<QVariant> v =
            call(settingsPath, kSettingsInterface, QStringLiteral("GetSettings"));
        if (!v || !v->canConvert<QDBusArgument>())
            return QString();
        const QDBusArgument arg = qvariant_cast<QDBusArgument>(*v);
        if (arg.currentType() != QDBusArgument::MapType)
            return QString();
        QString type;
        arg.beginMap();
        while (!arg.atEnd()) {
            QString group;
            QVariantMap values;
            arg.beginMapEntry();
            arg >> group >> values;
            arg.endMapEntry();
            if (group == QLatin1String("bluetooth"))
                type = values.value(QStringLiteral("type")).toString();
        }
        arg.endMap();
        return type;
    }

    std::optional<ActiveConnectionInfo> describe(const QString& activePath) {
        const QVariantMap props = properties(activePath, kActiveInterface);
        if (props.isEmpty())
            return std::nullopt;
        ActiveConnectionInfo info;
        info.type = props.value(QStringLiteral("Type")).toString();
        if (info.type == QLatin1String("bluetooth")) {
            const auto settings = qvariant_cast<QDBusObjectPath>(props.value(QStringLiteral("Connection")));
            if (!settings.path().isEmpty() && settings.path() != QLatin1String("/"))
                info.bluetoothType = bluetoothType(settings.path());
        }
        QList<QDBusObjectPath> devices =
            qdbus_cast<QList<QDBusObjectPath>>(props.value(QStringLiteral("Devices")));
        devices = devices.mid(0, kMaxDevicesPerConnection);
        for (const QDBusObjectPath& d : std::as_const(devices)) {
            const QVariantMap dp = properties(d.path(), kDeviceInterface);
            info.devices.append({dp.value(QStringLiteral("DeviceType")).toUInt(),
                                 dp.value(QStringLiteral("Interface")).toString(),
                                 dp.value(QStringLiteral("IpInterface")).toString()});
        }
        return info;
    }

    // Asks for the deactivation and goes on without waiting for the answer.
    void deactivate(const QDBusObjectPath& activePath) {
        QDBusMessage msg = QDBusMessage::createMethodCall(kService, kManagerPath, kManagerInterface,
                                                          QStringLiteral("DeactivateConnection"));
        msg << QVariant::fromValue(activePath);
        msg.setAutoStartService(false);
        m_bus.send(msg);
    }

private:
    std::optional<QVariant> call(QDBusMessage msg) {
        const qint64 left = m_deadline.remainingTime();
        if (left <= 0)
            return std::nullopt;
        // A manager that is not running is not started for a hang-up.
        msg.setAutoStartService(false);
        const QDBusMessage reply =
            m_bus.call(msg, QDBus::Block, static_cast<int>(std::min<qint64>(left, kCallTimeoutMs)));
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return std::nullopt;
        return reply.arguments().constFirst();
    }

    QDBusConnection m_bus;
    QDeadlineTimer m_deadline;
};

} // namespace

bool isDialUp(const ActiveConnectionInfo& connection) {
    static const QStringList dialUpTypes{QStringLiteral("gsm"), QStringLiteral("cdma"),
                                         QStringLiteral("pppoe"), QStringLiteral("adsl")};
    if (dialUpTypes.contains(connection.type))
        return true;
    if (connection.type == QLatin1String("bluetooth") && connection.bluetoothType == QLatin1String("dun"))
        return true;
    return std::any_of(connection.devices.cbegin(), connection.devices.cend(), [](const NetworkDevice& d) {
        return d.deviceType == kDeviceTypePpp || isPppInterface(d.interface) || isPppInterface(d.ipInterface);
    });
}

QStringList hangUpAll(QDBusConnection bus) {
    QStringList ended;
    if (!bus.isConnected())
        return ended;
    Manager nm(bus);
    if (!nm.present())
        return ended;
    const std::optional<QList<QDBusObjectPath>> active = nm.activeConnections();
    if (!active || active->size() > kMaxActiveConnections)
        return ended;
    for (const QDBusObjectPath& path : *active) {
        const std::optional<ActiveConnectionInfo> info = nm.describe(path.path());
        if (info && isDialUp(*info)) {
            nm.deactivate(path);
            ended << path.path();
        }
    }
    return ended;
}

} // namespace brindle
