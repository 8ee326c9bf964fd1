#include "app/CheckReport.h"

#include "mailcheck/pop3/Pop3Trust.h"
#include "ui/texts/CheckTexts.h"

namespace brindle {

QString oneLine(QString text) {
    for (QChar& c : text) {
        if (c == u'\t' || c == u'\r' || c == u'\n')
            c = u' ';
    }
    return text;
}

QString noticeLine(const CheckNotice& notice) {
    const NoticeBox box = noticeBox(notice);
    return (box.caption.isEmpty() ? QString() : box.caption + QStringLiteral(": ")) + oneLine(box.text);
}

QStringList trustLines(const CheckHost::TrustQuestion& q) {
    QStringList lines{oneLine(trustQuestionBox(q).text)};
    if (q.kind == CheckHost::TrustQuestion::Kind::PlainLogin)
        lines << QStringLiteral(
                     "not sending the password unencrypted to %1 without your agreement; to agree, "
                     "run brindle-check again with --allow-plain")
                     .arg(q.server);
    else
        lines << QStringLiteral(
                     "not trusting the certificate of %1; if its SHA-256 is the one the server's "
                     "administrator gave you, run brindle-check again with --accept-certificate %2")
                     .arg(q.server, fingerprintText(q.sha256));
    return lines;
}

QString unjudgedLine(const UnjudgedMessage& message) {
    return QStringLiteral("unjudged: message %1: %2")
        .arg(message.number)
        .arg(oneLine(unjudgedReason(message.error)));
}

} // namespace brindle
