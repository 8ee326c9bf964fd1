// The hang-up against a mock network manager on a private bus that the test starts; the machine's
// own buses are never touched.
#include "platform/DialUp.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace brindle;
using SettingsMap = QMap<QString, QVariantMap>;

namespace {

const QString kNm = QStringLiteral("org.freedesktop.NetworkManager");
const QString kMockObject = QStringLiteral("/org/freedesktop");
const QString kMock = QStringLiteral("org.freedesktop.DBus.Mock");
const QString kManager = QStringLiteral("/org/freedesktop/NetworkManager");

// Debian's python first: an earlier python on PATH may lack the dbusmock module.
QString pythonWithDbusmock() {
    for (const QString& py : {QStringLiteral("/usr/bin/python3"), QStandardPaths::findExecutable("python3")})
        if (!py.isEmpty() &&
            QProcess::execute(py, {QStringLiteral("-c"), QStringLiteral("import dbusmock")}) == 0)
            return py;
    return QString();
}

} // namespace

class TestDialUp : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    QProcess m_daemon;
    QProcess m_service; // whatever holds the network manager's name
    QString m_address;
    QString m_python;

    QDBusConnection bus() { return QDBusConnection::connectToBus(m_address, QStringLiteral("test")); }
    // Starts a program on the private bus and waits until it owns the network manager's name.
    void startService(const QStringList& arguments) {
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), m_address);
        m_service.setProcessEnvironment(env);
        // Its log would fill a pipe that nobody reads while the test waits on the bus.
        m_service.setStandardOutputFile(QProcess::nullDevice());
        m_service.start(m_python, arguments);
        QTRY_VERIFY_WITH_TIMEOUT(bus().interface()->isServiceRegistered(kNm).value(), 20000);
    }
    QVariant call(const QString& path, const QString& iface, const QString& method,
                  const QVariantList& args) {
        QDBusMessage m = QDBusMessage::createMethodCall(kNm, path, iface, method);
        m.setArguments(args);
        const QDBusMessage reply = bus().call(m);
        [&] { QCOMPARE(reply.errorMessage(), QString()); }();
        return reply.arguments().value(0);
    }

private Q_SLOTS:
    void initTestCase() {
        m_python = pythonWithDbusmock();
        const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (m_python.isEmpty() || daemon.isEmpty())
            QSKIP("dbus-daemon or python3-dbusmock is missing: run tools/scripts/deps.sh");
        qDBusRegisterMetaType<SettingsMap>();
        // A bus of its own with no activatable services, so nothing is started behind the test's back.
        QFile config(m_dir.filePath(QStringLiteral("bus.conf")));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(
            "<busconfig><type>session</type><listen>unix:dir=" + m_dir.path().toUtf8() +
            "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\" "
            "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>");
        config.close();
        m_daemon.start(daemon, {QStringLiteral("--config-file=") + config.fileName(),
                                QStringLiteral("--nofork"), QStringLiteral("--print-address")});
        QVERIFY(m_daemon.waitForReadyRead(10000));
        m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
        QVERIFY(bus().isConnected());
    }
    void cleanup() {
        m_service.kill();
        m_service.waitForFinished();
    }
    void cleanupTestCase() {
        m_daemon.kill();
        m_daemon.waitForFinished();
    }

    void withoutNetworkManagerNothingHappens() { QCOMPARE(hangUpAll(bus()), QStringList()); }

    void silentNetworkManagerDoesNotHoldUpTheWindow() {
        // Owns the name and never answers.
        startService({QStringLiteral("-c"),
                      QStringLiteral("import dbus, os, time\n"
                                     "b = dbus.bus.BusConnection(os.environ['DBUS_SYSTEM_BUS_ADDRESS'])\n"
                                     "b.request_name('org.freedesktop.NetworkManager')\ntime.sleep(120)")});
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(hangUpAll(bus()), QStringList());
        QVERIFY2(clock.elapsed() < 10000, "waited as long as the bus's own default timeout");
    }

    void onlyDialUpConnectionsGoDown() {
        startService({QStringLiteral("-m"), QStringLiteral("dbusmock"), QStringLiteral("--template"),
                      QStringLiteral("networkmanager")});
        const QString devIface = QStringLiteral("org.freedesktop.NetworkManager.Device");
        auto device = [&](const char* method, const QString& name) {
            return call(kMockObject, kMock, QString::fromLatin1(method), {name, name, 100}).toString();
        };
        const QString eth = device("AddEthernetDevice", QStringLiteral("eth0"));
        const QString wlan = device("AddWiFiDevice", QStringLiteral("wlan0"));
        const QString pppDevice = device("AddEthernetDevice", QStringLiteral("ttyS0"));
        call(kMockObject, kMock, QStringLiteral("SetProperty"),
             {pppDevice, devIface, QStringLiteral("DeviceType"), QVariant::fromValue(QDBusVariant(23u))});
        struct Row {
            QString type, bluetooth, device;
            bool down;
        };
        // In the manager's listing order.
        const QList<Row> rows{{"802-3-ethernet", "", eth, false},   {"gsm", "", "", true},
                              {"802-11-wireless", "", wlan, false}, {"pppoe", "", "", true},
                              {"bluetooth", "dun", "", true},       {"bluetooth", "panu", "", false},
                              {"generic", "", pppDevice, true},     {"cdma", "", "", true}};
        QStringList expectDown, expectUp;
        for (qsizetype i = 0; i < rows.size(); ++i) {
            const Row& r = rows[i];
            SettingsMap settings{{"connection", {{"id", "c" + QString::number(i)}, {"type", r.type}}}};
            if (!r.bluetooth.isEmpty())
                settings.insert("bluetooth", {{"type", r.bluetooth}});
            const auto profile = call(kManager + "/Settings", kNm + ".Settings", "AddConnection",
                                      {QVariant::fromValue(settings)});
            const QStringList devices = r.device.isEmpty() ? QStringList() : QStringList{r.device};
            const QString active =
                call(kMockObject, kMock, "AddActiveConnection",
                     {devices, qvariant_cast<QDBusObjectPath>(profile).path(), "/", QString::number(i), 2u})
                    .toString();
            (r.down ? expectDown : expectUp) << active;
        }

        QCOMPARE(hangUpAll(bus()), expectDown);
        // The same connection asks afterwards, so the deactivations have been handled by then.
        QStringList deactivated;
        const QDBusArgument log = qvariant_cast<QDBusArgument>(call(kManager, kMock, "GetCalls", {}));
        log.beginArray();
        while (!log.atEnd()) {
            qulonglong when;
            QString method;
            QVariantList args;
            log.beginStructure();
            log >> when >> method >> args;
            log.endStructure();
            if (method == QLatin1String("DeactivateConnection"))
                deactivated << qvariant_cast<QDBusObjectPath>(args.value(0)).path();
        }
        log.endArray();
        QCOMPARE(deactivated, expectDown);
        const QVariant left = call(kManager, "org.freedesktop.DBus.Properties", "Get",
                                   {kNm, QStringLiteral("ActiveConnections")});
        QStringList stillUp;
        for (const QDBusObjectPath& p :
             qdbus_cast<QList<QDBusObjectPath>>(qvariant_cast<QDBusVariant>(left).variant()))
            stillUp << p.path();
        QCOMPARE(stillUp, expectUp);
    }

    void dialUpKinds_data() {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("bluetooth");
        QTest::addColumn<uint>("deviceType");
        QTest::addColumn<QString>("ipInterface");
        QTest::addColumn<bool>("dialUp");
        QTest::newRow("gsm") << "gsm"
                             << "" << 8u << "" << true;
        QTest::newRow("adsl") << "adsl"
                              << "" << 12u << "" << true;
        QTest::newRow("bluetooth dial-up") << "bluetooth"
                                           << "dun" << 5u << "" << true;
        QTest::newRow("bluetooth network") << "bluetooth"
                                           << "panu" << 5u << "bnep0" << false;
        QTest::newRow("ethernet") << "802-3-ethernet"
                                  << "" << 1u << "eth0" << false;
        QTest::newRow("wifi") << "802-11-wireless"
                              << "" << 2u << "wlan0" << false;
        QTest::newRow("vpn") << "vpn"
                             << "" << 1u << "tun0" << false;
        QTest::newRow("ppp device") << "generic"
                                    << "" << kDeviceTypePpp << "" << true;
        QTest::newRow("ppp interface") << "generic"
                                       << "" << 14u << "ppp0" << true;
        QTest::newRow("name merely begins with ppp") << "generic"
                                                     << "" << 14u << "pppoe-bridge" << false;
    }
    void dialUpKinds() {
        QFETCH(QString, type);
        QFETCH(QString, bluetooth);
        QFETCH(uint, deviceType);
        QFETCH(QString, ipInterface);
        QFETCH(bool, dialUp);
        QCOMPARE(isDialUp({type, bluetooth, {{deviceType, QStringLiteral("dev"), ipInterface}}}), dialUp);
    }
};

QTEST_GUILESS_MAIN(TestDialUp)
#include "tst_dialup.moc"
