#pragma once
#include <QDBusConnection>
#include <QList>
#include <QString>
#include <QStringList>

namespace brindle {

// One network device of an active connection, as the network manager describes it.
struct NetworkDevice {
    uint deviceType = 0; // NMDeviceType
    QString interface;   // the device's own interface ("ttyUSB0", "eth0")
    QString ipInterface; // the interface that carries IP over it ("ppp0"), empty when none
};

// What decides whether an active connection is a dial-up line.
struct ActiveConnectionInfo {
    QString type;          // the connection type: "gsm", "pppoe", "802-3-ethernet", ...
    QString bluetoothType; // the bluetooth.type of its settings ("dun", "panu"); read for "bluetooth" only
    QList<NetworkDevice> devices;
};

// The network manager's device type of a PPP link.
inline constexpr uint kDeviceTypePpp = 23;

// True for the connections a hang-up ends: mobile broadband (gsm, cdma), PPPoE, ADSL, Bluetooth
// dial-up networking (not a Bluetooth personal-area network), and any connection carried by a PPP
// device or a ppp interface.
bool isDialUp(const ActiveConnectionInfo& connection);

// Ends every active dial-up connection of the network manager on `bus`, in the order the manager
// lists them, without waiting for them to close. Returns the object paths of the connections it
// asked to deactivate. Does nothing when the network manager is not on the bus; no call waits
// longer than a short timeout, so a manager that does not answer cannot freeze the windows.
QStringList hangUpAll(QDBusConnection bus);

} // namespace brindle
