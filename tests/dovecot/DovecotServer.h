#pragma once
#include <memory>
#include <QByteArray>
#include <QList>
#include <QString>
#include <QTcpSocket>
#include <QTemporaryDir>

// The private Dovecot instance of dovecot-harness.sh, seen from a test.
//
// Under CTest the server is started once by a fixture and BRINDLE_DOVECOT_DIR names its work
// folder (BRINDLE_DOVECOT_TLS_DIR for the TLS server). A test binary started by hand has no such
// folder and starts a server of its own, which it stops again when it ends.
class DovecotServer {
public:
    DovecotServer() = default;
    ~DovecotServer();
    DovecotServer(const DovecotServer&) = delete;
    DovecotServer& operator=(const DovecotServer&) = delete;

    enum class Kind {
        Plain, // no TLS at all
        Tls,   // STLS offered on port(), TLS from the start on tlsPort()
    };
    // False with a readable reason when no server can be reached.
    bool start(QString* error, Kind kind = Kind::Plain);

    quint16 port() const { return m_port; }
    quint16 tlsPort() const { return m_tlsPort; }
    // The TLS server's certificate (PEM), self-signed for 127.0.0.1.
    QString certificatePath() const;
    // The server's log from the given byte offset on.
    QByteArray log(qint64 from = 0) const;
    qint64 logSize() const;
    // "127.0.0.1:port", as the mail library and the settings file take it.
    QString hostAndPort() const;
    QString workDir() const { return m_workDir; }

    // Puts the user's mailbox back to the known messages. No session of the user may be open.
    bool reset(const QString& user, QString* error = nullptr);
    // Drops the user's open sessions from the server side; returns once their processes are gone.
    bool kick(const QString& user, QString* error = nullptr);

    // The messages of the user's mailbox in server order, as stored (LF line ends).
    QList<QByteArray> storedMessages(const QString& user) const;
    // The size a POP3 server reports for a stored message: every line end counted as CR LF.
    static qint64 networkSize(const QByteArray& stored);

private:
    bool harness(const QStringList& args, QString* error);

    std::unique_ptr<QTemporaryDir> m_ownDir; // set when this process started the server itself
    QString m_workDir;
    quint16 m_port = 0;
    quint16 m_tlsPort = 0;
};

// Accounts of the harness.
struct DovecotAccount {
    const char* user;
    const char* password;
};
inline constexpr DovecotAccount kAlice{"alice", "Alice-pw.1"};
inline constexpr DovecotAccount kBob{"bob", "Bob-pw.2"};
inline constexpr DovecotAccount kCarol{"carol", "Carol-pw.3"};
// Read only: its mailbox is never changed, so tests running in parallel may share it.
inline constexpr DovecotAccount kDave{"dave", "Dave pw &7%!"};

// Number of messages that reset() puts into every mailbox.
inline constexpr int kKnownMessageCount = 7;

// One POP3 connection of the test's own, for steps the probe below does not cover (a deletion
// that is quit or dropped). Every wait is bounded.
class Pop3Session {
public:
    bool open(quint16 port, QString* error);
    // Reads the greeting and logs in with USER/PASS.
    bool login(const char* user, const char* password, QString* error);
    // Sends one command; true when the answer is +OK.
    bool command(const QByteArray& cmd, QByteArray* reply, QString* error);
    // The lines of a multi-line answer up to the terminating ".", dot-stuffing removed.
    bool multiLine(QList<QByteArray>* lines, QString* error);
    bool readLine(QByteArray* line, QString* error);
    // Sends QUIT; true when the server acknowledged it.
    bool quit(QString* error);
    QByteArray greeting() const { return m_greeting; }

private:
    QTcpSocket m_socket;
    QByteArray m_greeting;
};

// A minimal POP3 client of the test's own, used to look at the mailbox independently of the code
// under test. Every wait is bounded.
class Pop3Probe {
public:
    explicit Pop3Probe(quint16 port) : m_port(port) {}

    // LIST's sizes in message order, or an empty list with the reason in lastError().
    QList<qint64> sizes(const char* user, const char* password);
    // The number of messages LIST shows, or -1 with the reason in lastError().
    int count(const char* user, const char* password) {
        m_error.clear();
        const QList<qint64> listed = sizes(user, password);
        return listed.isEmpty() && !m_error.isEmpty() ? -1 : int(listed.size());
    }

    QString lastError() const { return m_error; }

private:
    quint16 m_port;
    QString m_error;
};
