#include "mailcheck/pop3/Pop3Trust.h"

#include <QCryptographicHash>
#include <QMultiMap>
#include <QStringList>

namespace brindle {

QString pop3TrustKey(const QString& host, quint16 port) {
    const QString h = host.toLower();
    return (h.contains(u':') ? u'[' + h + u']' : h) + u':' + QString::number(port);
}

QString fingerprintText(const QByteArray& sha256) {
    return QString::fromLatin1(sha256.toHex(':').toUpper());
}

std::optional<QByteArray> parseFingerprint(const QString& text) {
    QByteArray hex;
    for (QChar c : text) {
        if (c == u':' || c == u' ' || c == u'-')
            continue;
        if (c.unicode() > 0x7f || !isxdigit(c.unicode()))
            return std::nullopt;
        hex.append(char(c.unicode()));
    }
    const qsizetype digits = QCryptographicHash::hashLength(QCryptographicHash::Sha256) * 2;
    if (hex.size() != digits)
        return std::nullopt;
    return QByteArray::fromHex(hex);
}

namespace {
QString shown(QString text) {
    for (QChar& c : text)
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            c = u' ';
    text = text.simplified();
    return text.size() > kCertificateTextChars ? text.left(kCertificateTextChars - 1) + u'…' : text;
}
} // namespace

QString certificateSubjectText(const QSslCertificate& certificate) {
    return shown(certificate.subjectDisplayName());
}

QString certificateIssuerText(const QSslCertificate& certificate) {
    return shown(certificate.issuerDisplayName());
}

QString certificateNamesText(const QSslCertificate& certificate) {
    const auto alt = certificate.subjectAlternativeNames();
    QStringList names;
    for (auto it = alt.cbegin(); it != alt.cend(); ++it) {
        if (it.key() != QSsl::DnsEntry && it.key() != QSsl::IpAddressEntry)
            continue;
        if (names.size() == kCertificateNamesShown) {
            names << QStringLiteral("…");
            break;
        }
        names << shown(it.value());
    }
    if (names.isEmpty())
        names = QStringList{shown(certificate.subjectInfo(QSslCertificate::CommonName).value(0))};
    return names.join(QStringLiteral(", "));
}

} // namespace brindle
