// Decoding cost. First the speed of each Japanese charset on one large body (declared, so that only
// the charset decoder runs), alone and as a whole message; then 1,000 messages of 5-50 KB in the
// charsets and structures Japanese mail uses; then crafted 1 MB headers and bodies (address lists,
// encoded words, brackets, nesting) that a careless parser handles in quadratic time. Each crafted
// input should take about as long as ordinary mail of its size.
//
// Usage: bench_mimedecode [--messages N] [--body-mb N]
#include "mailcheck/mime/Charset.h"
#include "mailcheck/mime/MimeDecode.h"
#include "platform/Cp932.h"
#include "platform/Iconv.h"

#include <algorithm>
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

// Newsletter-like lines: kanji and kana, full-width and half-width forms, NEC row 13, a wave dash,
// ASCII runs.
const QString& sampleText() {
    static const QString text = QString::fromUtf8(
        "いつもご利用ありがとうございます。本日限りの無料キャンペーン①を開催中です～\r\n"
        "詳しくはこちら http://example.com/campaign?id=12345 をご覧ください。\r\n"
        "【重要】会員様限定のお知らせ：ポイント２倍（１２月６日～１２月２０日）ｶﾀｶﾅ\r\n"
        "配信停止をご希望の方は、下記のアドレスまでご連絡をお願いいたします。㈱サンプル商事\r\n");
    return text;
}

// ISO-2022-JP from code page 932 bytes, one escape per run of two-byte or half-width characters, as
// Japanese mailers write it.
QByteArray jisFromCp932(const QByteArray& sjis) {
    QByteArray out;
    enum { Ascii, Kanji, Kana } mode = Ascii;
    auto to = [&](decltype(mode) m, const char* esc) {
        if (mode != m)
            out += esc;
        mode = m;
    };
    for (qsizetype i = 0; i < sjis.size(); ++i) {
        const auto b = static_cast<unsigned char>(sjis[i]);
        if (isCp932LeadByte(b) && i + 1 < sjis.size()) {
            int s1 = b, s2 = static_cast<unsigned char>(sjis[++i]);
            int j1 = (s1 <= 0x9F ? s1 - 0x70 : s1 - 0xB0) * 2 - 1;
            int j2;
            if (s2 >= 0x9F) {
                ++j1;
                j2 = s2 - 0x7E;
            } else {
                j2 = s2 - (s2 >= 0x80 ? 0x20 : 0x1F);
            }
            to(Kanji, "\x1b$B");
            out += char(j1);
            out += char(j2);
        } else if (b >= 0xA1 && b <= 0xDF) {
            to(Kana, "\x1b(I");
            out += char(b - 0x80);
        } else {
            to(Ascii, "\x1b(B");
            out += char(b);
        }
    }
    to(Ascii, "\x1b(B");
    return out;
}

struct Body {
    const char* name;
    QByteArray label;
    QByteArray bytes;
};

QList<Body> largeBodies(qsizetype size) {
    const QByteArray sjis = toCp932(sampleText());
    return {
        {"ISO-2022-JP", "ISO-2022-JP", repeatTo(jisFromCp932(sjis), size)},
        {"Shift_JIS", "Shift_JIS", repeatTo(sjis, size)},
        {"EUC-JP", "EUC-JP", repeatTo(iconvEncode("EUC-JP-MS", sampleText(), '?'), size)},
        {"UTF-8", "UTF-8", repeatTo(sampleText().toUtf8(), size)},
    };
}

// The best of a few runs, in MB/s of input.
template <typename F> double megabytesPerSecond(qsizetype bytes, F&& run) {
    qint64 best = std::numeric_limits<qint64>::max();
    for (int i = 0; i < 5; ++i) {
        QElapsedTimer timer;
        timer.start();
        run();
        best = std::min(best, timer.nsecsElapsed());
    }
    return double(bytes) / 1e6 / (double(best) / 1e9);
}

void benchCharsets(qsizetype size) {
    std::printf("%-12s %8s %16s %16s\n", "charset", "MB", "decodeCharset", "decodeMessage");
    for (const Body& body : largeBodies(size)) {
        const QByteArray message =
            "Subject: x\r\nContent-Type: text/plain; charset=" + body.label + "\r\n\r\n" + body.bytes;
        qsizetype chars = 0;
        const double charset = megabytesPerSecond(
            body.bytes.size(), [&] { chars = decodeCharset(body.bytes, body.label).size(); });
        const double whole =
            megabytesPerSecond(message.size(), [&] { chars = decodeMessage(message).body.size(); });
        std::printf("%-12s %8.1f %11.0f MB/s %11.0f MB/s   (%lld chars)\n", body.name,
                    double(body.bytes.size()) / 1e6, charset, whole, static_cast<long long>(chars));
    }
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
    qsizetype bodyMb = 20;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--messages") == 0)
            count = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--body-mb") == 0)
            bodyMb = std::atoi(argv[i + 1]);
    }

    benchCharsets(bodyMb * 1000 * 1000);

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
