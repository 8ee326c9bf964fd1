#pragma once
#include "mailcheck/MailError.h"
#include "mailcheck/pop3/Pop3Error.h"
#include "mailcheck/pop3/Pop3Trust.h"
#include "mailcheck/Task.h"

#include <memory>
#include <QByteArray>
#include <QString>

namespace brindle {

struct DecodedMessage;

// Options of NMailSetOption.
// The size of the caller's field buffers (NUL included): no field text is longer in code page 932.
inline constexpr int kNMailOptionFieldBuffer = 1;
// What the caller will read of each message, int(MailPlan); the session reads ahead accordingly.
inline constexpr int kNMailOptionPlan = 2;
// 1: pipeline where the server offers PIPELINING (the default); 0: one command at a time.
inline constexpr int kNMailOptionPipelining = 3;
// 1: the caller will read UIDLs, so they come with the login where the server pipelines.
inline constexpr int kNMailOptionUidls = 4;
// 1: the caller takes the answers to its DELEs late (NMailPop3DeleteMailNoWait), so the fetches may
// all go out at once (Pop3SessionOptions::openWindow); 0 (the default): a DELE's answer is waited for.
inline constexpr int kNMailOptionOpenWindow = 5;
// Options 2 to 5 apply to connections opened after the call.

// The four header fields the check run reads for each message.
struct MailFields {
    QString subject;     // decoded Subject
    QString second;      // never read by the run; the decoded Date
    QString fromAddress; // the address of From, without display name
    QString header;      // the whole header block, decoded to text
    // Filled by NMailPop3GetMail: the bytes of the attachments and other parts the body leaves out.
    qint64 leftOutBytes = 0;
};

// What the last connection attempt learnt of the server's TLS, whether or not it succeeded.
struct ConnectionSecurity {
    bool tlsOffered = false; // TLS from the start, or STLS in the capabilities
    bool encrypted = false;
    CertificateCheck certificate;
    Pop3Known known; // the server's capabilities and quirks as the session found them, for the memory
};

// The mail library's entry points. Results follow one rule: a negative number is a failure, and
// NMailGetError() then tells which, as a MailError (its kind, its refusal, the server's sanitized
// words and where it happened); nothing here is a sentence, the windows and brindle-check say it.
// "Used errors" names the kinds (and the library's own refusals) each entry point fails with. Every
// entry point that takes a handle may also fail with CannotConnect/NotConnected (no such handle) and
// CommandRefused/HandleBusy (the handle is in the middle of another call).
// The entry points that wait for the server are awaited (co_await): they go on from the event
// loop, and the caller keeps what they fill until they have finished. One such call per handle at a
// time.
class MailLibrary {
public:
    virtual ~MailLibrary() = default;

    virtual bool NMailInitializeWinSock() = 0;
    virtual void NMailSetOption(int option, int value) = 0;
    // host: "name", "name:port", "[v6]:port", "pop3://name[:port]", "pop3s://name[:port]".
    // Returns a handle, or -1.
    // Used errors: CannotConnect (also the refusals NoServer, AddressForm, AddressHost, AddressPort),
    // TlsRefused, CertificateUnknown, CertificateChanged, TlsDowngraded, TimedOut, ProtocolError,
    // ConnectionLost, CommandRefused (the greeting was -ERR).
    virtual Task<int> NMailPop3Connect(QString host) = 0;
    // apopFlag: -1 APOP, 0 USER/PASS. Returns the number of messages, or a negative number.
    // Used errors: LoginRefused (also the refusals AlreadyLoggedIn, UnusableAccount, NoApop),
    // PlainLoginRefused (the connection stays open), TimedOut, ProtocolError, ConnectionLost,
    // CommandRefused.
    virtual Task<int> NMailPop3Authenticate(int handle, QString id, QString password, int apopFlag) = 0;
    // The last failure reported by any entry point, with the server's own words (never the password).
    virtual MailError NMailGetError() = 0;
    // Fills fields for message n (1-based; numbers stay valid after deletions). 0 or negative. Each
    // field is at most the field buffer (option 1) less one byte long in code page 932.
    // Used errors, here and in the other calls about one message: CommandRefused (the server's -ERR,
    // or the refusals NotLoggedIn, NoSuchMessage, MessageDeleted), TimedOut, ProtocolError,
    // ConnectionLost (also the refusal Aborted).
    virtual Task<int> NMailPop3GetMailStatus(int handle, int n, MailFields& fields) = 0;
    // Size of message n as the server lists it, or negative.
    virtual Task<qint64> NMailPop3GetMailSize(int handle, int n) = 0;
    // Fields and body text of message n. The full text is fetched at most once per session. The body
    // is at most the listed size long in code page 932 (the caller's buffer is sized by it).
    // Used errors: as NMailPop3GetMailStatus, and CommandRefused/TooLarge.
    virtual Task<int> NMailPop3GetMail(int handle, int n, MailFields& fields, QString& body) = 0;
    // The UIDL of message n (RFC 1939 7), in uidl; empty when the server has none for it, or gave the
    // same one to several messages. 0 or negative.
    virtual Task<int> NMailPop3GetUidl(int handle, int n, QString& uidl) = 0;
    // The raw text of message n as the server sends it, dot-unstuffed, with CR LF line ends: whole
    // when bodyLines is negative, else the header and that many body lines. 0 or negative.
    virtual Task<int> NMailPop3GetRawMail(int handle, int n, int bodyLines, QByteArray& raw) = 0;
    // 0 when the server accepted DELE, negative otherwise.
    virtual Task<int> NMailPop3DeleteMail(int handle, int n) = 0;
    // DELE without waiting for the answer where the connection allows it (PIPELINING): 1 when the
    // answer is still to come and NMailPop3DeleteResult will take it; otherwise as
    // NMailPop3DeleteMail. The caller may go on with other messages meanwhile.
    virtual Task<int> NMailPop3DeleteMailNoWait(int handle, int n) { return NMailPop3DeleteMail(handle, n); }
    // The answer to a DELE for which NMailPop3DeleteMailNoWait returned 1, as NMailPop3DeleteMail
    // would have given it; with wait false, 1 while it has not come yet.
    // Used errors: as NMailPop3DeleteMail, and CommandRefused/DeletionNotAsked.
    virtual Task<int> NMailPop3DeleteResult(int handle, int n, bool wait) {
        Q_UNUSED(handle);
        Q_UNUSED(n);
        Q_UNUSED(wait);
        co_return -1; // nothing was left pending
    }
    // The caller will not ask for message n in this session: nothing is read ahead for it.
    virtual void NMailPop3Skip(int handle, int n) {
        Q_UNUSED(handle);
        Q_UNUSED(n);
    }
    // QUIT goes out now, behind the DELEs whose answers are still to come, so that the server need
    // not wait for another round trip; NMailPop3DeleteResult still takes those answers, and
    // NMailPop3Close then QUIT's. Nothing but those may be asked afterwards. 0, or negative.
    // Used errors: TimedOut, ConnectionLost.
    virtual int NMailPop3SendQuit(int handle) {
        Q_UNUSED(handle);
        return 0; // NMailPop3Close sends it
    }
    // What is remembered of the server, for the connections opened after the call: TLS seen (a
    // connection without it is refused), the pinned certificate, the agreement to log in in clear.
    virtual void NMailSetServerTrust(const Pop3Trust& trust) { Q_UNUSED(trust); }
    // The USER/PASS login the next NMailPop3Authenticate will make, known before connecting: where
    // the server is remembered to take it (Pop3SessionOptions::earlyLogin), it goes out with the
    // capabilities and the listings as soon as the connection stands, without waiting for the
    // greeting. Empty id: none. Applies to the next NMailPop3Connect only.
    virtual void NMailSetEarlyLogin(const QString& id, const QString& password) {
        Q_UNUSED(id);
        Q_UNUSED(password);
    }
    // What the last NMailPop3Connect found of the server's TLS.
    virtual ConnectionSecurity NMailGetSecurity() { return ConnectionSecurity(); }
    // The whole decoded text of message n when the last NMailPop3GetMail of the handle read it (its
    // texts not cut to the field buffers), so that the learned judgement need not decode it again;
    // null otherwise.
    virtual std::shared_ptr<const DecodedMessage> NMailPop3LastDecoded(int handle, int n) {
        Q_UNUSED(handle);
        Q_UNUSED(n);
        return nullptr;
    }
    // Sends QUIT and ends the connection. 0 when the server acknowledged QUIT, so that the
    // deletions took effect; negative when they did not.
    // Used errors: CommandRefused (QUIT refused), TimedOut, ProtocolError, ConnectionLost (also the
    // refusal Aborted: closed from inside a call of the same handle that was waiting).
    virtual Task<int> NMailPop3Close(int handle) = 0;
    virtual void NMailEndWinSock() = 0;
};

} // namespace brindle
