#pragma once
// The program's mail library (MailLibrary.h) on top of our own POP3 client. The program builds one
// (the windows' and brindle-check's main) and hands it to whoever runs a check; tests and benchmarks
// build theirs with options of their own.
#include "mailcheck/MailLibrary.h"
#include "mailcheck/pop3/Pop3Session.h"

#include <map>
#include <memory>
#include <QList>
#include <vector>

namespace brindle {

// The buffers of the calling program: field texts are cut to this many bytes in code page 932
// (NUL included) unless NMailSetOption(kNMailOptionFieldBuffer, n) says otherwise.
inline constexpr int kNMailDefaultFieldBuffer = 8192;

struct NMailOptions {
    int connectTimeoutMs = kPop3DefaultConnectTimeoutMs;
    int replyTimeoutMs = kPop3DefaultReplyTimeoutMs;
    Pop3TransportFactory transportFactory; // empty: TCP/TLS sockets
    int sessionLimitMs = kPop3DefaultSessionLimitMs;
    Pop3ClockFactory clockFactory; // empty: the monotonic clock
};

class NMailLibrary final : public MailLibrary {
public:
    explicit NMailLibrary(NMailOptions options = {});
    ~NMailLibrary() override;
    NMailLibrary(const NMailLibrary&) = delete;
    NMailLibrary& operator=(const NMailLibrary&) = delete;

    bool NMailInitializeWinSock() override { return true; }
    void NMailSetOption(int option, int value) override;
    Task<int> NMailPop3Connect(QString host) override;
    void NMailSetEarlyLogin(const QString& id, const QString& password) override;
    Task<int> NMailPop3Authenticate(int handle, QString id, QString password, int apopFlag) override;
    MailError NMailGetError() override { return m_error; }
    Task<int> NMailPop3GetMailStatus(int handle, int n, MailFields& fields) override;
    Task<qint64> NMailPop3GetMailSize(int handle, int n) override;
    Task<int> NMailPop3GetMail(int handle, int n, MailFields& fields, QString& body) override;
    Task<int> NMailPop3GetUidl(int handle, int n, QString& uidl) override;
    Task<int> NMailPop3GetRawMail(int handle, int n, int bodyLines, QByteArray& raw) override;
    Task<int> NMailPop3DeleteMail(int handle, int n) override;
    Task<int> NMailPop3DeleteMailNoWait(int handle, int n) override;
    Task<int> NMailPop3DeleteResult(int handle, int n, bool wait) override;
    void NMailPop3Skip(int handle, int n) override;
    int NMailPop3SendQuit(int handle) override;
    Task<int> NMailPop3Close(int handle) override;
    void NMailEndWinSock() override;
    void NMailSetServerTrust(const Pop3Trust& trust) override { m_trust = trust; }
    ConnectionSecurity NMailGetSecurity() override { return m_security; }
    std::shared_ptr<const DecodedMessage> NMailPop3LastDecoded(int handle, int n) override;

    // What the last closed session did (for the benchmark).
    Pop3SessionStats lastSessionStats() const { return m_lastStats; }

private:
    struct Handle;
    struct Call;
    using Step = MailError::Step;
    using Refusal = MailError::Refusal;

    template <typename R, typename Body> Task<R> run(int handle, Step step, int n, Body body);
    Handle* find(int handle, bool evenBusy = false);
    bool checkMessage(Handle& h, int n);
    // A refusal of the library's own: -1.
    int local(Handle* h, Pop3ErrorKind kind, Refusal refusal, int n = 0, const QString& part = {});
    // The session's failure, with the facts of where it happened.
    void record(const Handle& h, Step step, int n);
    // After each call on a handle: what the session found kept, its failure recorded.
    void settle(const Handle& h, Step step, int n, bool failed);
    void bury(int handle);
    Task<int> deleteNow(Handle& h, int n);

    NMailOptions m_options;
    std::map<int, std::unique_ptr<Handle>> m_handles;
    std::vector<std::unique_ptr<Handle>> m_graveyard;
    int m_depth = 0;
    int m_nextHandle = 1;
    int m_fieldBuffer = kNMailDefaultFieldBuffer;
    MailPlan m_plan = MailPlan::HeadersFirst;
    bool m_pipelining = true;
    bool m_readUidls = false;
    bool m_openWindow = false;
    QString m_earlyId, m_earlyPassword; // for the next connection only
    Pop3Trust m_trust;
    ConnectionSecurity m_security;
    MailError m_error;
    Pop3SessionStats m_lastStats;
    // The last message NMailPop3GetMail decoded: its handle and number, and its text.
    int m_decodedHandle = 0;
    int m_decodedNumber = 0;
    std::shared_ptr<const DecodedMessage> m_decoded;
};

} // namespace brindle
