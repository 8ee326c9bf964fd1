#pragma once
// The program's mail library (MailLibrary.h) on top of our own POP3 client, and the knobs that
// tests and benchmarks turn. Production code uses only nmail().
#include "mailcheck/MailLibrary.h"
#include "mailcheck/pop3/Pop3Session.h"

#include <QList>
#include <QSslCertificate>

namespace brindle {

// Messages fetched whole (RETR) are kept decoded so that the keyword rule, which asks for the body
// once per keyword, fetches each message once. The newest one is always kept; older ones only
// while the total stays under the byte bound.
inline constexpr int kNMailCachedMessages = 4;
inline constexpr qsizetype kNMailCacheBytes = 32 * 1024 * 1024;
// The buffers of the calling program: field texts are cut to this many bytes in code page 932
// (NUL included) unless NMailSetOption(1, n) says otherwise.
inline constexpr int kNMailDefaultFieldBuffer = 8192;

// Time-outs for sessions opened from now on (tests shorten them). Non-positive: the defaults.
void setPop3Timeouts(int connectMs, int replyMs);
// Certificates trusted in addition to the system's (tests add their own CA). Verification itself
// cannot be switched off.
void setExtraTrustedCertificates(const QList<QSslCertificate>& certificates);
// The byte stream under new sessions; empty: TCP (and TLS) sockets.
void setPop3TransportFactory(Pop3TransportFactory factory);
// What the last closed session did (for the benchmark).
Pop3SessionStats lastPop3SessionStats();

// Cuts text so that it takes at most maxBytes in code page 932, never inside a character.
QString cutToCp932Bytes(const QString& text, qsizetype maxBytes);

} // namespace brindle
