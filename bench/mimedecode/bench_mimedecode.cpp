// Decoding cost: 1,000 messages of 5-50 KB in the charsets and structures Japanese mail uses, then
// crafted 1 MB headers and bodies (address lists, encoded words, brackets, nesting) that a careless
// parser handles in quadratic time. Each crafted input should take about as long as ordinary mail
// of its size.
//
// Usage: bench_mimedecode [--messages N]
#include "mailcheck/mime/MimeDecode.h"

#include <cstdio>
#include <cstring>
#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QStringEncoder>

using namespace brindle;

namespace {

QByteArray repeatTo(const QByteArray& unit, qsizetype size) {
    QByteArray out;
    out.reserve(size + unit.size());
    while (out.size() < size)
        out += unit;
    return out;
}

QByteArray wrapped(const QByteArray& base64) {
    QByteArray out;
    for (qsizetype i = 0; i < base64.size(); i += 76)
        out += base64.mid(i, 76) + "\r\n";
    return out;
}

QList<QByteArray> ordinaryMail(int count) {
    const QString text =
        QString::fromUtf8("いつもご利用ありがとうございます。本日限りの無料キャンペーン①を開催中です～"
                          "詳しくはこちら http://example.com/campaign?id=12345 をご覧ください。\r\n");
    QStringEncoder jis("ISO-2022-JP"), sjis("Shift_JIS"), euc("EUC-JP");
    const QByteArray jisText = jis.encode(text), sjisText = sjis.encode(text), eucText = euc.encode(text),
                     utf8Text = text.toUtf8();
    const QByteArray head =
        "Return-Path: <info@example.jp>\r\nReceived: from mx.example.jp by pop.example.jp\r\n"
        "From: =?ISO-2022-JP?B?GyRCM3Q8MDJxPFIbKEI=?= <info@example.jp>\r\n"
        "Subject: =?ISO-2022-JP?B?GyRCIVo9RU1XIVtMNU5BGyhC?=\r\n"
        "Date: Sun, 6 Dec 2026 10:00:00 +0900\r\nMIME-Version: 1.0\r\n";
    QList<QByteArray> mail;
    for (int i = 0; i < count; ++i) {
        const qsizetype size = 5000 + qsizetype(i % 100) * 450; // 5 KB to 50 KB
        QByteArray m = head;
        switch (i % 4) {
        case 0:
            m += "Content-Type: text/plain; charset=ISO-2022-JP\r\n\r\n" + repeatTo(jisText, size);
            break;
        case 1:
            m += "Content-Type: text/plain\r\n\r\n" + repeatTo(sjisText, size); // undeclared
            break;
        case 2:
            m += "Content-Type: multipart/alternative; boundary=\"alt\"\r\n\r\n--alt\r\n"
                 "Content-Type: text/plain; charset=UTF-8\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
                 wrapped(repeatTo(utf8Text, size / 3).toBase64()) +
                 "--alt\r\nContent-Type: text/html; charset=EUC-JP\r\nContent-Transfer-Encoding: "
                 "quoted-printable\r\n\r\n<html>" +
                 repeatTo(eucText, size / 3).toPercentEncoding("<>/ \r\n=", "", '=') +
                 "</html>\r\n--alt--\r\n";
            break;
        case 3:
            m += "Content-Type: multipart/mixed; boundary=mix\r\n\r\n--mix\r\nContent-Type: text/plain; "
                 "charset=shift_jis\r\n\r\n" +
                 repeatTo(sjisText, size / 2) +
                 "\r\n--mix\r\nContent-Type: application/pdf; name=a.pdf\r\nContent-Transfer-Encoding: "
                 "base64\r\n\r\n" +
                 wrapped(repeatTo("%PDF-1.4 binary", size / 2).toBase64()) + "--mix--\r\n";
            break;
        }
        mail.append(m);
    }
    return mail;
}

} // namespace

int main(int argc, char** argv) {
    int count = 1000;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--messages") == 0)
            count = std::atoi(argv[i + 1]);

    const QList<QByteArray> mail = ordinaryMail(count);
    qint64 bytes = 0;
    for (const QByteArray& m : mail)
        bytes += m.size();
    QElapsedTimer timer;
    timer.start();
    qint64 chars = 0;
    for (const QByteArray& m : mail)
        chars += decodeMessage(m).body.size();
    const qint64 ms = timer.elapsed();
    std::printf("ordinary mail: %d messages, %.1f MB, %lld ms (%.0f MB/s), %lld body chars\n", count,
                double(bytes) / 1e6, static_cast<long long>(ms), ms ? double(bytes) / 1e3 / double(ms) : 0.0,
                static_cast<long long>(chars));

    const qsizetype kCrafted = 1 << 20;
    const char* units[] = {"a,", "=?a?B?x ",          "=?a?Q?", "<", "a>", "(", "\"",
                           "=?", "=?UTF-8?B?5oSb?= ", "\x1b$B"};
    const char* fields[] = {"From: ", "Subject: ", "Content-Type: text/plain; name=", "X-Other: "};
    for (const char* field : fields) {
        for (const char* unit : units) {
            const QByteArray value = repeatTo(unit, kCrafted);
            const QByteArray m = QByteArray(field) + value + "\r\n\r\n" + value;
            timer.restart();
            decodeMessage(m);
            std::printf("crafted %-32s x %-18s %6lld ms\n", field,
                        QByteArray(unit).toPercentEncoding().constData(),
                        static_cast<long long>(timer.elapsed()));
        }
    }
    QByteArray nested;
    for (int i = 0; nested.size() < kCrafted; ++i)
        nested += "Content-Type: multipart/mixed; boundary=b" + QByteArray::number(i) + "\r\n\r\n--b" +
                  QByteArray::number(i) + "\r\n";
    timer.restart();
    decodeMessage(nested);
    std::printf("crafted nesting (1 MB)                                      %6lld ms\n",
                static_cast<long long>(timer.elapsed()));
    return 0;
}
