#pragma once
#include <optional>
#include <QByteArray>
#include <QCryptographicHash>
#include <QDateTime>
#include <QSslCertificate>
#include <QString>

namespace brindle {

// What a server announced in CAPA (RFC 2449) and how it behaved, so that the next check sends CAPA
// together with the login and the listings instead of waiting for it alone, and avoids what failed.
struct Pop3Known {
    bool seen = false; // a check read its CAPA: the rest is what that check found
    bool pipelining = false;
    bool top = false;
    bool uidl = false;
    bool utf8 = false;
    bool stls = false;
    // Quirks, kept once learnt: commands sent behind the login are lost (Courier's login process
    // hands the connection on and drops what it had read ahead), and pipelined replies came garbled.
    bool loginApart = false;
    bool garbled = false;
    bool operator==(const Pop3Known&) const = default;
};

// What the program remembers of one server (host and port) from earlier checks, so that a later
// connection can be held to it (RFC 8314: TLS once seen is TLS from then on).
struct Pop3Trust {
    bool tlsSeen = false;     // the server offered TLS once: a connection without it is refused
    QByteArray pinnedSha256;  // SHA-256 of a certificate the user trusts for this server (32 bytes)
    bool plainAgreed = false; // the user agreed that the password may go in clear to this server
    Pop3Known known;          // its capabilities and quirks
    bool operator==(const Pop3Trust&) const = default;
};

// A certificate that costs nothing until one is set. Every QSslCertificate, a null one too, loads
// the TLS backend (a Qt plugin, OpenSSL, its configuration: milliseconds) when it is made, which a
// plain connection never needs; this one reads like a QSslCertificate where the check's results
// are read.
class LazyCertificate {
public:
    LazyCertificate() = default;
    LazyCertificate(const QSslCertificate& c) : m_cert(c) {}
    bool isNull() const { return !m_cert || m_cert->isNull(); }
    QDateTime effectiveDate() const { return m_cert ? m_cert->effectiveDate() : QDateTime(); }
    QDateTime expiryDate() const { return m_cert ? m_cert->expiryDate() : QDateTime(); }
    QByteArray digest(QCryptographicHash::Algorithm algorithm) const {
        return m_cert ? m_cert->digest(algorithm) : QByteArray();
    }
    operator QSslCertificate() const { return m_cert ? *m_cert : QSslCertificate(); }

private:
    std::optional<QSslCertificate> m_cert;
};

// What the TLS handshake found of the server's certificate, also when it was refused.
struct CertificateCheck {
    LazyCertificate certificate; // null: no handshake, or none got as far
    bool untrusted = false;      // no chain to a root the system trusts (self-signed, private CA)
    bool wrongName = false;      // issued for other names than the host
    bool outOfDate = false;      // expired, or not valid yet
    bool otherFault = false;     // revoked, bad signature, wrong purpose...: never accepted
    bool pinned = false;         // accepted for being the certificate pinned for this server
};

// The name a server is remembered by: "host:port", "[v6]:port", the host in lower case.
QString pop3TrustKey(const QString& host, quint16 port);

// SHA-256 of a certificate as users compare it: upper-case hex pairs joined by colons.
QString fingerprintText(const QByteArray& sha256);
// A SHA-256 as users type it: 64 hex digits, with or without colons (or blanks) between the pairs,
// in either case. nullopt when it is no such thing.
std::optional<QByteArray> parseFingerprint(const QString& text);

// What a certificate says of itself, for the user: the server chose every word of it, so each text is
// cut to kCertificateTextChars, without control characters, and at most kCertificateNamesShown of
// its names are listed.
inline constexpr int kCertificateTextChars = 80;
inline constexpr int kCertificateNamesShown = 4;
QString certificateSubjectText(const QSslCertificate& certificate);
QString certificateIssuerText(const QSslCertificate& certificate);
// The DNS names and addresses it is issued for ("a.example, 192.0.2.1"), else its common name.
QString certificateNamesText(const QSslCertificate& certificate);

} // namespace brindle
