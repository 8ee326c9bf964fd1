#pragma once
#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// The Dovecot of dovecot-harness.sh, started by CTest's fixtures "dovecot" and "dovecot_tls"; the
// variables BRINDLE_DOVECOT_DIR and BRINDLE_DOVECOT_TLS_DIR name their work folders.
class DovecotServer {
public:
    enum class Kind {
        Plain, // no TLS at all
        Tls,   // STLS offered on port(), TLS from the start on tlsPort()
    };
    // False with a readable reason when the fixture's server cannot be found.
    bool start(Kind kind, QString* error);

    quint16 port() const { return m_port; }
    quint16 tlsPort() const { return m_tlsPort; }
    // "127.0.0.1:port", as the mail library and the settings file take it.
    QString hostAndPort() const { return QStringLiteral("127.0.0.1:%1").arg(m_port); }
    // The TLS server's certificate (PEM), self-signed for 127.0.0.1.
    QString certificatePath() const { return m_dir + QStringLiteral("/conf/cert.pem"); }
    // The server's log from the given byte offset on.
    QByteArray log(qint64 from = 0) const;

    // Puts the user's mailbox back to the known messages. No session of the user may be open.
    bool reset(const QString& user, QString* error);
    // The messages of the user's mailbox in server order, as stored (LF line ends): what the
    // server holds, seen without POP3.
    QList<QByteArray> storedMessages(const QString& user) const;

protected: // the benchmarks drive a server of their own through the harness
    bool useWorkDir(const QString& workDir, bool tls, QString* error);
    bool harness(const QStringList& args, QString* error);

    QString m_workDir; // the fixture's folder
    QString m_dir;     // the server's own folder, named in the work folder
    quint16 m_port = 0, m_tlsPort = 0;
};

// Accounts of the harness.
struct DovecotAccount {
    QString user, password;
};
inline const DovecotAccount kAlice{QStringLiteral("alice"), QStringLiteral("Alice-pw.1")};
inline const DovecotAccount kBob{QStringLiteral("bob"), QStringLiteral("Bob-pw.2")};
// Read only: its mailbox is never changed.
inline const DovecotAccount kDave{QStringLiteral("dave"), QStringLiteral("Dave pw &7%!")};

// Number of messages that reset() puts into every mailbox.
inline constexpr int kKnownMessageCount = 7;
