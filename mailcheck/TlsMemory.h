#pragma once
// What the checks learnt of each POP3 server's TLS, kept between them in one small file of the data
// folder, "tls.ini" (UTF-8, written whole and atomically):
//   # comment lines
//   [host:port]                      a server, as pop3TrustKey names it ("[v6]:port" for IPv6)
//   tls-seen = yes                   it offered TLS once: a connection without TLS is refused
//   pinned-sha256 = AB:CD:...        the certificate the user trusts for it although the system does not
//   plain-agreed = yes               the user agreed that the password goes to it in clear
//   capabilities = PIPELINING TOP    what its CAPA announced (PIPELINING TOP UIDL UTF8 STLS), and
//   quirks = login-apart garbled     what it did wrong; both only once a check read its CAPA
// Unknown lines are skipped. Deleting a server's block forgets it.
#include "mailcheck/pop3/Pop3Trust.h"

#include <QList>
#include <QString>

namespace brindle {

// A larger file is not ours (a block is some 150 bytes): it is read as empty and not rewritten.
inline constexpr qint64 kTlsMemoryMaxBytes = 256 * 1024;
// The longest server key written: a host name is at most 253 characters, then brackets, ':' and a port.
inline constexpr qsizetype kTlsMemoryKeyMaxChars = 264;
// Servers kept; past this the one remembered longest ago goes. Nobody checks this many mailboxes.
inline constexpr int kTlsMemoryMaxServers = 64;

struct TlsMemoryEntry {
    QString key;
    Pop3Trust trust;
};

// "\\★MailData\\tls.ini" in the application folder.
QString tlsMemoryPath();
// The key of a server as the settings write it ("host", "pop3s://host:port"...); empty when the
// text names no server.
QString serverTrustKey(const QString& pop3Server);

// The file's servers, most recently remembered first; empty when it is missing or damaged.
QList<TlsMemoryEntry> readTlsMemory(const QString& path);
// What the file remembers of the server (nothing: a default Pop3Trust).
Pop3Trust trustFor(const QString& path, const QString& key);
// Adds what was learnt to what the file holds for the server now (another program may have written
// it meanwhile): TLS seen, the agreement and the quirks stay once given, a new pin and capabilities
// read anew replace the old. The other
// servers stay. Atomic; false when it could not be written. Keys the sanitizer (ServerText.h) would
// change are neither remembered nor written back.
bool rememberTrust(const QString& path, const QString& key, const Pop3Trust& learnt);

} // namespace brindle
