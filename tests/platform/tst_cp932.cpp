#include "platform/Cp932.h"

#include <QRandomGenerator>
#include <QTest>

using namespace brindle;

class TestCp932 : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void encode_data();
    void encode();
    void decode_data();
    void decode();
    void roundTrip_data();
    void roundTrip();
    void garbageKeepsTheRest();
    void length();
};

void TestCp932::encode_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("hex");
    QTest::newRow("empty") << QString() << QByteArray();
    QTest::newRow("ascii") << u"abc"_qs << QByteArray("616263");
    QTest::newRow("hiragana") << u"あいう"_qs << QByteArray("82a082a282a4");
    QTest::newRow("kanji") << u"迷惑"_qs << QByteArray("96c09866");
    QTest::newRow("half-width katakana") << u"ｱｲ"_qs << QByteArray("b1b2");
    QTest::newRow("NEC special") << u"①㈱"_qs << QByteArray("8740878a");
    QTest::newRow("IBM extension") << u"髙"_qs << QByteArray("fbfc");
    // The JIS spellings of a few symbols land on the same code page 932 bytes as their Microsoft ones.
    QTest::newRow("wave dash") << u"〜"_qs << QByteArray("8160");
    QTest::newRow("emoji is one ?") << u"a😀b"_qs << QByteArray("613f62");
    QTest::newRow("two emoji") << u"😀😀"_qs << QByteArray("3f3f");
    QTest::newRow("accented latin") << u"café"_qs << QByteArray("6361663f");
    QTest::newRow("lone high surrogate") << QString(QChar(0xD800)) + u"x"_qs << QByteArray("3f78");
    QTest::newRow("lone low surrogate") << u"x"_qs + QChar(0xDC00) << QByteArray("783f");
    QTest::newRow("high surrogate at end") << u"x"_qs + QChar(0xD83D) << QByteArray("783f");
    QTest::newRow("nul kept") << QString(QChar(0)) + u"a"_qs << QByteArray("0061");
}

void TestCp932::encode() {
    QFETCH(QString, text);
    QFETCH(QByteArray, hex);
    QCOMPARE(toCp932(text).toHex(), hex);
}

void TestCp932::decode_data() {
    QTest::addColumn<QByteArray>("hex");
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << QByteArray() << QString();
    QTest::newRow("ascii") << QByteArray("616263") << u"abc"_qs;
    QTest::newRow("hiragana") << QByteArray("82a082a282a4") << u"あいう"_qs;
    QTest::newRow("half-width katakana") << QByteArray("b1") << u"ｱ"_qs;
    QTest::newRow("user-defined area") << QByteArray("f040") << QString(QChar(0xE000));
    QTest::newRow("truncated at end") << QByteArray("6182") << u"a\uFFFD"_qs;
    QTest::newRow("lead byte before blank") << QByteArray("822061") << u"\uFFFD a"_qs;
    QTest::newRow("lead byte before line end") << QByteArray("820d0a") << u"\uFFFD\r\n"_qs;
    QTest::newRow("undefined single byte") << QByteArray("8061") << u"\uFFFDa"_qs;
    QTest::newRow("invalid lead") << QByteArray("ff41") << u"\uFFFDA"_qs;
    QTest::newRow("invalid between valid") << QByteArray("82a0fd82a2") << u"あ\uFFFDい"_qs;
}

void TestCp932::decode() {
    QFETCH(QByteArray, hex);
    QFETCH(QString, text);
    QCOMPARE(fromCp932(QByteArray::fromHex(hex)), text);
}

void TestCp932::roundTrip_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("encodable");
    QTest::newRow("sentence") << u"未承諾広告※ 今すぐクリック！ ｶﾀｶﾅ 123 abc"_qs << true;
    QTest::newRow("symbols") << u"★☆■□◆→←※〒"_qs << true;
    QTest::newRow("question mark itself") << u"why?"_qs << true;
    QTest::newRow("emoji") << u"spam😀"_qs << false;
    QTest::newRow("hangul") << u"한국"_qs << false;
    QTest::newRow("wave dash comes back as full-width tilde") << u"〜"_qs << false;
}

void TestCp932::roundTrip() {
    QFETCH(QString, text);
    QFETCH(bool, encodable);
    QCOMPARE(cp932CanEncode(text), encodable);
    if (encodable)
        QCOMPARE(fromCp932(toCp932(text)), text);
}

void TestCp932::garbageKeepsTheRest() {
    QRandomGenerator rng(932);
    for (int round = 0; round < 50; ++round) {
        QByteArray junk(4096, Qt::Uninitialized);
        for (char& b : junk)
            b = static_cast<char>(rng.bounded(256));
        // A line break cannot be a second byte, so whatever the junk ends with, the tail survives.
        const QString decoded = fromCp932(junk + "\ntail");
        QVERIFY(decoded.size() <= junk.size() + 5);
        QVERIFY2(decoded.endsWith(u"\ntail"), qPrintable(QString::number(round)));
        // Encoding anything decoded back never fails either.
        QVERIFY(toCp932(decoded).size() <= decoded.size() * 2);
    }
}

void TestCp932::length() {
    QCOMPARE(cp932Length(u"あa"), 3);
    QCOMPARE(cp932Length(u"ｱa"), 2);
    QCOMPARE(cp932Length(u"😀"), 1);
}

QTEST_GUILESS_MAIN(TestCp932)
#include "tst_cp932.moc"
