// The mail library over our POP3 client against fake servers: exact bytes sent, failures, plans, TLS.
#include "mailcheck/NMail.h"
#include "mailcheck/TlsMemory.h"
#include "support/Rows.h"
#include "support/RunTask.h"
#include "support/TestTransport.h"
#include "tools/fakepop3/FakePop3Server.h"
#include "ui/texts/CheckTexts.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using brindle::testing::runTask;
using namespace brindle;
using namespace brindle::fake;
using brindle::test::indexRows;

namespace {

const QString kUser = QStringLiteral("user");
const QString kPassword = QStringLiteral("s3cret-pw");
using K = Pop3ErrorKind;

QByteArray makeMessage(int i, int bodyBytes = 40) {
    QByteArray m = "From: Sender <sender" + QByteArray::number(i) + "@example.jp>\r\nSubject: message " +
                   QByteArray::number(i) + "\r\n\r\n.a line that starts with a dot\r\n";
    while (m.size() < bodyBytes)
        m += "body text of message " + QByteArray::number(i) + "\r\n";
    return m;
}

FakePop3Options mailbox(int count) {
    FakePop3Options o;
    for (int i = 1; i <= count; ++i)
        o.messages.append(makeMessage(i));
    o.users = {{kUser.toLatin1(), kPassword.toLatin1()}};
    return o;
}

NMailOptions quick(int timeoutMs = 5000) {
    NMailOptions o;
    o.connectTimeoutMs = o.replyTimeoutMs = timeoutMs;
    return o;
}

// What the calls of one check saw. Stops at the first failure but still closes, as the check does.
struct Seen {
    int count = -1;
    QStringList subjects, bodies;
    bool closed = false;
    Pop3Error error; // of the first failure
    QString message;
};

enum Reads { Headers = 1, Bodies = 2, Sizes = 4 };
// Deletions go out without waiting, as the check sends them; their answers are taken at the end.
Seen check(MailLibrary& lib, const QString& server, int reads, const QList<int>& remove = {},
           const QList<int>& headerOnly = {}, bool apop = false, const QString& user = kUser,
           const QString& password = kPassword) {
    Seen s;
    auto failed = [&] {
        if (s.error.kind == K::None)
            s.error = lib.NMailGetError(), s.message = failureSentence(lib.NMailGetError());
        return true;
    };
    const int h = runTask(lib.NMailPop3Connect(server));
    if (h < 0 && failed())
        return s;
    s.count = runTask(lib.NMailPop3Authenticate(h, user, password, apop ? -1 : 0));
    if (s.count < 0)
        failed();
    QList<int> pending;
    for (int n = 1; n <= s.count && s.error.kind == K::None; ++n) {
        MailFields f;
        QString body;
        if ((reads & Headers) && runTask(lib.NMailPop3GetMailStatus(h, n, f)) != 0 && failed())
            break;
        if ((reads & (Sizes | Bodies)) && runTask(lib.NMailPop3GetMailSize(h, n)) < 0 && failed())
            break;
        if ((reads & Bodies) && !headerOnly.contains(n) &&
            runTask(lib.NMailPop3GetMail(h, n, f, body)) != 0 && failed())
            break;
        s.subjects << f.subject;
        s.bodies << body;
        const int r = remove.contains(n) ? runTask(lib.NMailPop3DeleteMailNoWait(h, n)) : 0;
        if (r == 1)
            pending << n;
        else if (r < 0 && failed())
            break;
    }
    for (int n : pending)
        if (runTask(lib.NMailPop3DeleteResult(h, n, true)) != 0)
            failed();
    if (!(s.closed = runTask(lib.NMailPop3Close(h)) == 0))
        failed();
    return s;
}

const ScriptStep kHello{"", "+OK ready\r\n"}, kNoCapa{"CAPA", "-ERR unknown command\r\n"},
    kPipelining{"CAPA", "+OK\r\nPIPELINING\r\n.\r\n"}, kUserStep{"USER user", "+OK\r\n"},
    kPass{"PASS s3cret-pw", "+OK logged in\r\n"}, kStat{"STAT", "+OK 2 320\r\n"},
    kQuit{"QUIT", "+OK bye\r\n"};
const QByteArray kLoginSent = "USER user\r\nPASS s3cret-pw\r\nSTAT\r\n";

// Faults of the fake server and the kind of failure each must give.
struct Fault {
    const char* name;
    void (*setup)(FakePop3Options&);
    Pop3ErrorKind kind;
    bool apop = false;
    const char* shown = ""; // in the failure's text
};
const Fault kFaults[] = {
    {"connection refused", nullptr, K::CannotConnect, false, "127.0.0.1:1 に接続できません"},
    {"closed during PASS", [](FakePop3Options& o) { o.dropAtCommand = "PASS"; }, K::ConnectionLost},
    {"closed during APOP", [](FakePop3Options& o) { o.dropAtCommand = "APOP"; }, K::ConnectionLost, true},
    {"garbage at STAT", [](FakePop3Options& o) { o.garbageAtCommand = "STAT"; }, K::ProtocolError},
    {"oversized status line", [](FakePop3Options& o) { o.oversizedAtCommand = "STAT"; }, K::ProtocolError},
    {"closed at QUIT", [](FakePop3Options& o) { o.dropAtQuit = true; }, K::ConnectionLost},
};

constexpr qsizetype kFloodMessageBytes = 300;
constexpr int kFloodMessages = 3;
// A message of this size has its header read by TOP.
constexpr qsizetype kTopMessageBytes = kPop3WholeForHeaderMaxBytes + 1000;
// Endless replies at a command, with or without line end; the most the client may read: its budget.
const std::tuple<const char*, QByteArray, bool, qsizetype> kFloods[]{
    {"RETR of a message listed at 300 bytes", "RETR", false, pop3WireBudget(kFloodMessageBytes)},
    {"TOP", "TOP", false, pop3WireBudget(kPop3MaxHeaderBytes)},
    {"LIST", "LIST", false, kFloodMessages* kPop3MaxListingLineBytes + kPop3ReplyMarginBytes},
    {"UIDL", "UIDL", false, kFloodMessages* kPop3MaxListingLineBytes + kPop3ReplyMarginBytes},
    {"CAPA", "CAPA", false, pop3WireBudget(kPop3MaxCapaBytes)},
    {"greeting without line end", "GREETING", true, kPop3MaxStatusReplyBytes},
    {"STAT without line end", "STAT", true, kPop3MaxStatusReplyBytes},
    {"DELE without line end", "DELE", true, kPop3MaxStatusReplyBytes},
};
// What the ordinary replies before a flood take at most.
constexpr qint64 kFloodConversationBytes = 4 * 1024;

using Tls = FakePop3Options::Tls;
struct TlsCase {
    const char* name;
    Tls tls;
    int cert; // the server's: 0 good, 1 for another name, 2 expired (all of the test CA)
    bool caTrusted;
    int pin; // the certificate pinned, as cert; -1 none
    Pop3ErrorKind kind;
    const char* shown; // in the failure's text
    void (*fault)(FakePop3Options&) = nullptr;
    bool tlsSeen = false, plainAgreed = false, apop = false;
};
const TlsCase kTlsCases[] = {
    {"STLS stripped by a proxy", Tls::None, 0, true, -1, K::TlsDowngraded, "以前は", nullptr, true, true},
    {"STLS refused", Tls::StartTls, 0, true, -1, K::TlsRefused, "STLS",
     [](FakePop3Options& o) { o.stlsRefused = true; }},
    {"certificate for another name", Tls::StartTls, 1, true, -1, K::TlsRefused, "wrong.invalid"},
    {"expired certificate", Tls::Implicit, 2, true, -1, K::TlsRefused, "2020/01/01"},
    {"expired, unknown issuer", Tls::StartTls, 2, false, -1, K::TlsRefused, "有効期間"},
    {"unknown issuer", Tls::StartTls, 0, false, -1, K::CertificateUnknown, "SHA-256"},
    {"pinned certificate replaced", Tls::StartTls, 0, false, 1, K::CertificateChanged, "SHA-256"},
    {"handshake cut halfway, STLS", Tls::StartTls, 0, true, -1, K::TlsRefused, "暗号化通信",
     [](FakePop3Options& o) { o.cutHandshake = true; }},
    {"handshake cut halfway, TLS from the start", Tls::Implicit, 0, true, -1, K::TlsRefused, "暗号化通信",
     [](FakePop3Options& o) { o.cutHandshake = true; }},
    {"two billion messages", Tls::StartTls, 0, true, -1, K::ProtocolError, "2000000000",
     [](FakePop3Options& o) { o.announcedCount = 2000000000; }},
    {"password in clear, not agreed", Tls::None, 0, true, -1, K::PlainLoginRefused, "同意"},
    {"password in clear, agreed", Tls::None, 0, true, -1, K::None, "", nullptr, false, true},
    {"APOP in clear needs no agreement", Tls::None, 0, true, -1, K::None, "", nullptr, false, false, true},
    {"pinned, unknown issuer", Tls::StartTls, 0, false, 0, K::None, "", nullptr, true},
    {"pinned, another name, TLS from the start", Tls::Implicit, 1, false, 1, K::None, ""},
    {"pinned and expired", Tls::StartTls, 2, false, 2, K::None, ""},
};

// Scripted conversations: what the check sees and exactly what it sends. Nothing is read but sizes.
using Steps = QList<ScriptStep>;
struct Scripted {
    const char* name;
    Steps script;
    int count;
    K kind; // of the first failure
    QByteArray sent;
    QString shown;      // in the failure's detail and text
    QList<int> deletes; // sent without waiting, answers taken afterwards
    bool garbled;
    QString user, password;
    int apopFlag;
};
Scripted row(const char* name, const Steps& script, int count, K kind, const QByteArray& sent,
             const QString& shown = {}, const QList<int>& deletes = {}, bool garbled = false,
             const QString& user = kUser, const QString& password = kPassword, int apop = 0) {
    return {name, script, count, kind, sent, shown, deletes, garbled, user, password, apop};
}
const QByteArray kLogin = "CAPA\r\n" + kLoginSent, kQuitSent = "QUIT\r\n";
const QByteArray kDeleting = kLogin + "DELE 1\r\nDELE 2\r\n";
const QByteArray kUtf8Sent = "CAPA\r\nUTF8\r\n" + kLoginSent + kQuitSent;
const Steps kPipelined{kHello, kPipelining, kUserStep, kPass, kStat};
const ScriptStep kRfcHello{"", "+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>\r\n"},
    kRfcApop{"APOP mrose c4c9334bac560ecc979e58001b3e22fb", "+OK maildrop has 2\r\n"},
    kUtf8Capa{"CAPA", "+OK\r\nPIPELINING\r\nUTF8 USER\r\n.\r\n"}, kUtf8Ok{"UTF8", "+OK UTF8 enabled\r\n"},
    kPassEchoed{"PASS s3cret-pw", "-ERR password s3cret-pw is wrong for \x83\x65\x83\x58\x83\x67\r\n"};
const Scripted kScripted[] = {
    row("USER/PASS", {kHello, kNoCapa, kUserStep, kPass, kStat, kQuit}, 2, K::None, kLogin + kQuitSent),
    row("APOP, RFC 1939 example", {kRfcHello, kNoCapa, kRfcApop, kStat, kQuit}, 2, K::None,
        "CAPA\r\nAPOP mrose c4c9334bac560ecc979e58001b3e22fb\r\nSTAT\r\nQUIT\r\n", {}, {}, false, "mrose",
        "tanstaaf", -1),
    // No timestamp: neither password nor digest goes out.
    row("APOP without timestamp", {kHello, kNoCapa, kQuit}, -1, K::LoginRefused, "CAPA\r\nQUIT\r\n", {}, {},
        false, kUser, kPassword, -1),
    // RFC 6856: UTF8 goes right before the login, in its flight; a refusal leaves ASCII mode.
    row("UTF8, pipelined", {kHello, kUtf8Capa, kUtf8Ok, kUserStep, kPass, kStat, kQuit}, 2, K::None,
        kUtf8Sent),
    row("UTF8 refused, one at a time",
        {kHello, {"CAPA", "+OK\r\nUTF8\r\n.\r\n"}, {"UTF8", "-ERR no\r\n"}, kUserStep, kPass, kStat, kQuit},
        2, K::None, kUtf8Sent),
    // The server's reason is shown (here in Shift_JIS), without the password it echoes.
    row("password echoed", {kHello, kNoCapa, kUserStep, kPassEchoed, kQuit}, -1, K::LoginRefused,
        "CAPA\r\nUSER user\r\nPASS s3cret-pw\r\nQUIT\r\n", "password *** is wrong for テスト"),
    // Deletions pipelined behind each other take effect with the QUIT that follows.
    row("DELE, DELE, QUIT", kPipelined + Steps{{"DELE 1", "+OK\r\n"}, {"DELE 2", "+OK\r\n"}, kQuit}, 2,
        K::None, kDeleting + kQuitSent, {}, {1, 2}),
    row("DELE refused",
        kPipelined + Steps{{"DELE 1", "+OK\r\n"}, {"DELE 2", "-ERR message 2 is locked\r\n"}, kQuit}, 2,
        K::CommandRefused, kDeleting + kQuitSent, "message 2 is locked", {1, 2}),
    // Nonsense to the second DELE: no QUIT, so DELE 1 never takes effect; nothing is sent again.
    row("garbled pipelining after a DELE",
        kPipelined + Steps{{"DELE 1", "+OK\r\n"}, {"DELE 2", "deleted\r\n"}}, 2, K::ProtocolError, kDeleting,
        {}, {1, 2}, true),
};

// Plan, pipelining, bytes per server write (0: whole replies), pipelining garbled, TOP refused, bytes sent.
const QByteArray kListed = "CAPA\r\n" + kLoginSent + "LIST\r\n";
using P = MailPlan;
const std::tuple<const char*, MailPlan, bool, int, bool, bool, QByteArray> kPlans[]{
    {"headers first, pipelined", P::HeadersFirst, true, 0, false, false, {}},
    // A server remembered to garble pipelining is asked one command at a time.
    {"headers first, one at a time", P::HeadersFirst, false, 0, true, false, {}},
    // The header of a message too large to fetch for it then comes with the whole text.
    {"headers first, no TOP", P::HeadersFirst, true, 0, false, true, {}},
    {"whole messages, one at a time", P::WholeMessages, false, 0, false, false,
     kListed + "RETR 1\r\nRETR 2\r\nRETR 3\r\nRETR 4\r\nDELE 4\r\nRETR 5\r\nQUIT\r\n"},
    {"whole messages, one byte per read", P::WholeMessages, true, 1, false, false, {}},
    {"sizes only, pipelined", P::SizesOnly, true, 0, false, false, kListed + "DELE 4\r\nQUIT\r\n"},
};

// A server in memory: what the session writes between two reads is one flight, answered at the next.
struct MemoryServer {
    explicit MemoryServer(int count = 0) {
        for (int i = 1; i <= count; ++i)
            messages << makeMessage(i);
    }
    QList<QByteArray> messages;
    QByteArray capa = "PIPELINING\r\nTOP\r\nUIDL\r\nUSER\r\n";
    bool loginApart = false; // what comes behind PASS or APOP in its flight is lost (Courier)
    int garbleOver = 0;      // > 0: a flight of more commands is answered with nonsense after its first
    QByteArray silentAt;     // from this command on ("GREETING": from the start) nothing is answered
    int paceMs = 0;          // each reply is held this long, and with trickle each byte of it
    bool trickle = false, silent = false;
    QList<QByteArray> flights;
    int flightsBeforeGreeting = 0; // written while the greeting was still unread
    QList<int> deleting, deletedAtQuit;

    QByteArray listing(bool sizes) const {
        QByteArray text;
        for (int m = 1; m <= messages.size(); ++m)
            text += QByteArray::number(m) + ' ' +
                    (sizes ? QByteArray::number(messages[m - 1].size()) : "id" + QByteArray::number(m)) +
                    "\r\n";
        return text;
    }
    QByteArray answer(const QByteArray& flight) {
        flights << flight;
        QByteArray out;
        const QList<QByteArray> lines = flight.trimmed().split('\n');
        for (qsizetype i = 0; i < lines.size(); ++i) {
            const QList<QByteArray> w = lines[i].trimmed().split(' ');
            const QByteArray& c = w[0];
            const int n = w.value(1).toInt();
            auto multi = [&](const QByteArray& text) {
                QByteArray stuffed = text;
                stuffed.replace("\n.", "\n..");
                out += "+OK\r\n" + (stuffed.startsWith('.') ? "." + stuffed : stuffed) + ".\r\n";
            };
            silent = silent || c == silentAt;
            if (silent)
                break;
            if (garbleOver > 0 && lines.size() > garbleOver && i > 0)
                out += "nonsense\r\n";
            else if (c == "CAPA" || c == "LIST" || c == "UIDL" || c == "RETR")
                multi(c == "CAPA" ? capa : c == "RETR" ? messages.value(n - 1) : listing(c == "LIST"));
            else if (c == "STAT")
                out += "+OK " + QByteArray::number(messages.size()) + " 0\r\n";
            else if (c == "DELE")
                deleting << n, out += "+OK\r\n";
            else if (c == "QUIT")
                deletedAtQuit = std::exchange(deleting, {}), out += "+OK bye\r\n";
            else {
                out += "+OK\r\n"; // UTF8, USER, PASS, APOP
                if (loginApart && (c == "PASS" || c == "APOP"))
                    break;
            }
        }
        return out;
    }
};

// Time in memory: still while anything is under way, else at once at what is due first (bytes, wake).
class ManualTime : public QObject {
public:
    qint64 nowNs = 0;
    Pop3ClockFactory factory() {
        return [this](std::function<void()> wake) {
            m_wake = std::move(wake);
            return std::make_unique<Clock>(this);
        };
    }
    // The transport has woken the session, which stops its timer: a jump already asked for is void.
    void touch() { ++m_turn; }
    // The server's next bytes come at this time.
    void at(qint64 ns, std::function<void()> due) { m_dueNs = ns, m_due = std::move(due); }

private:
    struct Clock final : Pop3Clock {
        explicit Clock(ManualTime* t) : t(t) {}
        qint64 nowNs() const override { return t->nowNs; }
        void start(int ms) override {
            t->m_wakeNs = t->nowNs + qint64(ms) * 1000000;
            QMetaObject::invokeMethod(
                t, [t = t, turn = ++t->m_turn] { t->jump(turn); }, Qt::QueuedConnection);
        }
        void stop() override { ++t->m_turn; }
        ManualTime* t;
    };
    void jump(quint64 turn) {
        if (turn != m_turn)
            return;
        if (m_due && m_dueNs < m_wakeNs) {
            nowNs = qMax(nowNs, m_dueNs);
            std::exchange(m_due, {})();
        } else {
            nowNs = m_wakeNs;
            m_wake();
        }
    }
    std::function<void()> m_wake, m_due;
    qint64 m_wakeNs = 0, m_dueNs = 0;
    quint64 m_turn = 0;
};

class MemoryTransport final : public Pop3Transport {
public:
    explicit MemoryTransport(MemoryServer* server, ManualTime* time = nullptr)
        : m_server(server), m_time(time) {}
    void open(const QString&, quint16, bool) override {
        m_ready = true;
        if (m_server->silentAt != "GREETING")
            m_in = "+OK ready <1896.697170952@dbc.mtview.ca.us>\r\n", m_released = m_in.size();
        poke();
    }
    bool isReady() const override { return m_ready; }
    bool isEncrypted() const override { return false; }
    bool hasFailed() const override { return false; }
    Pop3Error failure() const override { return {}; }
    void startTls(const QString&) override {}
    void write(const QByteArray& bytes) override {
        if (m_out.isEmpty() && m_in.startsWith("+OK ready"))
            ++m_server->flightsBeforeGreeting;
        m_out += bytes;
        poke();
    }
    QByteArray read(qint64 maxBytes) override {
        if (m_in.isEmpty() && !m_out.isEmpty()) {
            m_in = m_server->answer(std::exchange(m_out, {}));
            m_released = m_server->paceMs > 0 ? 0 : m_in.size();
            release();
        }
        const QByteArray part = m_in.left(qMin(maxBytes, m_released));
        m_in.remove(0, part.size());
        m_released -= part.size();
        return part;
    }
    void close() override {}
    void abort() override {}
    void setPinnedCertificate(const QByteArray&) override {}
    CertificateCheck certificateCheck() const override { return CertificateCheck(); }
    bool peerIsLoopback() const override { return true; }

private:
    void poke() {
        if (!std::exchange(m_poked, true))
            QMetaObject::invokeMethod(
                this, [this] { wake(); }, Qt::QueuedConnection);
    }
    void wake() {
        m_poked = false;
        m_time ? m_time->touch() : void();
        Q_EMIT activity();
    }
    // The held part of the reply comes paceMs on: all of it, or its next byte.
    void release() {
        if (m_released < m_in.size())
            m_time->at(m_time->nowNs + qint64(m_server->paceMs) * 1000000, [this] {
                m_released = m_server->trickle ? m_released + 1 : m_in.size();
                release();
                poke();
            });
    }
    MemoryServer* m_server;
    ManualTime* m_time;
    QByteArray m_in, m_out;
    qsizetype m_released = 0; // bytes of m_in the server has sent
    bool m_ready = false, m_poked = false;
};

// A check of whole messages as MailCheckRun makes it, DELEs unwaited, QUIT behind; the subjects read.
QStringList memoryCheck(NMailLibrary& lib, const QList<int>& remove, bool apop) {
    QStringList subjects;
    lib.NMailSetOption(kNMailOptionPlan, int(MailPlan::WholeMessages));
    if (!apop) // as the check run tells it; the session decides whether the server takes it
        lib.NMailSetEarlyLogin(QStringLiteral("user"), kPassword);
    const int h = runTask(lib.NMailPop3Connect(QStringLiteral("mail.example")));
    const int count = runTask(lib.NMailPop3Authenticate(h, QStringLiteral("user"), kPassword, apop ? -1 : 0));
    QList<int> pending;
    for (int n = 1; n <= count; ++n) {
        MailFields f;
        QString body;
        if (runTask(lib.NMailPop3GetMail(h, n, f, body)) != 0)
            break;
        subjects << f.subject;
        if (remove.contains(n) && runTask(lib.NMailPop3DeleteMailNoWait(h, n)) == 1)
            pending << n;
    }
    if (!pending.isEmpty())
        lib.NMailPop3SendQuit(h);
    for (int n : pending)
        runTask(lib.NMailPop3DeleteResult(h, n, true));
    runTask(lib.NMailPop3Close(h));
    return subjects;
}

// Options whose sessions talk to the server in memory, on fake time when given.
NMailOptions inMemory(MemoryServer& server, ManualTime* time = nullptr, int timeoutMs = 5000) {
    NMailOptions options = quick(timeoutMs);
    if (time)
        options.clockFactory = time->factory();
    options.transportFactory = [&server, time] { return std::make_unique<MemoryTransport>(&server, time); };
    return options;
}

// Servers that keep a check waiting (fake time): the limit met, when, and what the user reads.
constexpr int kClockedReplyMs = 5000, kClockedSessionMs = 10000;
const std::tuple<const char*, void (*)(MemoryServer&), Pop3Wait, int, const char*> kClocked[]{
    {"silent greeting", [](MemoryServer& m) { m.silentAt = "GREETING"; }, Pop3Wait::Silence, kClockedReplyMs,
     "mail.example:110 に接続できません（5 秒以内"},
    {"silent at RETR", [](MemoryServer& m) { m.silentAt = "RETR"; }, Pop3Wait::Silence, kClockedReplyMs,
     "サーバーが 5 秒以内に応答しません"},
    // A byte a second restarts the silence every time; the CAPA reply is due complete in 5 s all the same.
    {"trickled reply", [](MemoryServer& m) { m.paceMs = 1000, m.trickle = true; }, Pop3Wait::Trickle,
     kClockedReplyMs, "少しずつしか届きません"},
    // However promptly each reply comes, the session as a whole has its limit.
    {"session limit", [](MemoryServer& m) { m.paceMs = 3000; }, Pop3Wait::Session, kClockedSessionMs,
     "チェックが 0.166667 分を超えた"},
};

// The trust of a server known to pipeline and to keep what comes behind the login.
Pop3Trust knownPipelining() {
    Pop3Trust trust;
    trust.known = {true, true, true, true};
    return trust;
}

// The flights of a check, byte for byte: flights parted by " | ", their command lines by ", ".
QList<QByteArray> flightsOf(const char* text) {
    QList<QByteArray> flights;
    for (QByteArray f : QByteArray(text).split('|'))
        flights << f.trimmed().replace(", ", "\r\n") + "\r\n";
    return flights;
}

const QByteArray kCourierCapa =
    "TOP\r\nUSER\r\nPIPELINING\r\nUIDL\r\nUTF8\r\nIMPLEMENTATION Courier Mail Server\r\n";
const char kDigest[] = "APOP user a00d98c10fe245ff6a37b53b2fcc91e9";
// Checked twice, the second time knowing the first: CAPA at each, login apart, APOP; each's flights.
const std::tuple<const char*, QByteArray, QByteArray, bool, bool, const char*, const char*> kFlights[]{
    {"Dovecot-like", "", "", false, false,
     "CAPA | USER user, PASS s3cret-pw | STAT, LIST, UIDL | RETR 1, RETR 2, RETR 3 | DELE 2, QUIT",
     "CAPA, USER user, PASS s3cret-pw, STAT, LIST, UIDL | RETR 1, RETR 2, RETR 3 | DELE 2, QUIT"},
    {"Courier-like", kCourierCapa, kCourierCapa, true, false,
     "CAPA | UTF8, USER user, PASS s3cret-pw | STAT, LIST, UIDL | RETR 1, RETR 2, RETR 3 | DELE 2, QUIT",
     "CAPA, UTF8, USER user, PASS s3cret-pw | STAT, LIST, UIDL | RETR 1, RETR 2, RETR 3 | DELE 2, QUIT"},
    {"APOP", "", "", false, true, "CAPA | APOP | STAT, LIST, UIDL | RETR 1, RETR 2, RETR 3 | DELE 2, QUIT",
     "CAPA, APOP, STAT, LIST, UIDL | RETR 1, RETR 2, RETR 3 | DELE 2, QUIT"},
    // PIPELINING withdrawn: what went out together is answered, the rest goes one at a time.
    {"PIPELINING withdrawn", "", "TOP\r\nUIDL\r\n", false, false,
     "CAPA | USER user, PASS s3cret-pw | STAT, LIST, UIDL | RETR 1, RETR 2, RETR 3 | DELE 2, QUIT",
     "CAPA, USER user, PASS s3cret-pw, STAT, LIST, UIDL | RETR 1 | RETR 2 | DELE 2 | RETR 3 | QUIT"},
};

// Open window, messages, body bytes, most flights.
const std::tuple<const char*, bool, int, int, int> kMany[]{
    {"watched, 50,000 small", false, 50000, 0, 5},
    {"open, 50,000 small", true, 50000, 0, 3},
    {"open, 300 of 100 KB", true, 300, 100 * 1024, 3},
};

} // namespace

class TestPop3Client : public QObject {
    Q_OBJECT
    QTemporaryDir m_certDir;
    TestCertificates m_certs;

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_certDir.isValid());
        m_certs = makeTestCertificates(m_certDir.path());
    }

    void scripted_data() { indexRows(kScripted); }
    void scripted() {
        QFETCH(int, row);
        const auto& [name, script, count, kind, sent, shown, deletes, garbled, user, password, apopFlag] =
            kScripted[row];
        FakePop3Options o;
        o.script = script;
        FakePop3Server server(o);
        QVERIFY(server.start());
        NMailLibrary lib(quick());
        lib.NMailSetOption(kNMailOptionPlan, int(MailPlan::SizesOnly)); // nothing is read but sizes
        const Seen s = check(lib, server.address(), 0, deletes, {}, apopFlag != 0, user, password);
        QCOMPARE(s.count, count);
        QCOMPARE(s.closed, !garbled);
        QCOMPARE(s.error.kind, kind);
        QCOMPARE(s.error.pipeliningGarbled, garbled);
        if (kind != K::None) {
            QVERIFY2(s.error.detail.contains(shown) && s.message.contains(shown), qPrintable(s.message));
            QVERIFY(!s.message.contains(password) && !s.error.detail.contains(password));
        }
        QCOMPARE(server.received(0), sent);
        QCOMPARE(server.connectionCount(), 1);
        QVERIFY2(server.scriptMismatches().isEmpty(), qPrintable(server.scriptMismatches().join('\n')));
    }

    void faults_data() { indexRows(kFaults); }
    void faults() {
        QFETCH(int, row);
        const Fault& f = kFaults[row];
        FakePop3Options o = mailbox(3);
        if (f.setup)
            f.setup(o);
        FakePop3Server server(o);
        QVERIFY(server.start());
        NMailLibrary lib(quick(300));
        const QString address = f.setup ? server.address() : QStringLiteral("127.0.0.1:1");
        const Seen s = check(lib, address, Headers | Bodies, {1, 2}, {}, f.apop);
        QCOMPARE(s.error.kind, f.kind);
        QVERIFY2(!s.message.isEmpty() && s.message.contains(QString::fromUtf8(f.shown)) &&
                     !s.message.contains(kPassword) && !s.error.detail.contains(kPassword),
                 qPrintable(s.message));
        QVERIFY(s.error.detail.size() <= kPop3MaxErrorDetailChars);
        QCOMPARE(server.mailbox().size(), 3); // nothing deleted without an acknowledged QUIT
        QVERIFY(server.connectionCount() <= 1);
    }

    // Time-outs and the session's limit end the check at the moment due; nothing is deleted.
    void clocked_data() { indexRows(kClocked); }
    void clocked() {
        QFETCH(int, row);
        const auto& [name, setup, wait, atMs, shown] = kClocked[row];
        MemoryServer server(3);
        setup(server);
        ManualTime time;
        NMailOptions options = inMemory(server, &time, kClockedReplyMs);
        options.sessionLimitMs = kClockedSessionMs;
        NMailLibrary lib(options);
        const Seen s = check(lib, QStringLiteral("mail.example"), Headers | Bodies, {1, 2});
        QCOMPARE(s.error.kind, K::TimedOut);
        QCOMPARE(s.error.wait, wait);
        QVERIFY2(s.message.contains(QString::fromUtf8(shown)), qPrintable(s.message));
        QCOMPARE(time.nowNs / 1000000, atMs);
        QVERIFY(server.deletedAtQuit.isEmpty());
    }

    // A flood is cut at its budget: nothing more is read, no DELE follows it, none takes effect.
    void flood_data() { indexRows(kFloods); }
    void flood() {
        QFETCH(int, row);
        const auto& [name, at, withoutLineEnd, budget] = kFloods[row];
        FakePop3Options o = mailbox(kFloodMessages);
        for (int i = 0; i < kFloodMessages; ++i)
            o.messages[i] = makeMessage(i + 1, at == "TOP" ? kTopMessageBytes : kFloodMessageBytes);
        o.floodAt = at;
        o.floodWithoutLineEnd = withoutLineEnd;
        o.floodMaxBytes = 64 << 20;
        FakePop3Server server(o);
        QVERIFY(server.start());
        NMailLibrary lib(quick(2000));
        lib.NMailSetOption(kNMailOptionUidls, 1);
        const Seen s = check(lib, server.address(), Headers | Bodies, {1, 2, 3});
        QVERIFY2(s.error.kind == K::ProtocolError, qPrintable(s.message));
        const qint64 read = lib.lastSessionStats().bytesReceived;
        QVERIFY2(read <= kFloodConversationBytes + budget + kPop3ReadChunkBytes,
                 qPrintable(QString::number(read)));
        const QByteArray sent = server.received(0);
        QVERIFY2(!sent.contains("DELE") || at == "DELE", sent.constData());
        QCOMPARE(server.mailbox().size(), kFloodMessages);
    }

    void plans_data() { indexRows(kPlans); }
    void plans() {
        QFETCH(int, row);
        const auto& [name, plan, pipelining, chunk, garbling, noTop, sent] = kPlans[row];
        FakePop3Options o = mailbox(5);
        o.writeChunkBytes = chunk;
        o.garblePipelined = garbling;
        if (noTop)
            o.refusedCommand = "TOP";
        const bool headersFirst = plan == MailPlan::HeadersFirst;
        // A message too large to fetch for its header, which decides it.
        if (headersFirst)
            o.messages[2] = makeMessage(3, int(kPop3WholeForHeaderMaxBytes) + 1000);
        FakePop3Server server(o);
        QVERIFY(server.start());
        NMailLibrary lib(quick());
        lib.NMailSetOption(kNMailOptionPlan, int(plan));
        lib.NMailSetOption(kNMailOptionPipelining, pipelining ? 1 : 0);
        const int reads = headersFirst ? Headers | Bodies : plan == MailPlan::WholeMessages ? Bodies : Sizes;
        const Seen s = check(lib, server.address(), reads, {4}, {headersFirst ? 3 : 0});
        QVERIFY2(s.error.kind == K::None, qPrintable(s.message));
        if (plan != MailPlan::SizesOnly) {
            QCOMPARE(s.subjects,
                     QStringList({"message 1", "message 2", "message 3", "message 4", "message 5"}));
            QVERIFY2(s.bodies[4].startsWith(QStringLiteral(".a line that starts with a dot\r\n")),
                     qPrintable(s.bodies[4]));
        }
        QCOMPARE(server.deletedAtQuit(), QList<int>({4}));
        const QByteArray received = server.received(0);
        QCOMPARE(received.count("LIST\r\n"), 1);
        for (int n = 1; n <= 5; ++n) // nothing is fetched twice
            QVERIFY(received.count("RETR " + QByteArray::number(n) + "\r\n") <= 1);
        if (headersFirst)
            QCOMPARE(received.contains("RETR 3\r\n"), noTop);
        if (plan == MailPlan::SizesOnly)
            QVERIFY(!received.contains("TOP ") && !received.contains("RETR "));
        if (!sent.isEmpty())
            QCOMPARE(received, sent);
        const FakePop3Stats st = server.stats();
        if (!pipelining)
            QCOMPARE(st.roundTrips, st.commands);
        else if (plan != MailPlan::SizesOnly)
            QVERIFY2(st.roundTrips < st.commands, qPrintable(QString::number(st.roundTrips)));
    }

    void flights_data() { indexRows(kFlights); }
    void flights() {
        QFETCH(int, row);
        const auto& [name, capa, capaLater, loginApart, apop, first, second] = kFlights[row];
        MemoryServer server(3);
        server.loginApart = loginApart;
        NMailLibrary lib(inMemory(server));
        lib.NMailSetOption(kNMailOptionUidls, 1);
        const QStringList subjects{"message 1", "message 2", "message 3"};
        const QTemporaryDir dir;
        const QString memory = dir.filePath(QStringLiteral("tls.ini"));
        for (const char* expected : {first, second}) {
            server.capa = expected == first ? capa : capaLater;
            if (server.capa.isEmpty())
                server.capa = MemoryServer().capa;
            server.flights.clear(), server.deletedAtQuit.clear(), server.flightsBeforeGreeting = 0;
            // What the last check learnt, kept in the memory file and read back.
            Pop3Trust trust;
            trust.known = lib.NMailGetSecurity().known;
            QVERIFY(!trust.known.seen || rememberTrust(memory, QStringLiteral("mail.example:110"), trust));
            lib.NMailSetServerTrust(trustFor(memory, QStringLiteral("mail.example:110")));
            QCOMPARE(memoryCheck(lib, {2}, apop), subjects);
            QByteArray flights = QByteArray(expected).replace("APOP", kDigest);
            QCOMPARE(server.flights, flightsOf(flights.constData()));
            QCOMPARE(server.deletedAtQuit, QList<int>{2});
            // A known server that keeps what follows PASS gets USER/PASS before its greeting.
            const bool early = expected == second && !loginApart && !apop;
            QCOMPARE(server.flightsBeforeGreeting, early ? 1 : 0);
            // Round trips: connecting with the greeting, and each flight not sent before the greeting.
            QCOMPARE(lib.lastSessionStats().roundTrips, server.flights.size() + (early ? 0 : 1));
            const Pop3Known now = lib.NMailGetSecurity().known;
            QVERIFY(now.seen && now.loginApart == loginApart);
            QCOMPARE(now.pipelining, server.capa.contains("PIPELINING"));
        }
    }

    // A garbled large flight: nothing deleted, the memory keeps it, the next check goes one at a time.
    void garbledFlight() {
        MemoryServer server(10);
        QStringList subjects;
        for (int i = 1; i <= 10; ++i)
            subjects << QStringLiteral("message %1").arg(i);
        server.garbleOver = 6; // the login and the listings pass, the ten fetches do not
        NMailLibrary lib(inMemory(server));
        lib.NMailSetOption(kNMailOptionUidls, 1);
        Pop3Trust trust = knownPipelining();
        lib.NMailSetServerTrust(trust);
        QCOMPARE(memoryCheck(lib, {1, 2}, false), subjects.first(1));
        QVERIFY(lib.NMailGetError().pipeliningGarbled && server.deletedAtQuit.isEmpty());
        trust.known = lib.NMailGetSecurity().known;
        QVERIFY(trust.known.garbled);
        lib.NMailSetServerTrust(trust);
        server.flights.clear();
        QCOMPARE(memoryCheck(lib, {1, 2}, false), subjects);
        QCOMPARE(server.deletedAtQuit, QList<int>({1, 2}));
        for (const QByteArray& f : std::as_const(server.flights))
            QCOMPARE(f.count('\n'), 1);
    }

    // Many fetches in few flights, in bounded memory (watched: one window ahead; open: twice that).
    void manyFetches_data() { indexRows(kMany); }
    void manyFetches() {
        QFETCH(int, row);
        const auto& [name, open, count, bodyBytes, maxFlights] = kMany[row];
        MemoryServer server;
        for (int i = 1; i <= count; ++i)
            server.messages << "Subject: " + QByteArray::number(i) + "\r\n\r\n" +
                                   QByteArray("body line\r\n").repeated(qMax(1, bodyBytes / 11));
        NMailLibrary lib(inMemory(server));
        lib.NMailSetOption(kNMailOptionOpenWindow, open ? 1 : 0);
        lib.NMailSetServerTrust(knownPipelining());
        const QStringList subjects = memoryCheck(lib, {}, false);
        QCOMPARE(subjects.size(), count);
        QCOMPARE(subjects.last(), QString::number(count));
        const Pop3SessionStats st = lib.lastSessionStats();
        QVERIFY2(st.peakCachedBytes <= (open ? 2 : 1) * kPop3WindowBytes,
                 qPrintable(QString::number(st.peakCachedBytes)));
        if (!open)
            QVERIFY2(st.peakWindowBytes <= kPop3WindowBytes, qPrintable(QString::number(st.peakWindowBytes)));
        QVERIFY2(server.flights.size() <= maxFlights, qPrintable(QString::number(server.flights.size())));
        QVERIFY2(st.peakInFlight > qMin(count - 1, 20000), qPrintable(QString::number(st.peakInFlight)));
    }

    void bodyCutToListedSize() {
        // The caller's buffer is the listed size plus NUL: a longer body must not overflow it.
        FakePop3Options o;
        const ScriptStep stat{"STAT", "+OK 1 10\r\n"}, list{"LIST", "+OK\r\n1 10\r\n.\r\n"},
            retr{"RETR 1", "+OK\r\nSubject: s\r\n\r\n..dotted and longer than listed\r\n.\r\n"};
        o.script = {kHello, kNoCapa, kUserStep, kPass, stat, list, retr, kQuit};
        FakePop3Server server(o);
        QVERIFY(server.start());
        NMailLibrary lib(quick());
        lib.NMailSetOption(kNMailOptionPlan, int(MailPlan::WholeMessages));
        const Seen s = check(lib, server.address(), Bodies);
        QVERIFY2(s.error.kind == K::None && s.closed, qPrintable(s.message));
        QCOMPARE(s.subjects, QStringList{"s"});
        QCOMPARE(s.bodies, QStringList{".dotted an"});
        QCOMPARE(server.received(0), "CAPA\r\n" + kLoginSent + "LIST\r\nRETR 1\r\nQUIT\r\n");
    }

    // A refusal ends the check before PASS in clear, deleting nothing; a pin accepts its certificate.
    void tlsPolicy_data() { indexRows(kTlsCases); }
    void tlsPolicy() {
        QFETCH(int, row);
        const TlsCase& c = kTlsCases[row];
        if (!m_certs.error.isEmpty())
            QSKIP(qPrintable(m_certs.error));
        const QSslCertificate* certs[] = {&m_certs.good, &m_certs.wrongHost, &m_certs.expired};
        const QSslKey* keys[] = {&m_certs.goodKey, &m_certs.wrongHostKey, &m_certs.expiredKey};
        FakePop3Options o = mailbox(3);
        o.tls = c.tls;
        o.certificate = *certs[c.cert];
        o.privateKey = *keys[c.cert];
        o.stlsInjection = "+OK injected before the handshake\r\n";
        if (c.fault)
            c.fault(o);
        FakePop3Server server(o);
        QVERIFY(server.start());
        const QList<QSslCertificate> cas = c.caTrusted ? QList{m_certs.ca} : QList<QSslCertificate>{};
        NMailLibrary lib(testing::TestTransport::in(quick(400), cas, true));
        Pop3Trust trust;
        trust.tlsSeen = c.tlsSeen, trust.plainAgreed = c.plainAgreed;
        if (c.pin >= 0)
            trust.pinnedSha256 = certs[c.pin]->digest(QCryptographicHash::Sha256);
        lib.NMailSetServerTrust(trust);
        const QString host =
            (c.tls == Tls::Implicit ? QStringLiteral("pop3s://") : QString()) + server.address();
        const Seen s = check(lib, host, Headers, {2}, {}, c.apop);
        QVERIFY2(s.error.kind == c.kind, qPrintable(s.message));
        QVERIFY2(s.message.contains(QString::fromUtf8(c.shown)), qPrintable(s.message));
        if (c.kind == K::None) {
            QCOMPARE(s.subjects, QStringList({"message 1", "message 2", "message 3"}));
            QCOMPARE(server.deletedAtQuit(), QList<int>{2});
            QVERIFY(c.tls != Tls::StartTls || server.received(0).startsWith("CAPA\r\nSTLS\r\nCAPA\r\n"));
            QCOMPARE(lib.NMailGetSecurity().certificate.pinned, c.pin >= 0);
            return;
        }
        // A certificate refused at STLS: nothing more goes out at all.
        if (c.tls == Tls::StartTls && !c.fault)
            QCOMPARE(server.received(0), QByteArray("CAPA\r\nSTLS\r\n"));
        QVERIFY2(!server.receivedInClear(0).contains("PASS "), server.receivedInClear(0).constData());
        QCOMPARE(server.mailbox().size(), 3);
        QVERIFY(server.deletedAtQuit().isEmpty());
    }

    void closedWhileWaiting_data() {
        QTest::addColumn<int>("how");
        QTest::newRow("NMailPop3Close") << 0;
        QTest::newRow("NMailEndWinSock") << 1;
        QTest::newRow("the waiting call destroyed") << 2;
    }
    void closedWhileWaiting() {
        // Closed while waiting: the call fails, no crash or hang; a destroyed call is resumed by nothing.
        QFETCH(int, how);
        const bool endAll = how == 1;
        FakePop3Options o = mailbox(2);
        if (how == 2)
            o.replyDelayMs = 100; // the call is destroyed before its reply comes
        else
            o.silentAtCommand = "RETR";
        FakePop3Server server(o);
        QVERIFY(server.start());
        NMailLibrary lib(quick(60000));
        const int h = runTask(lib.NMailPop3Connect(server.address()));
        QCOMPARE(runTask(lib.NMailPop3Authenticate(h, kUser, kPassword, 0)), 2);
        if (how == 2) {
            MailFields f;
            std::optional<Task<int>> waiting(lib.NMailPop3GetMailStatus(h, 1, f));
            bool finished = false;
            waiting->start([&] { finished = true; });
            QEventLoop loop;
            QTimer::singleShot(0, [&] { waiting.reset(), loop.quit(); });
            loop.exec();
            QVERIFY(!finished);
            QCOMPARE(runTask(lib.NMailPop3GetMailStatus(h, 2, f)), 0);
            QCOMPARE(runTask(lib.NMailPop3Close(h)), 0);
            return;
        }
        int nested = 0, nestedClose = 0;
        QTimer::singleShot(50, [&] {
            nested = int(runTask(lib.NMailPop3GetMailSize(h, 1))); // the handle is busy
            if (endAll)
                lib.NMailEndWinSock();
            else
                nestedClose = runTask(lib.NMailPop3Close(h));
        });
        QElapsedTimer t;
        t.start();
        MailFields f;
        QVERIFY(runTask(lib.NMailPop3GetMailStatus(h, 1, f)) < 0 && t.elapsed() < 30000 && nested < 0);
        QVERIFY(nestedClose < 0 || endAll);
        QVERIFY(runTask(lib.NMailPop3Close(h)) < 0); // gone
        QVERIFY(!server.received(0).contains("QUIT"));
    }
};

QTEST_GUILESS_MAIN(TestPop3Client)
#include "tst_pop3_client.moc"
