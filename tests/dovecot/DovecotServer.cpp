#include "DovecotServer.h"

#include <algorithm>
#include <QDir>
#include <QFile>
#include <QProcess>

#ifndef BRINDLE_DOVECOT_HARNESS
#error "BRINDLE_DOVECOT_HARNESS must name dovecot-harness.sh"
#endif

namespace {

// Resetting a mailbox copies a few files; the bound only keeps a hung harness from blocking the run.
constexpr int kHarnessTimeoutMs = 60000;

QByteArray readSmallFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(4096).trimmed() : QByteArray();
}

} // namespace

bool DovecotServer::start(Kind kind, QString* error) {
    const bool tls = kind == Kind::Tls;
    return useWorkDir(qEnvironmentVariable(tls ? "BRINDLE_DOVECOT_TLS_DIR" : "BRINDLE_DOVECOT_DIR"), tls,
                      error);
}

bool DovecotServer::useWorkDir(const QString& workDir, bool tls, QString* error) {
    m_workDir = workDir;
    m_dir = QString::fromLocal8Bit(readSmallFile(m_workDir + QStringLiteral("/server-dir")));
    bool ok = !m_dir.isEmpty();
    m_port = quint16(readSmallFile(m_dir + QStringLiteral("/port")).toUShort(&ok));
    m_tlsPort = quint16(readSmallFile(m_dir + QStringLiteral("/tlsport")).toUShort());
    if (!ok || m_port == 0 || (tls && m_tlsPort == 0)) {
        *error = QStringLiteral("no Dovecot server for \"%1\": run the test through ctest, which starts it "
                                "(see the dovecot_start tests; is Dovecot installed?)")
                     .arg(m_workDir);
        return false;
    }
    return true;
}

QByteArray DovecotServer::log(qint64 from) const {
    QFile file(m_dir + QStringLiteral("/dovecot.log"));
    if (!file.open(QIODevice::ReadOnly) || !file.seek(from))
        return {};
    return file.readAll();
}

bool DovecotServer::reset(const QString& user, QString* error) {
    return harness({QStringLiteral("reset"), m_workDir, user}, error);
}

bool DovecotServer::harness(const QStringList& args, QString* error) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral(BRINDLE_DOVECOT_HARNESS), args);
    if (!p.waitForFinished(kHarnessTimeoutMs))
        p.kill();
    if (p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
        return true;
    *error = QStringLiteral("dovecot-harness.sh %1 failed: %2")
                 .arg(args.join(u' '), QString::fromLocal8Bit(p.readAll()).trimmed());
    return false;
}

QList<QByteArray> DovecotServer::storedMessages(const QString& user) const {
    // Maildir names begin with the delivery time, which the harness counts up in server order;
    // the flags Dovecot appends later do not change that prefix.
    QList<QPair<qint64, QString>> files;
    for (const char* sub : {"cur", "new"}) {
        QDir dir(m_dir + QStringLiteral("/mail/") + user + u'/' + QLatin1String(sub));
        for (const QString& name : dir.entryList(QDir::Files))
            files.append({name.section(u'.', 0, 0).toLongLong(), dir.filePath(name)});
    }
    std::sort(files.begin(), files.end());
    QList<QByteArray> messages;
    for (const auto& f : files) {
        QFile file(f.second);
        if (file.open(QIODevice::ReadOnly))
            messages.append(file.readAll());
    }
    return messages;
}
