#include "platform/Cp932.h"

#include <QTest>

using namespace brindle;

class TestCp932 : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void encode_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("hex");
        QTest::addColumn<bool>("encodable"); // comes back unchanged
        QTest::newRow("ascii and hiragana") << u"aあいう"_qs << QByteArray("6182a082a282a4") << true;
        QTest::newRow("NEC special") << u"①㈱"_qs << QByteArray("8740878a") << true;
        QTest::newRow("question mark itself") << u"why?"_qs << QByteArray("7768793f") << true;
        QTest::newRow("nul kept") << QString(QChar(0)) + u"a"_qs << QByteArray("0061") << true;
        // The JIS wave dash takes the Microsoft one's bytes: it comes back as the full-width tilde.
        QTest::newRow("wave dash") << u"〜"_qs << QByteArray("8160") << false;
        QTest::newRow("emoji is one ?") << u"a😀b"_qs << QByteArray("613f62") << false;
        QTest::newRow("accented latin") << u"café"_qs << QByteArray("6361663f") << false;
        QTest::newRow("lone surrogates, one at the end")
            << QChar(0xD800) + u"x"_qs + QChar(0xDC00) + u"y"_qs + QChar(0xD83D) << QByteArray("3f783f793f")
            << false;
    }
    void encode() {
        QFETCH(QString, text);
        QFETCH(QByteArray, hex);
        QFETCH(bool, encodable);
        const QByteArray bytes = toCp932(text);
        QCOMPARE(bytes.toHex(), hex);
        QCOMPARE(cp932Length(text), bytes.size());
        QCOMPARE(cp932CanEncode(text), encodable);
        QCOMPARE(fromCp932(bytes) == text, encodable);
    }

    void decode_data() {
        QTest::addColumn<QByteArray>("hex");
        QTest::addColumn<QString>("text");
        QTest::newRow("half-width katakana") << QByteArray("b1") << u"ｱ"_qs;
        QTest::newRow("user-defined area") << QByteArray("f040") << QString(QChar(0xE000));
        QTest::newRow("truncated at end") << QByteArray("6182") << u"a\uFFFD"_qs;
        QTest::newRow("lead byte before line end") << QByteArray("820d0a") << u"\uFFFD\r\n"_qs;
        QTest::newRow("undefined single byte") << QByteArray("8061") << u"\uFFFDa"_qs;
        QTest::newRow("invalid between valid") << QByteArray("82a0fd82a2") << u"あ\uFFFDい"_qs;
        // An unassigned pair is one unreadable character, its trail no "@"; the pairs after stay in step.
        QTest::newRow("unassigned pair is one character") << QByteArray("854082a0") << u"\uFFFDあ"_qs;
    }
    void decode() {
        QFETCH(QByteArray, hex);
        QFETCH(QString, text);
        const QByteArray bytes = QByteArray::fromHex(hex);
        QCOMPARE(fromCp932(bytes), text);
        // The strict reading agrees where everything is readable and refuses the rest.
        const std::optional<QString> strict = fromCp932Strict(bytes);
        QCOMPARE(strict.has_value(), !text.contains(QChar::ReplacementCharacter));
        if (strict)
            QCOMPARE(*strict, text);
    }
};

QTEST_GUILESS_MAIN(TestCp932)
#include "tst_cp932.moc"
