// The rules' decisions without a run: keyword matching against a plain reference, and its readings.
#include "mailcheck/DeletionRules.h"
#include "mailcheck/mime/MimeDecode.h"
#include "support/Rows.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

using namespace brindle;
using brindle::test::indexRows;
using namespace Qt::StringLiterals;
using Field = CheckHost::Field;

namespace {

// The keyword rule written plainly: record by record, subject, address, body (a missing one: no match).
KeywordVerdict naiveVerdict(const QStringList& records, const QString& subjectBox, const QString& addressBox,
                            const std::optional<QString>& body, bool* bodyLookedAt) {
    *bodyLookedAt = false;
    const QString texts[] = {foldJapaneseVariants(trimSpaces(subjectBox)),
                             foldJapaneseVariants(trimSpaces(addressBox)),
                             body ? foldJapaneseVariants(*body) : QString()};
    const qsizetype leads[] = {leadingSpaceCount(subjectBox), leadingSpaceCount(addressBox), 0};
    const Field fields[] = {Field::Subject, Field::Sender, Field::Body};
    const QString words[] = {u"件名"_s, u"アドレス"_s, u"本文"_s};
    for (qsizetype r = 0; r < records.size(); ++r) {
        const QString k = foldJapaneseVariants(trimSpaces(records[r]));
        for (int f = 0; f < 3 && !k.isEmpty(); ++f) {
            *bodyLookedAt = *bodyLookedAt || f == 2;
            if (const qsizetype at = f == 2 && !body ? -1 : texts[f].indexOf(k); at >= 0) {
                KeywordVerdict v;
                v.record = r, v.keyword = k, v.word = words[f];
                v.hit = {fields[f], int(leads[f] + at), int(k.size())};
                return v;
            }
        }
    }
    return KeywordVerdict{};
}

QString randomText(QRandomGenerator& rng, QStringView alphabet, int maxLength) {
    QString s;
    for (int i = rng.bounded(maxLength + 1); i > 0; --i)
        s += alphabet[rng.bounded(int(alphabet.size()))];
    return s;
}

const QString disguised = u"【メルカ\u2064リ】アカウン\uFE09ト使用停\u2061止"_s;
const QByteArray utf8 = disguised.toUtf8();
const QByteArray head = "From: a@example.jp\r\nSubject: hello\r\nMIME-Version: 1.0\r\n"
                        "Content-Type: text/plain; charset=UTF-8\r\n";
const QString keyword = u"アカウント使用停止"_s;
const std::tuple<const char*, QString, QByteArray, QString, int, int> kDisguised[]{
    {"subject, encoded word", keyword,
     "Subject: =?UTF-8?B?" + utf8.toBase64() + "?=\r\nFrom: a@example.jp\r\n\r\nx\r\n", u"件名"_s, 7, 11},
    {"sender", u"mercari.jp"_s, "Subject: hi\r\nFrom: <info@mer\u200Bca\u00ADri.jp>\r\n\r\nx\r\n"_ba,
     u"アドレス"_s, 5, 12},
    {"body, 8bit", keyword, head + "\r\n" + utf8 + "\r\n", u"本文"_s, 7, 11},
    {"body, base64", keyword, head + "Content-Transfer-Encoding: base64\r\n\r\n" + utf8.toBase64() + "\r\n",
     u"本文"_s, 7, 11},
    {"body, quoted-printable", keyword,
     head + "Content-Transfer-Encoding: quoted-printable\r\n\r\n" + utf8.toPercentEncoding("", "", '=') +
         "\r\n",
     u"本文"_s, 7, 11},
    {"keyword registered disguised", u"アカ\u200Dウント\U000E0041使用停止"_s,
     "Subject: hi\r\nFrom: a@example.jp\r\n\r\n" + keyword.toUtf8(), u"本文"_s, 0, 9},
    {"width stays significant", u"ｱｶｳﾝﾄ"_s, "Subject: hi\r\nFrom: a@example.jp\r\n\r\n" + utf8, {}, -1, 0},
};

} // namespace

class TestRules : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void keywordMatchingAgreesWithReference() {
        QRandomGenerator rng(20261206);
        // Small, so keywords overlap and repeat; with wave-dash variants for the folding.
        const QString alphabet = u"ab あ \u301C\uFF5E"_s;
        for (int round = 0; round < 3000; ++round) {
            QStringList records;
            for (int i = rng.bounded(8); i > 0; --i)
                records << randomText(rng, alphabet, 4);
            const QString subject = randomText(rng, alphabet, 12);
            const QString address = randomText(rng, alphabet, 8);
            const std::optional<QString> body =
                rng.bounded(8) == 0 ? std::nullopt : std::optional(randomText(rng, alphabet, 30));
            bool bodyLookedAt = false;
            const KeywordVerdict expected = naiveVerdict(records, subject, address, body, &bodyLookedAt);
            int fetches = 0;
            const KeywordVerdict got = judgeByKeywords(KeywordMatcher(records), subject, address, [&] {
                ++fetches;
                return body;
            });
            const QString where =
                QStringLiteral("round %1: records %2, subject '%3', address '%4', body '%5'")
                    .arg(round)
                    .arg(records.join(u'|'), subject, address, body.value_or("(none)"));
            QVERIFY2(got.record == expected.record && got.word == expected.word, qPrintable(where));
            QVERIFY2(got.record < 0 ||
                         (got.hit.field == expected.hit.field && got.hit.start == expected.hit.start &&
                          got.hit.length == expected.hit.length),
                     qPrintable(where));
            // The body is fetched, once, exactly when the plain loop would have looked at it.
            QVERIFY2(fetches == (bodyLookedAt ? 1 : 0), qPrintable(where));
        }
    }

    // Invisible characters do not hide a word in any field or encoding; the selection covers it whole.
    void disguisedKeyword_data() { indexRows(kDisguised); }
    void disguisedKeyword() {
        QFETCH(int, row);
        const auto& [name, keyword, raw, word, start, length] = kDisguised[row];
        const DecodedMessage m = decodeMessage(raw);
        const KeywordVerdict v = judgeByKeywords(KeywordMatcher({u"unrelated"_s, keyword}), m.head.subject,
                                                 m.head.fromAddress, [&] { return std::optional(m.body); });
        QCOMPARE(v.word, word);
        QCOMPARE(v.record, start >= 0 ? 1 : -1);
        if (start >= 0)
            QVERIFY(v.hit.start == start && v.hit.length == length);
    }

    // The probe file measures exactly what was written last, whatever it held before.
    void sizeProbeRewritten() {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"0.txt"_s);
        for (const QString& body : QStringList{u"long body "_s.repeated(50), u"short"_s, QString()})
            QCOMPARE(writeSizeProbe(path, u"Subject: s"_s, body), sizeProbeLength(u"Subject: s"_s, body));
    }
};

QTEST_GUILESS_MAIN(TestRules)
#include "tst_rules.moc"
