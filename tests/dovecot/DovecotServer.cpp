#include "DovecotServer.h"

#include <algorithm>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTcpSocket>

#ifndef BRINDLE_DOVECOT_HARNESS
#error "BRINDLE_DOVECOT_HARNESS must name dovecot-harness.sh"
#endif

namespace {

// Bounds every wait on the server. A local Dovecot answers in milliseconds; the margin is for a
// loaded 2-core build machine, and a hung server fails the test instead of blocking it.
constexpr int kIoTimeoutMs = 10000;
// Start-up includes Dovecot's own start and the mailbox generation.
constexpr int kHarnessTimeoutMs = 60000;
// A POP3 line is at most 512 octets (RFC 1939); anything far longer means a broken exchange.
constexpr qint64 kMaxLineBytes = 64 * 1024;

} // namespace

bool Pop3Session::open(quint16 port, QString* error) {
    m_socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!m_socket.waitForConnected(kIoTimeoutMs)) {
        *error = QStringLiteral("connect: ") + m_socket.errorString();
        return false;
    }
    return true;
}

bool Pop3Session::readLine(QByteArray* line, QString* error) {
    while (!m_socket.canReadLine()) {
        if (m_socket.bytesAvailable() > kMaxLineBytes) {
            *error = QStringLiteral("line too long");
            return false;
        }
        if (!m_socket.waitForReadyRead(kIoTimeoutMs)) {
            *error = QStringLiteral("no answer: ") + m_socket.errorString();
            return false;
        }
    }
    *line = m_socket.readLine();
    while (line->endsWith('\n') || line->endsWith('\r'))
        line->chop(1);
    return true;
}

bool Pop3Session::command(const QByteArray& cmd, QByteArray* reply, QString* error) {
    m_socket.write(cmd + "\r\n");
    if (!m_socket.waitForBytesWritten(kIoTimeoutMs)) {
        *error = QStringLiteral("send: ") + m_socket.errorString();
        return false;
    }
    if (!readLine(reply, error))
        return false;
    if (!reply->startsWith("+OK")) {
        *error = QString::fromLatin1(cmd.split(' ').value(0) + " refused: " + *reply);
        return false;
    }
    return true;
}

bool Pop3Session::multiLine(QList<QByteArray>* lines, QString* error) {
    for (;;) {
        QByteArray l;
        if (!readLine(&l, error))
            return false;
        if (l == ".")
            return true;
        if (l.startsWith('.'))
            l.remove(0, 1);
        lines->append(l);
    }
}

bool Pop3Session::login(const char* user, const char* password, QString* error) {
    QByteArray reply;
    if (!readLine(&m_greeting, error))
        return false;
    if (!m_greeting.startsWith("+OK")) {
        *error = QStringLiteral("bad greeting: ") + QString::fromLatin1(m_greeting);
        return false;
    }
    return command(QByteArray("USER ") + user, &reply, error) &&
           command(QByteArray("PASS ") + password, &reply, error);
}

bool Pop3Session::quit(QString* error) {
    QByteArray reply;
    const bool ok = command("QUIT", &reply, error);
    m_socket.disconnectFromHost();
    return ok;
}

DovecotServer::~DovecotServer() {
    if (m_ownDir) {
        QString ignored;
        harness({QStringLiteral("stop"), m_workDir}, &ignored);
    }
}

bool DovecotServer::harness(const QStringList& args, QString* error) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral(BRINDLE_DOVECOT_HARNESS), args);
    if (!p.waitForFinished(kHarnessTimeoutMs)) {
        p.kill();
        p.waitForFinished(kIoTimeoutMs);
        if (error)
            *error = QStringLiteral("dovecot-harness.sh %1 did not finish").arg(args.join(u' '));
        return false;
    }
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        if (error)
            *error = QStringLiteral("dovecot-harness.sh %1 failed: %2")
                         .arg(args.join(u' '), QString::fromLocal8Bit(p.readAll()).trimmed());
        return false;
    }
    return true;
}

namespace {

bool readPort(const QString& path, quint16* port, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1 is missing: the Dovecot fixture did not start (see the dovecot_start "
                                "tests; is Dovecot installed?)")
                     .arg(path);
        return false;
    }
    bool ok = false;
    const uint value = file.readAll().trimmed().toUInt(&ok);
    if (!ok || value == 0 || value > 65535) {
        *error = QStringLiteral("%1 holds no port").arg(path);
        return false;
    }
    *port = quint16(value);
    return true;
}

} // namespace

bool DovecotServer::start(QString* error, Kind kind) {
    const bool tls = kind == Kind::Tls;
    m_workDir = qEnvironmentVariable(tls ? "BRINDLE_DOVECOT_TLS_DIR" : "BRINDLE_DOVECOT_DIR");
    if (m_workDir.isEmpty()) {
        m_ownDir = std::make_unique<QTemporaryDir>();
        if (!m_ownDir->isValid()) {
            *error = QStringLiteral("no temporary folder for the server");
            return false;
        }
        m_workDir = m_ownDir->path();
        QStringList args{QStringLiteral("start"), m_workDir};
        if (tls)
            args.append(QStringLiteral("tls"));
        if (!harness(args, error)) {
            m_ownDir.reset();
            return false;
        }
    }
    if (!readPort(m_workDir + QStringLiteral("/port"), &m_port, error))
        return false;
    return !tls || readPort(m_workDir + QStringLiteral("/tlsport"), &m_tlsPort, error);
}

QString DovecotServer::certificatePath() const {
    return m_workDir + QStringLiteral("/conf/cert.pem");
}

QByteArray DovecotServer::log(qint64 from) const {
    QFile file(m_workDir + QStringLiteral("/dovecot.log"));
    if (!file.open(QIODevice::ReadOnly) || !file.seek(from))
        return {};
    return file.readAll();
}

qint64 DovecotServer::logSize() const {
    return QFileInfo(m_workDir + QStringLiteral("/dovecot.log")).size();
}

QString DovecotServer::hostAndPort() const {
    return QStringLiteral("127.0.0.1:%1").arg(m_port);
}

bool DovecotServer::reset(const QString& user, QString* error) {
    return harness({QStringLiteral("reset"), m_workDir, user}, error);
}

bool DovecotServer::kick(const QString& user, QString* error) {
    return harness({QStringLiteral("kick"), m_workDir, user}, error);
}

QList<QByteArray> DovecotServer::storedMessages(const QString& user) const {
    // Maildir names begin with the delivery time, which the harness counts up in server order;
    // the flags Dovecot appends later do not change that prefix.
    QList<QPair<qint64, QString>> files;
    for (const char* sub : {"cur", "new"}) {
        QDir dir(m_workDir + QStringLiteral("/mail/") + user + u'/' + QLatin1String(sub));
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

qint64 DovecotServer::networkSize(const QByteArray& stored) {
    return stored.size() + stored.count('\n') - stored.count("\r\n");
}

QList<qint64> Pop3Probe::sizes(const char* user, const char* password) {
    Pop3Session line;
    QByteArray reply;
    QList<QByteArray> lines;
    if (!line.open(m_port, &m_error) || !line.login(user, password, &m_error) ||
        !line.command("LIST", &reply, &m_error) || !line.multiLine(&lines, &m_error))
        return {};
    line.quit(&m_error);
    QList<qint64> result;
    for (const QByteArray& l : lines)
        result.append(l.split(' ').value(1).toLongLong());
    return result;
}
