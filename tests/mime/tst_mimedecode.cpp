// Decoding of real-shaped Japanese mail; each row names the breakage it guards against.
#include "mailcheck/mime/Charset.h"
#include "mailcheck/mime/MimeDecode.h"
#include "mailcheck/mime/TransferDecode.h"
#include "platform/Cp932.h"
#include "platform/Iconv.h"
#include "support/Rows.h"

#include <QRandomGenerator>
#include <QTest>

using namespace brindle;
using brindle::test::indexRows;

namespace {

// Byte strings written as hex ("1B 24 42"), so no escape sequence swallows a following digit.
QByteArray hex(const char* text) {
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

QString cps(std::initializer_list<char32_t> codePoints) {
    return QString::fromUcs4(codePoints.begin(), qsizetype(codePoints.size()));
}

QByteArray message(const QByteArray& headers, const QByteArray& body) {
    return headers + (headers.endsWith("\r\n") ? "\r\n" : "\r\n\r\n") + body;
}

// A text/plain message in the charset.
QByteArray plain(const QByteArray& charset, const QByteArray& body) {
    return message("Content-Type: text/plain; charset=" + charset, body);
}

const QByteArray kEscKanji = hex("1B 24 42");
const QByteArray kEscAscii = hex("1B 28 42");

const std::tuple<const char*, QByteArray, QString> kSubjects[]{
    {"raw shift_jis subject", hex("81 79 8F 64 97 76 81 7A 96 B3 97 BF"), "【重要】無料"},
    {"raw euc-jp subject is not half-width kana", hex("CC B5 CE C1 A4 C7 A4 B9"), "無料です"},
    {"utf-8 character split across two words",
     "=?UTF-8?B?54Q=?= =?UTF-8?B?oeaWmQ==?=", cps({0x7121, 0x6599})},
    {"windows-31j nec row 13", "=?Windows-31J?B?h0A=?=", cps({0x2460})},
    // ESC $ B 4C | 35 ESC ( B: an encoder that cut the JIS bytes anywhere.
    {"iso-2022-jp pair split across words",
     "=?ISO-2022-JP?B?GyRCTA==?= =?ISO-2022-JP?B?NRsoQg==?=", cps({0x7121})},
    {"iso-2022-jp word without closing escape then ascii word",
     "=?ISO-2022-JP?B?GyRCTDVOQQ==?= =?ISO-2022-JP?B?QUI=?=", "無料AB"},
    {"raw iso-2022-jp in subject", QByteArray("Re: " + kEscKanji + "L5NA" + kEscAscii + " info"),
     "Re: 無料 info"},
    {"plain text around a word keeps its blanks", "Re: =?UTF-8?B?54Sh5paZ?= now", "Re: 無料 now"},
    {"words of different charsets joined without the blank", "=?UTF-8?B?54Sh?= =?Shift_JIS?B?l78=?=", "無料"},
    {"q encoding with underscore and lowercase hex", "=?iso-8859-1?q?caf=e9_ouvert?=", "café ouvert"},
    {"language suffix on the charset", "=?ISO-2022-JP*ja?B?GyRCTDVOQRsoQg==?=", "無料"},
    {"missing ?= terminator", "=?UTF-8?B?54Sh5paZ", "無料"},
    {"broken base64 characters skipped", "=?UTF-8?B?54Sh*5paZ?=", "無料"},
    {"us-ascii word that holds shift_jis bytes", "=?us-ascii?B?lrOXvw==?=", "無料"},
    {"not an encoded word stays as text", "a =? b ?= c", "a =? b ?= c"},
};

const QByteArray kAlternative = "Content-Type: multipart/alternative; boundary=\"b1\"";
const std::tuple<const char*, QByteArray, QString> kBodies[]{
    {"NUL bytes dropped", plain("UTF-8", "a" + hex("00") + "b"), "ab"},
    {"NUL written in quoted-printable dropped",
     message("Content-Type: text/plain; charset=UTF-8\r\nContent-Transfer-Encoding: quoted-printable",
             "a=00b"),
     "ab"},
    {"NUL that only iconv reads (UTF-7) dropped", plain("UTF-7", "a+AAA-b"), "ab"},
    {"iso-2022-jp without the closing escape", plain("ISO-2022-JP", hex("1B 24 42 4C 35 4E 41")),
     cps({0x7121, 0x6599})},
    {"iso-2022-jp half-width katakana", plain("ISO-2022-JP", hex("1B 28 49 36 37 1B 28 42")),
     cps({0xFF76, 0xFF77})},
    {"iso-2022-jp SO/SI katakana", plain("ISO-2022-JP", hex("41 0E 36 37 0F 42")),
     cps({'A', 0xFF76, 0xFF77, 'B'})},
    {"iso-2022-jp JIS X 0212 gives U+FFFD, rest intact",
     plain("ISO-2022-JP", hex("1B 24 28 44 30 21 1B 24 42 4C 35 1B 28 42 41")), cps({0xFFFD, 0x7121, 'A'})},
    {"shift_jis backslash stays backslash", plain("shift_jis", hex("87 40 43 3A 5C")),
     cps({0x2460, 'C', ':', '\\'})},
    {"quoted-printable soft break inside a character",
     message("Content-Type: text/plain; charset=Shift_JIS\r\nContent-Transfer-Encoding: quoted-printable",
             "=96=\r\n=B3=97=BF"),
     "無料"},
    {"no content-type, raw iso-2022-jp body", message("Subject: x", kEscKanji + "L5NA" + kEscAscii), "無料"},
    {"iso-2022-jp declared, utf-8 sent", plain("ISO-2022-JP", QString::fromUtf8("無料です").toUtf8()),
     "無料です"},
    {"unknown charset, euc-jp sent", plain("x-made-up", hex("CC B5 CE C1")), "無料"},
    {"utf-8 body with one stray byte stays utf-8",
     plain("utf-8", QString::fromUtf8("あいうえお").repeated(30).toUtf8() + hex("FF") +
                        QString::fromUtf8("無料").toUtf8()),
     QString::fromUtf8("あいうえお").repeated(30) + cps({0xFFFD}) + QString::fromUtf8("無料")},
    {"euc-jp body with one cut character stays euc-jp",
     plain("euc-jp", hex("A4 A2").repeated(120) + hex("A4 20") + hex("CC B5 CE C1")),
     QString::fromUtf8("あ").repeated(120) + cps({0xFFFD, ' ', 0x7121, 0x6599})},
    {"bad pair does not shift the pairs after it", message("Subject: x", hex("96 B3 85 40 97 BF")),
     cps({0x7121, 0xFFFD, 0x6599})},
    {"broken base64 keeps what it can",
     message("Content-Transfer-Encoding: base64", "SGVs!!bG8g\r\nd29y*bGQ"), "Hello world"},
    {"unknown transfer encoding taken as is",
     message("Content-Transfer-Encoding: x-uuencode-ish", "plain text"), "plain text"},
    {"multipart/alternative gives both parts in order",
     message(kAlternative,
             "--b1\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nplain 無料\r\n--b1\r\n"
             "Content-Type: text/html; charset=shift_jis\r\n\r\n<html>\x96\xb3</html>\r\n--b1--\r\n"),
     "plain 無料\r\n<html>無</html>"},
    {"html-only mail: closing tag reaches the body",
     message("Content-Type: text/html; charset=iso-2022-jp",
             "<HTML><BODY>" + kEscKanji + "L5NA" + kEscAscii + "</BODY></HTML>\r\n"),
     "<HTML><BODY>無料</BODY></HTML>\r\n"},
    // The inner boundary extends the outer one, so its delimiters are no outer delimiters.
    {"nested multipart in message order",
     message("Content-Type: multipart/mixed; boundary=b",
             "--b\r\nContent-Type: multipart/alternative; boundary=bb\r\n\r\n"
             "--bb\r\nContent-Type: text/plain\r\n\r\none\r\n"
             "--bb\r\nContent-Type: text/html\r\n\r\n<p>two</p>\r\n--bb--\r\n"
             "--b\r\nContent-Type: text/plain\r\n\r\nthree\r\n--b--\r\nepilogue\r\n"),
     "one\r\n<p>two</p>\r\nthree"},
    {"attachments and calendars excluded, inline named part kept",
     message("Content-Type: multipart/mixed; boundary=m",
             "--m\r\nContent-Type: text/plain\r\n\r\nbody\r\n--m\r\nContent-Type: text/plain\r\n"
             "Content-Disposition: attachment; filename=a.txt\r\n\r\nATTACHED\r\n"
             "--m\r\nContent-Type: text/plain; name=b.txt\r\n\r\nNAMED\r\n--m\r\nContent-Type: image/png\r\n"
             "Content-Transfer-Encoding: base64\r\n\r\niVBORw0KGgo=\r\n--m\r\nContent-Type: text/plain; "
             "name=c.txt\r\nContent-Disposition: inline\r\n\r\nshown\r\n"
             "--m\r\nContent-Type: text/calendar\r\n\r\nBEGIN:VCALENDAR\r\n--m--\r\n"),
     "body\r\nshown"},
    {"forwarded message's text is included",
     message("Content-Type: multipart/mixed; boundary=f",
             "--f\r\nContent-Type: text/plain\r\n\r\nFYI\r\n"
             "--f\r\nContent-Type: message/rfc822\r\n\r\nSubject: junk\r\nContent-Type: text/plain; "
             "charset=euc-jp\r\n\r\n\xcc\xb5\xce\xc1\r\n--f--\r\n"),
     "FYI\r\n無料"},
    {"multipart whose boundary never appears keeps its text",
     message("Content-Type: multipart/mixed; boundary=zz", hex("96 B3 97 BF")), "無料"},
    {"unreadable content-type read as text/plain", message("Content-Type: text", "hello"), "hello"},
    {"digest parts are messages by default",
     message("Content-Type: multipart/digest; boundary=d",
             "--d\r\n\r\nSubject: one\r\n\r\nfirst\r\n--d\r\n\r\nSubject: two\r\n\r\nsecond\r\n--d--\r\n"),
     "first\r\nsecond"},
    {"text without any header block is all body", "just text\r\nline two", "just text\r\nline two"},
};

const std::tuple<const char*, QByteArray, QByteArray> kCharsets[]{
    // "１～５ 無料①": the JIS wave dash folds to code page 932's, NEC row 13 is read in each.
    {"iso-2022-jp", "ISO-2022-JP",
     hex("1B 24 42 23 31 21 41 23 35 1B 28 42 20 1B 24 42 4C 35 4E 41 2D 21 1B 28 42")},
    {"shift_jis", "Shift_JIS", hex("82 50 81 60 82 54 20 96 B3 97 BF 87 40")},
    {"euc-jp", "EUC-JP", hex("A3 B1 A1 C1 A3 B5 20 CC B5 CE C1 AD A1")},
    // A Unix mailer's wave dash is U+301C.
    {"utf-8", "UTF-8", hex("EF BC 91 E3 80 9C EF BC 95 20 E7 84 A1 E6 96 99 E2 91 A0")},
};

const std::tuple<const char*, QByteArray, QString> kFroms[]{
    {"name and angle address", "Taro Yamada <taro@example.jp>", "taro@example.jp"},
    {"bare address with comment name", "taro@example.jp (Taro <x@y>)", "taro@example.jp"},
    {"quoted name with comma and at sign", "\"Yamada, Taro @ HQ\" <taro@example.jp>", "taro@example.jp"},
    {"encoded display name", "=?ISO-2022-JP?B?GyRCTDVOQRsoQg==?= <free@spam.example>", "free@spam.example"},
    {"raw shift_jis name ending in a 5C byte before the quote",
     QByteArray("\"" + hex("95 5C") + "\" <hyo@example.jp>"), "hyo@example.jp"},
    {"group syntax takes the first member", "Friends: first@example.jp, Second <second@example.jp>;",
     "first@example.jp"},
    {"empty group then mailbox", "undisclosed-recipients:;", "undisclosed-recipients:;"},
    {"source route", "<@relay.example:taro@example.jp>", "taro@example.jp"},
    {"folded over two lines", "Taro\r\n <taro@example.jp>", "taro@example.jp"},
    {"unclosed brackets: the word holding the at sign", "<< Shop <shop@example.jp", "shop@example.jp"},
    {"no address: the decoded text", "=?UTF-8?B?54Sh5paZ?=", "無料"},
};

const std::tuple<const char*, bool, QByteArray, QByteArray> kTransfers[]{
    {"base64 dangling group of three", true, "SGVsbG", "Hell"},
    {"base64 lone character dropped", true, "SGk=S", "Hi"},
    {"qp soft break with trailing blanks", false, "ab= \t\r\ncd", "abcd"},
    {"qp soft break with bare LF", false, "ab=\ncd", "abcd"},
    {"qp equals at the end", false, "ab=", "ab"},
    {"qp half escape at the end", false, "ab=4", "ab=4"},
    {"qp invalid escapes kept", false, "100=% off =3D free=ZZ", "100=% off = free=ZZ"},
};

const std::tuple<const char*, QString, QString> kFolds[]{
    {"jis variants to cp932", cps({0x301C, 0x2016, 0x2212, 0xA2, 0xA3, 0xAC, 0x2014, 0xA6}),
     cps({0xFF5E, 0x2225, 0xFF0D, 0xFFE0, 0xFFE1, 0xFFE2, 0x2015, 0xFFE4})},
    {"no case or width folding", "Aａｱア~", "Aａｱア~"},
};

const std::tuple<const char*, QByteArray, QByteArray, bool> kStrict[]{
    {"us-ascii with 8-bit", "us-ascii", hex("96 B3"), false},
    {"iso-2022-jp with 8-bit", "iso-2022-jp", hex("E7 84 A1"), false},
    {"utf-8 truncated", "utf-8", hex("E7 84"), false},
    {"shift_jis unmapped pair", "sjis", hex("85 40"), false},
    {"label with path characters", "../../x", "abc", false},
    {"utf-7 that reads as nothing", "UTF-7", "++R", false},
    {"shift_jis user-defined area", "cp932", hex("F0 40"), true},
    {"euc-jp under a spelling of its own", "\"x-euc-jp\"", hex("CC B5"), true},
    {"any charset iconv knows", "KOI8-R", hex("C1"), true},
};

} // namespace

class TestMimeDecode : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void subject_data() { indexRows(kSubjects); }
    void subject() {
        QFETCH(int, row);
        const auto& [name, raw, expected] = kSubjects[row];
        const DecodedHeader h =
            decodeHeader("From: a@example.jp\r\nSubject: " + raw + "\r\nTo: b@example.jp\r\n\r\n");
        QCOMPARE(h.subject, expected);
        QVERIFY2(h.header.contains(expected), qPrintable(h.header));
    }

    void body_data() { indexRows(kBodies); }
    void body() {
        QFETCH(int, row);
        const auto& [name, raw, expected] = kBodies[row];
        QCOMPARE(decodeMessage(raw).body, expected);
    }

    void sameTextInEveryCharset_data() { indexRows(kCharsets); }
    void sameTextInEveryCharset() {
        QFETCH(int, row);
        const auto& [name, charset, bytes] = kCharsets[row];
        const QString cp932 = cps({0xFF11, 0xFF5E, 0xFF15, ' ', 0x7121, 0x6599, 0x2460});
        QCOMPARE(decodeMessage(plain(charset, bytes)).body, cp932);
        const QByteArray word = "=?" + charset + "?B?" + bytes.toBase64() + "?=";
        QCOMPARE(decodeHeader("Subject: " + word + "\r\n").subject, cp932);
    }

    void fromAddress_data() { indexRows(kFroms); }
    void fromAddress() {
        QFETCH(int, row);
        const auto& [name, from, expected] = kFroms[row];
        QCOMPARE(decodeHeader("Subject: s\r\nFrom: " + from + "\r\n\r\nbody").fromAddress, expected);
    }

    void headerBlock() {
        const QByteArray raw =
            "Return-Path: <a@example.jp>\r\nSubject: =?ISO-2022-JP?B?GyRCTDUbKEI=?=\r\n "
            "=?ISO-2022-JP?B?GyRCTkEbKEI=?=\r\nX-Note: \x96\xb3\x97\xbf\r\nReceived: from a\r\n"
            "\tby b\r\nDate: Sun, 6 Dec 2026 10:00:00 +0900\r\n\r\n";
        const DecodedHeader h = decodeHeader(raw);
        QCOMPARE(h.header,
                 QString::fromUtf8("Return-Path: <a@example.jp>\r\nSubject: 無料\r\nX-Note: 無料\r\n"
                                   "Received: from a\r\n\tby b\r\nDate: Sun, 6 Dec 2026 10:00:00 +0900"));
        QCOMPARE(h.date, QString("Sun, 6 Dec 2026 10:00:00 +0900"));
        QCOMPARE(h.fromAddress, QString()); // no From field
        // The whole message gives the same head as its header block alone.
        const DecodedMessage m = decodeMessage(raw + "text");
        QCOMPARE(m.head.header, h.header);
        QCOMPARE(m.head.subject, QString::fromUtf8("無料"));
        QCOMPARE(m.body, QString("text"));
    }

    void transferDecoding_data() { indexRows(kTransfers); }
    void transferDecoding() {
        QFETCH(int, row);
        const auto& [name, base64, input, expected] = kTransfers[row];
        QCOMPARE(base64 ? decodeBase64Lenient(input) : decodeQuotedPrintable(input), expected);
    }

    void fold_data() { indexRows(kFolds); }
    void fold() {
        QFETCH(int, row);
        const auto& [name, input, expected] = kFolds[row];
        QCOMPARE(foldJapaneseVariants(input), expected);
    }

    void strictCharsetRejectsLies_data() { indexRows(kStrict); }
    void strictCharsetRejectsLies() {
        QFETCH(int, row);
        const auto& [name, label, bytes, accepted] = kStrict[row];
        QCOMPARE(decodeCharsetStrict(bytes, label).has_value(), accepted);
        QVERIFY(!decodeCharset(bytes, label).isEmpty());
    }

    void deepNestingStopsSafely() {
        // Nested multiparts far beyond any real mail, then the same with forwarded messages.
        constexpr int kLevels = 5000;
        QByteArray multi = "Content-Type: multipart/mixed; boundary=b0\r\n\r\n--b0\r\n\r\ntop\r\n";
        for (int i = 1; i <= kLevels; ++i)
            multi += "--b" + QByteArray::number(i - 1) + "\r\nContent-Type: multipart/mixed; boundary=b" +
                     QByteArray::number(i) + "\r\n\r\n";
        multi += "--b" + QByteArray::number(kLevels) + "\r\nContent-Type: text/plain\r\n\r\ndeepest\r\n";
        const DecodedMessage m = decodeMessage(multi);
        QVERIFY2(m.body.startsWith(u"top"), qPrintable(m.body.left(80)));
        QVERIFY(!m.body.contains(u"deepest"));

        QByteArray forwarded;
        for (int i = 0; i < kLevels; ++i)
            forwarded += "Subject: level\r\nContent-Type: message/rfc822\r\n\r\n";
        forwarded += "Content-Type: text/plain\r\n\r\ninnermost\r\n";
        QVERIFY(!decodeMessage(forwarded).body.contains(u"innermost"));

        // Shallow nesting is read completely.
        QByteArray shallow;
        for (int i = 0; i < 5; ++i)
            shallow += "Content-Type: message/rfc822\r\n\r\n";
        shallow += "Content-Type: text/plain\r\n\r\ninnermost\r\n";
        QCOMPARE(decodeMessage(shallow).body, QString("innermost\r\n"));
    }

    void manyPartsStopSafely() {
        QByteArray raw = "Content-Type: multipart/mixed; boundary=p\r\n\r\n";
        for (int i = 0; i < 3000; ++i)
            raw += "--p\r\nContent-Type: text/plain\r\n\r\nx\r\n";
        raw += "--p--\r\n";
        const QString body = decodeMessage(raw).body;
        const qsizetype parts = body.count(u'x');
        QVERIFY2(parts > 100 && parts < 3000, qPrintable(QString::number(parts)));
    }

    // Our Content-Type and Content-Disposition reading against the MIME library's, on seeded random
    // values from real fields' pieces and careless-reader breakers (quotes, comments, RFC 2231, case).
    void contentFieldsAgreeWithLibrary() {
        const QList<QByteArray> pool =
            QByteArray(
                "text|/|plain|multipart|mixed|;| |\t|charset|=|UTF-8|\"|\\|(c)|=?|?=|*|name|a b|"
                "boundary|----=_x|attachment|filename|inline|\xe3\x81\x82|''|,|:|a.pdf|@|; charset=a|"
                "; Charset=b|; NAME=x|; boundary=\"=?UTF-8?B?44GC?=\"|; charset=\"=?ISO-8859-1?Q?a?=\"|"
                "; filename*=UTF-8''%E3%81%82|; charset*0=a")
                .split('|');
        QRandomGenerator rng(2045);
        int plainRead = 0;
        for (int i = 0; i < 60000; ++i) {
            QByteArray v = rng.bounded(2) ? "text/plain; charset=" : "";
            for (int k = rng.bounded(1, 10); k > 0; --k)
                v += pool[rng.bounded(int(pool.size()))];
            for (const bool disposition : {false, true}) {
                const ContentField a = readContentField(v, disposition),
                                   b = readContentField(v, disposition, true);
                QVERIFY2(a.read == b.read && a.type == b.type && a.subtype == b.subtype &&
                             a.boundary == b.boundary && a.charset == b.charset && a.named == b.named,
                         v.constData());
                plainRead += a.read;
            }
        }
        QVERIFY(plainRead > 1000); // the corpus reaches the values both read
    }

    // The table decoders and the code page 932 encoder against iconv: every two-byte string (alone and
    // between bytes), UTF-8 three-byte starts, every JIS pair and UTF-16 unit, seeded random text.
    void tablesAgreeWithIconv() {
        const IconvTable* cp932 = cp932Table();
        const IconvTable* euc = IconvTable::get("EUC-JP-MS");
        QVERIFY(cp932 && euc);
        // The tables take any rule for what an unreadable character spans; this one takes up to three.
        const UnreadableLength span = [](const unsigned char* p, qsizetype left) {
            return std::min<qsizetype>(left, 1 + p[0] % 3);
        };
        const UnreadableLength one = [](const unsigned char*, qsizetype) { return 1; };
        QRandomGenerator rng(932);
        QList<QByteArray> corpus;
        for (int a = 0; a < 256; ++a)
            for (int b = 0; b < 256; ++b) {
                const char s[] = {'x', char(a), char(b), char(a ^ b)};
                corpus << QByteArray(s + 1, 2) << QByteArray(s, 3) << QByteArray(s + 1, 3);
                if (a >= 0xE0 && a <= 0xF4 && b >= 0x80 && b <= 0xBF)
                    for (int c = 0; c < 256; c += 5)
                        corpus << QByteArray(s + 1, 2) + char(c);
            }
        const QByteArray pool[] = {
            "a",        "\r\n",         "\x1b$B",   "\x80",         "\x8e\xb1", "\x8f\xa2\xc3",
            "\xa4\xa2", "\x82\xa0",     "\x87\x40", "\xe3\x80\x9c", "\xc2\xa2", "\xe2\x88\x92",
            "\xff",     "\xf0\x9f\x98", "\xed\xa0", "\xfc\xfc",     "\xa1"};
        for (int i = 0; i < 20000; ++i) {
            QByteArray s;
            for (int k = rng.bounded(24); k > 0; --k)
                s += rng.bounded(3) ? pool[rng.bounded(int(std::size(pool)))]
                                    : QByteArray(1, char(rng.bounded(256)));
            corpus << s;
        }
        for (const QByteArray& bytes : corpus) {
            bool same =
                fromCp932(bytes) == iconvDecode("CP932", bytes, false, cp932UnreadableLength) &&
                decodeGuessed(bytes, GuessedCharset::Utf8) == iconvDecode("UTF-8", bytes, false, one) &&
                decodeCharset(bytes, "utf-8", Folding::JapaneseVariants) ==
                    foldJapaneseVariants(decodeCharset(bytes, "utf-8"));
            for (const bool strict : {false, true})
                same = same &&
                       cp932->decode(bytes, strict, span) == iconvDecode("CP932", bytes, strict, span) &&
                       euc->decode(bytes, strict, span) == iconvDecode("EUC-JP-MS", bytes, strict, span);
            if (bytes.contains('\x80') || bytes.contains('\xe3') || bytes.contains('\xc2'))
                same = same && decodeCharsetStrict(bytes, "utf-8") == iconvDecode("UTF-8", bytes, true, one);
            QVERIFY2(same, bytes.toHex(' ').constData());
        }
        for (int j1 = 0x21; j1 <= 0x7E; ++j1)
            for (int j2 = 0x21; j2 <= 0x7E; ++j2) {
                const char jis[] = {'\x1b', '$', 'B', char(j1), char(j2)};
                const char sjis[] = {char((j1 + 1) / 2 + (j1 <= 0x5E ? 0x70 : 0xB0)),
                                     char(j2 + (j1 % 2 ? (j2 >= 0x60 ? 0x20 : 0x1F) : 0x7E))};
                for (const bool strict : {false, true}) {
                    Iso2022JpDecoder d;
                    d.feed(QByteArrayView(jis, 5));
                    QVERIFY(d.finish(strict) ==
                            iconvDecode("CP932", QByteArrayView(sjis, 2), strict, cp932UnreadableLength));
                }
            }
        const char16_t units[] = {u'a', 0x3042, 0x301C, 0xFF5E, 0xD83D, 0xDE00, 0xDC00, 0x2460, 0xFEFF, 0xE9};
        for (int round = 0; round < 0x10000 + 5000; ++round) {
            QString t;
            if (round < 0x10000)
                t = QChar(char16_t(round)) + u"a"_qs;
            for (int k = round < 0x10000 ? 0 : rng.bounded(12); k > 0; --k)
                t += QChar(rng.bounded(2) ? units[rng.bounded(int(std::size(units)))]
                                          : char16_t(rng.bounded(0x10000)));
            const QByteArray bytes = iconvEncode("CP932", t, '?');
            QVERIFY2(toCp932(t) == bytes && cp932Length(t) == bytes.size(), qPrintable(t));
            // The longest start whose bytes fit, less a high surrogate it would end in.
            const qsizetype max = rng.bounded(int(bytes.size()) + 1);
            qsizetype keep = t.size();
            while (bytes.size() > max && iconvEncode("CP932", QStringView(t).left(keep), '?').size() > max)
                --keep;
            if (bytes.size() > max && keep > 0 && t[keep - 1].isHighSurrogate())
                --keep;
            QVERIFY2(cutToCp932Bytes(t, max) == (max > 0 ? t.left(keep) : QString()), qPrintable(t));
        }
    }
};

QTEST_GUILESS_MAIN(TestMimeDecode)
#include "tst_mimedecode.moc"
