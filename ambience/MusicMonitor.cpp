#include "ambience/MusicMonitor.h"

#include <QTimer>

namespace brindle {

MusicMonitor::MusicMonitor(MediaControl& device, std::function<bool()> intervalCheckingOn, QObject* parent)
    : QObject(parent), m_device(device), m_intervalOn(std::move(intervalCheckingOn)),
      m_timer(new QTimer(this)) {
    m_timer->setObjectName(QStringLiteral("Timer1"));
    m_timer->setInterval(100);
    connect(m_timer, &QTimer::timeout, this, &MusicMonitor::tick);
}

void MusicMonitor::tick() {
    const QString mode = m_device.send(QStringLiteral("status bgm mode"));
    if (!mode.startsWith(QLatin1String("stopped")))
        return;
    if (m_intervalOn()) {
        m_device.send(QStringLiteral("play bgm from 0"));
        return;
    }
    m_device.send(QStringLiteral("stop bgm"));
    m_device.send(QStringLiteral("close bgm"));
    m_timer->stop();
}

void MusicMonitor::play(const QString& piece) {
    m_device.send(QStringLiteral("open \"%1\" alias bgm").arg(piece));
    m_device.send(QStringLiteral("play bgm from 0"));
    m_timer->start();
}

void MusicMonitor::stop() {
    m_device.send(QStringLiteral("stop bgm"));
    m_device.send(QStringLiteral("close bgm"));
    m_timer->stop();
}

} // namespace brindle
