#pragma once
#include <QString>

namespace brindle {

// What went wrong in a POP3 session, in the few kinds a caller acts on.
enum class Pop3ErrorKind {
    None,
    CannotConnect,  // no connection to the server (refused, unknown host, no greeting)
    TlsRefused,     // the TLS handshake failed, STLS was refused, or the certificate is unacceptable
    TimedOut,       // the server stayed silent past the time-out
    ProtocolError,  // what the server sent is no POP3 reply
    LoginRefused,   // the server refused the user name, the password or the APOP digest
    CommandRefused, // the server answered -ERR to a command after login (or we refused to go on)
    ConnectionLost, // the connection closed under a command
    // Refusals of our own, before anything secret goes out:
    CertificateUnknown, // a certificate the system does not vouch for, and none is pinned: the user may
    CertificateChanged, // not the certificate pinned for this server
    TlsDowngraded,      // a server whose TLS was seen before offers none now
    PlainLoginRefused,  // USER/PASS would go in clear and the user has not agreed (the session stays open)
};

// Which limit a TimedOut passed.
enum class Pop3Wait {
    Silence, // nothing came for the reply time-out (the connect time-out while connecting)
    Trickle, // the reply came too slowly to be complete within its deadline
    Session, // the whole session passed its limit
};

struct Pop3Error {
    Pop3ErrorKind kind = Pop3ErrorKind::None;
    // The server's own words, or the socket's or TLS layer's reason; at most kPop3MaxErrorDetailChars.
    // The session keeps it as it came: the mail library masks the password before anyone sees it.
    QString detail;
    bool pipeliningGarbled = false;    // ProtocolError because pipelined replies came garbled
    Pop3Wait wait = Pop3Wait::Silence; // with TimedOut: which limit it was
};

// A server's reason shown to the user: enough to say why, never a flood.
inline constexpr int kPop3MaxErrorDetailChars = 200;

// What the caller will read of each message, so that the session knows what to ask for ahead.
enum class MailPlan {
    HeadersFirst = 0,  // the header decides; the whole message only when the header did not
    WholeMessages = 1, // every message whole; its header comes from the same text
    SizesOnly = 2,     // nothing but the sizes
};

} // namespace brindle
