// The rules' decisions without a run: keyword matching against a plain reference, the timed wait,
// and the small helpers.
#include "mailcheck/DeletionRules.h"
#include "mailcheck/MailCheckRun.h"
#include "mailcheck/mime/MimeDecode.h"
#include "mailcheck/WaitWithEvents.h"
#include "platform/Cp932.h"

#include <QRandomGenerator>
#include <QTest>

using namespace brindle;
using namespace Qt::StringLiterals;
using Field = CheckHost::Field;

namespace {

// The keyword rule exactly as a person would write it: record by record, subject, address, body.
KeywordVerdict naiveVerdict(const QStringList& records, const QString& subjectBox, const QString& addressBox,
                            const QString& body, int* fetches) {
    KeywordVerdict v;
    *fetches = 0;
    const QString subject = foldJapaneseVariants(trimSpaces(subjectBox));
    const QString address = foldJapaneseVariants(trimSpaces(addressBox));
    const QString foldedBody = foldJapaneseVariants(body);
    for (qsizetype r = 0; r < records.size(); ++r) {
        const QString k = foldJapaneseVariants(trimSpaces(records[r]));
        if (k.isEmpty()) {
            continue;
        }
        v.record = r;
        v.keyword = k;
        if (const qsizetype at = subject.indexOf(k); at >= 0) {
            v.word = u"件名"_s;
            v.hit = {Field::Text4, int(leadingSpaceCount(subjectBox) + at), int(k.size())};
            return v;
        }
        if (const qsizetype at = address.indexOf(k); at >= 0) {
            v.word = u"アドレス"_s;
            v.hit = {Field::Text5, int(leadingSpaceCount(addressBox) + at), int(k.size())};
            return v;
        }
        ++*fetches;
        if (const qsizetype at = foldedBody.indexOf(k); at >= 0) {
            v.word = u"本文"_s;
            v.hit = {Field::Text6, int(at), int(k.size())};
            return v;
        }
    }
    return KeywordVerdict{};
}

QString randomText(QRandomGenerator& rng, QStringView alphabet, int maxLength) {
    QString s;
    const int n = rng.bounded(maxLength + 1);
    for (int i = 0; i < n; ++i) {
        s += alphabet[rng.bounded(int(alphabet.size()))];
    }
    return s;
}

} // namespace

class TestRules : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void keywordMatchingAgreesWithReference() {
        QRandomGenerator rng(20261206);
        // A small alphabet so that keywords overlap, share prefixes and occur often; a wave-dash
        // variant so that folding is exercised.
        const QString alphabet = u"ab あ \u301C\uFF5E"_s;
        for (int round = 0; round < 3000; ++round) {
            QStringList records;
            const int count = rng.bounded(8);
            for (int i = 0; i < count; ++i) {
                records << randomText(rng, alphabet, 4);
            }
            const QString subject = randomText(rng, alphabet, 12);
            const QString address = randomText(rng, alphabet, 8);
            const QString body = randomText(rng, alphabet, 30);
            int naiveFetches = 0;
            const KeywordVerdict expected = naiveVerdict(records, subject, address, body, &naiveFetches);
            int fetches = 0;
            const KeywordMatcher matcher(records);
            const KeywordVerdict got = judgeByKeywords(matcher, subject, address, [&] {
                ++fetches;
                return std::optional<QString>(body);
            });
            const QString where =
                QStringLiteral("round %1: records %2, subject '%3', address '%4', body '%5'")
                    .arg(round)
                    .arg(records.join(u'|'), subject, address, body);
            QVERIFY2(got.record == expected.record, qPrintable(where));
            QVERIFY2(got.word == expected.word, qPrintable(where));
            if (got.record >= 0) {
                QVERIFY2(got.hit.field == expected.hit.field && got.hit.start == expected.hit.start &&
                             got.hit.length == expected.hit.length,
                         qPrintable(where));
            }
            // The body is fetched exactly when the plain loop would have looked at it at least once.
            QVERIFY2((fetches > 0) == (naiveFetches > 0), qPrintable(where));
            QVERIFY2(fetches <= 1, qPrintable(where));
        }
    }

    void manyKeywordsOnePass() {
        // Keywords that are prefixes and suffixes of each other, and duplicates: the earliest record wins.
        const QStringList records{"abcd", "bc", "abc", "bc", "c"};
        const KeywordMatcher m(records);
        QCOMPARE(m.earliestRecordIn(u"xxabcdxx"), 0);
        QCOMPARE(m.earliestRecordIn(u"xxabcxx"), 1);
        QCOMPARE(m.earliestRecordIn(u"xxcxx"), 4);
        QCOMPARE(m.earliestRecordIn(u"xxabcxx", 1), -1); // only records before 1 are of interest
        QCOMPARE(m.earliestRecordIn(u"xyz"), -1);
        QCOMPARE(KeywordMatcher({"   ", ""}).firstActiveRecord(), -1);
        QCOMPARE(KeywordMatcher({"   ", "a"}).firstActiveRecord(), 1);
    }

    void unfetchableBodyLeavesSubjectAndAddress() {
        const KeywordMatcher m({"body-only", "subj"});
        const KeywordVerdict v = judgeByKeywords(m, "a subj", "x@y", [] { return std::optional<QString>(); });
        QCOMPARE(v.record, 1);
        QCOMPARE(v.word, u"件名"_s);
        QVERIFY(v.bodyFetched);
    }

    void trimOnlySpaces_data() {
        QTest::addColumn<QString>("in");
        QTest::addColumn<QString>("out");
        QTest::newRow("spaces") << "  a b  "
                                << "a b";
        QTest::newRow("tab and ideographic space stay") << u"\t\u3000a\u3000 "_s << u"\t\u3000a\u3000"_s;
        QTest::newRow("all spaces") << "    "
                                    << "";
    }
    void trimOnlySpaces() {
        QFETCH(QString, in);
        QFETCH(QString, out);
        QCOMPARE(trimSpaces(in), out);
    }

    void sizeLimit_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("limit"); // 0: none
        QTest::newRow("number") << "1000" << 1000.0;
        QTest::newRow("first run") << "GetPPSErr" << 0.0;
        QTest::newRow("empty") << "" << 0.0;
        QTest::newRow("zero") << "0" << 0.0;
        QTest::newRow("negative") << "-1" << 0.0;
        QTest::newRow("trailing letters") << "2048 bytes" << 2048.0;
        QTest::newRow("fraction") << "0.5" << 0.5;
    }
    void sizeLimit() {
        QFETCH(QString, text);
        QFETCH(double, limit);
        const auto got = sizeLimitFrom(text);
        QCOMPARE(got.value_or(0.0), limit);
    }

    void probeContentIsCp932() {
        const QString header = u"Subject: 無料"_s;
        const QString body = u"本文①"_s;
        const QByteArray expected = "Subject: \x96\xb3\x97\xbf\r\n\x96\x7b\x95\xb6\x87\x40\r\n";
        QCOMPARE(sizeProbeContent(header, body), expected);
        QCOMPARE(sizeProbeLength(header, body), qint64(expected.size()));
    }

    void hiraganaTable() {
        QCOMPARE(std::size(kHiraganaTable) - 1, std::size_t(46));
        for (QChar c : QStringView(kHiraganaTable)) {
            QVERIFY(findHiragana(QString(QChar(c))).has_value());
        }
        for (QChar c : u"がぱぁっゃゎゐゑゔアン"_s) {
            QVERIFY2(!findHiragana(QString(c)).has_value(), qPrintable(QString(c)));
        }
    }

    void waitWithEvents_data() {
        QTest::addColumn<quint32>("start");
        QTest::addColumn<int>("wait");
        QTest::addColumn<quint32>("stepMs");
        QTest::addColumn<int>("pumps");
        QTest::newRow("plain") << quint32(5000) << 1000 << quint32(100) << 11; // 1100 > 1000
        QTest::newRow("exactly equal is not enough") << quint32(0) << 300 << quint32(300) << 2;
        QTest::newRow("clock wraps") << quint32(0xFFFFFF00u) << 1000 << quint32(100) << 11;
        QTest::newRow("zero still pumps once") << quint32(7) << 0 << quint32(1) << 1;
        QTest::newRow("negative still pumps once") << quint32(7) << -5 << quint32(1) << 1;
    }
    void waitWithEvents() {
        QFETCH(quint32, start);
        QFETCH(int, wait);
        QFETCH(quint32, stepMs);
        QFETCH(int, pumps);
        quint32 now = start;
        int pumped = 0;
        WaitWithEvents(
            wait, [&] { return now; },
            [&] {
                ++pumped;
                now += stepMs; // time passes while events run
                QVERIFY(pumped < 100000);
            });
        QCOMPARE(pumped, pumps);
    }
};

QTEST_GUILESS_MAIN(TestRules)
#include "tst_rules.moc"
