// The hang-up against a mock network manager on a private bus; the machine's own are never touched.
#include "platform/DialUp.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace brindle;
using Settings = QMap<QString, QVariantMap>;

class TestDialUp : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    QProcess m_daemon, m_service; // the private bus; whatever holds the manager's name on it
    QString m_address, m_python;
    const QString kMock = QStringLiteral("/org/freedesktop");

    QDBusConnection bus() { return QDBusConnection::connectToBus(m_address, QStringLiteral("test")); }
    // The processes end with the test: QProcess kills what still runs when it goes.
    void startService(const QStringList& arguments) {
        m_service.kill();
        m_service.waitForFinished();
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), m_address);
        m_service.setProcessEnvironment(env);
        // To a file: its log would fill a pipe that nobody reads while the test waits on the bus.
        m_service.setStandardOutputFile(m_dir.filePath(QStringLiteral("mock.log")));
        m_service.start(m_python, arguments);
        QTRY_VERIFY_WITH_TIMEOUT(bus().interface()->isServiceRegistered("org.freedesktop.NetworkManager"),
                                 20000);
    }
    // The first result of a method of the mock; by default one of its own set-up methods.
    QVariant call(const QString& path, const QString& method, const QVariantList& args,
                  const QString& iface = QStringLiteral("org.freedesktop.DBus.Mock")) {
        QDBusMessage m =
            QDBusMessage::createMethodCall("org.freedesktop.NetworkManager", path, iface, method);
        m.setArguments(args);
        const QDBusMessage reply = bus().call(m);
        [&] { QCOMPARE(reply.errorMessage(), QString()); }();
        return reply.arguments().value(0);
    }

private Q_SLOTS:
    void initTestCase() {
        // Debian's python first: an earlier python on PATH may lack the dbusmock module.
        for (const QString& py :
             {QStringLiteral("/usr/bin/python3"), QStandardPaths::findExecutable("python3")})
            if (m_python.isEmpty() && !py.isEmpty() && QProcess::execute(py, {"-c", "import dbusmock"}) == 0)
                m_python = py;
        const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (m_python.isEmpty() || daemon.isEmpty())
            QSKIP("dbus-daemon or python3-dbusmock is missing: run tools/scripts/deps.sh test");
        qDBusRegisterMetaType<Settings>();
        m_daemon.start(daemon, {"--config-file=" PRIVATE_BUS_CONFIG, "--nofork", "--print-address"});
        QVERIFY(m_daemon.waitForReadyRead(10000));
        m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
        QVERIFY(bus().isConnected());
    }

    void withoutNetworkManagerNothingHappens() { QCOMPARE(hangUpAll(bus()), QStringList()); }

    void silentNetworkManagerDoesNotHoldUpTheWindow() {
        startService({"-c", "import dbus, os, time\n" // owns the name and never answers
                            "b = dbus.bus.BusConnection(os.environ['DBUS_SYSTEM_BUS_ADDRESS'])\n"
                            "b.request_name('org.freedesktop.NetworkManager')\ntime.sleep(120)"});
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(hangUpAll(bus()), QStringList());
        QVERIFY2(clock.elapsed() < 10000, "waited as long as the bus's own default timeout");
    }

    void onlyDialUpConnectionsGoDown() {
        startService({"-m", "dbusmock", "--template", "networkmanager"});
        auto device = [&](const char* k, const char* n) { return call(kMock, k, {n, n, 100}).toString(); };
        const QString eth = device("AddEthernetDevice", "eth0"), wlan = device("AddWiFiDevice", "wlan0");
        const QString pppName = device("AddEthernetDevice", "ppp0"),
                      pppLink = device("AddEthernetDevice", "ttyS0");
        call(kMock, "SetProperty",
             {pppLink, "org.freedesktop.NetworkManager.Device", "DeviceType",
              QVariant::fromValue(QDBusVariant(kDeviceTypePpp))});
        // Type, bluetooth.type, device, whether it goes down; in the manager's listing order.
        // clang-format off
        const QList<std::tuple<QString, QString, QString, bool>> rows{
            {"802-3-ethernet", "", eth, false}, {"gsm", "", "", true}, {"802-11-wireless", "", wlan, false},
            {"pppoe", "", "", true}, {"bluetooth", "dun", "", true}, {"bluetooth", "panu", "", false},
            {"generic", "", pppLink, true}, {"vpn", "", "", false}, {"cdma", "", "", true},
            {"adsl", "", "", true}, {"generic", "", pppName, true}};
        // clang-format on
        QStringList expectDown, deactivated;
        for (qsizetype i = 0; i < rows.size(); ++i) {
            const auto& [type, bluetooth, dev, down] = rows[i];
            const Settings settings{{"connection", {{"id", QString::number(i)}, {"type", type}}},
                                    {"bluetooth", {{"type", bluetooth}}}};
            const QVariant profile =
                call("/org/freedesktop/NetworkManager/Settings", "AddConnection",
                     {QVariant::fromValue(settings)}, "org.freedesktop.NetworkManager.Settings");
            const QString active =
                call(kMock, "AddActiveConnection",
                     {dev.isEmpty() ? QStringList() : QStringList{dev},
                      qvariant_cast<QDBusObjectPath>(profile).path(), "/", QString::number(i), 2u})
                    .toString();
            if (down)
                expectDown << active;
        }

        QCOMPARE(hangUpAll(bus()), expectDown);
        // Answered after the deactivations on the same connection: the mock has logged them by then.
        call("/org/freedesktop/NetworkManager", "GetCalls", {});
        QFile log(m_dir.filePath(QStringLiteral("mock.log")));
        QVERIFY(log.open(QIODevice::ReadOnly));
        static const QRegularExpression deactivation(QStringLiteral("DeactivateConnection \"([^\"]+)\""));
        for (const QRegularExpressionMatch& m : deactivation.globalMatch(QString::fromUtf8(log.readAll())))
            deactivated << m.captured(1);
        // In order; Ethernet, Wi-Fi, the Bluetooth network and the VPN stay up.
        QCOMPARE(deactivated, expectDown);
    }
};

QTEST_GUILESS_MAIN(TestDialUp)
#include "tst_dialup.moc"
