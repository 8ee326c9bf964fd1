#include "keywords/KeywordFile.h"
#include "support/FileSizeLimit.h"
#include "support/Rows.h"
#include "support/TestFiles.h"

#include <QTest>

using namespace brindle;
using brindle::test::indexRows;
using brindle::testing::readFile;
using brindle::testing::writeFile;

namespace {

// What a record's 200 text bytes read back as: the text and the spaces that fill the field.
QString filled(const QString& text, int fillSpaces) {
    return text + QString(fillSpaces, u' ');
}

const QByteArray hundredA = QByteArray("\x82\xa0").repeated(100);
// The text and InUse; the separator and InUse as hex, then the 200 bytes after them.
const std::tuple<const char*, QString, int, QByteArray, QByteArray> kEncodings[]{
    {"marked", u"abc"_qs, 0, "0d0a0000", "abc" + QByteArray(197, ' ')},
    {"beyond 200 bytes is cut", QString(250, u'b'), 1, "0d0a0100", QByteArray(200, 'b')},
    {"150 full-width keep 100", QString(150, u'あ'), 1, "0d0a0100", hundredA},
    {"split full-width dropped", QString(199, u'a') + u"あ"_qs, 1, "0d0a0100", QByteArray(199, 'a') + ' '},
    {"half-width katakana one byte each", QString(200, u'ｱ'), 1, "0d0a0100", QByteArray(200, '\xb1')},
    {"emoji becomes ?", u"x😀"_qs, 1, "0d0a0100", "x?" + QByteArray(198, ' ')},
    {"invisible characters dropped", u"\u00ADア\u2064カ\uFE09\U000E0100x\u200B"_qs, 1, "0d0a0100",
     "\x83\x41\x83\x4ax" + QByteArray(195, ' ')},
};

} // namespace

class TestKeywordFile : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<brindle::testing::TempAppFolder> m_dir;
    QString m_file;

private Q_SLOTS:
    void init() {
        QVERIFY(brindle::testing::renewFolder(m_dir));
        m_file = keywordFilePath();
    }

    void encode_data() { indexRows(kEncodings); }
    void encode() {
        QFETCH(int, row);
        const auto& [name, text, inUse, head, textBytes] = kEncodings[row];
        const QByteArray record = encodeKeywordRecord(text, static_cast<std::int16_t>(inUse));
        QCOMPARE(record.size(), kKeywordRecordSize);
        QCOMPARE(record.first(4).toHex(), head);
        QCOMPARE(record.sliced(4), textBytes);
    }

    void missingDataFolder() {
        QVERIFY(QDir(m_dir->dataFolder()).removeRecursively());
        const QString path = keywordFilePath();
        QCOMPARE(ReadKeywords(path), QStringList());
        QVERIFY(!AppendKeyword(u"x"_qs, path) && !MarkKeywordDeleted(1, path) && !CompactKeywordFile(path));
        QVERIFY(!QFileInfo::exists(m_dir->dataFolder()));
    }

    void appendAndRead() {
        QCOMPARE(ReadKeywords(), QStringList()); // and the missing file is made, empty
        QVERIFY(QFile::exists(m_file));
        QCOMPARE(readFile(m_file), QByteArray());
        for (const QString& k : {u"未承諾広告"_qs, u"  lead"_qs, u"未承諾広告"_qs, QString(200, u'z')})
            QVERIFY(AppendKeyword(k));
        QCOMPARE(ReadKeywords(), (QStringList{filled(u"未承諾広告"_qs, 190), filled(u"  lead"_qs, 194),
                                              filled(u"未承諾広告"_qs, 190), QString(200, u'z')}));
        QCOMPARE(QFileInfo(m_file).size(), 4 * kKeywordRecordSize);
    }

    void appendSpellingsNameOneFile() {
        // The keyword spellings differ from the data folder's own; an append makes the file a read sees.
        QVERIFY(AppendKeyword(u"one"_qs, keywordAppendPath()));
        QCOMPARE(ReadKeywords(keywordFilePath()).size(), 1);
        QCOMPARE(QDir(m_dir->dataFolder()).entryList(QDir::Files), QStringList{u"Kstdata50.data"_qs});
        QCOMPARE(QFileInfo(keywordTempPath()).absolutePath(), QFileInfo(m_file).absolutePath());
    }

    void deleteMiddleOfThree() {
        // A temporary file left by an earlier crash is overwritten, not appended to.
        QVERIFY(writeFile(keywordTempPath(), encodeKeywordRecord(u"stale"_qs) + "junk"));
        for (const QString& k : {u"first"_qs, u"second"_qs, u"third"_qs})
            QVERIFY(AppendKeyword(k));
        const QByteArray before = readFile(m_file);
        for (qint64 n : {qint64(0), qint64(-1), qint64(4), std::numeric_limits<qint64>::max()})
            QVERIFY2(!MarkKeywordDeleted(n), qPrintable(QString::number(n)));
        QCOMPARE(readFile(m_file), before);
        QVERIFY(MarkKeywordDeleted(2));
        QCOMPARE(readFile(m_file).sliced(kKeywordRecordSize + 2, 2), QByteArray("\0\0", 2));
        QVERIFY(CompactKeywordFile());
        const QByteArray compacted = encodeKeywordRecord(u"first"_qs) + encodeKeywordRecord(u"third"_qs);
        QCOMPARE(readFile(m_file), compacted);
        QVERIFY(!QFile::exists(keywordTempPath()));
        // Nothing marked: compaction changes nothing.
        QVERIFY(CompactKeywordFile());
        QCOMPARE(readFile(m_file), compacted);
        QVERIFY(!QFile::exists(keywordTempPath()));
    }

    void compactFailureKeepsOldList() {
        for (int i = 0; i < 10; ++i)
            QVERIFY(AppendKeyword(QString::number(i)));
        QVERIFY(MarkKeywordDeleted(1));
        const QByteArray before = readFile(m_file);
        {
            // Room for three records only: the new list of nine cannot be written.
            brindle::testing::FileSizeLimit limit(3 * kKeywordRecordSize);
            QVERIFY(limit.active() && !CompactKeywordFile());
        }
        QCOMPARE(readFile(m_file), before);
        QVERIFY(!QFile::exists(keywordTempPath()) && CompactKeywordFile());
        QCOMPARE(ReadKeywords().size(), 9);
    }

    void damagedFile_data() {
        QTest::addColumn<int>("tail"); // bytes of an incomplete record after two whole ones
        QTest::newRow("1 byte") << 1;
        QTest::newRow("203 bytes") << 203;
    }
    void damagedFile() {
        QFETCH(int, tail);
        const QByteArray whole = encodeKeywordRecord(u"a"_qs) + encodeKeywordRecord(u"b"_qs);
        QVERIFY(writeFile(m_file, whole + QByteArray(tail, '\x81')));
        QCOMPARE(ReadKeywords().size(), 2);
        QVERIFY(AppendKeyword(u"c"_qs));
        QCOMPARE(readFile(m_file), whole + encodeKeywordRecord(u"c"_qs));
        QCOMPARE(ReadKeywords().size(), 3);
        QVERIFY(!MarkKeywordDeleted(4));
    }

    void beyond32767Records() {
        constexpr qint64 kRecords = 40000;
        QByteArray data;
        data.reserve(kRecords * kKeywordRecordSize);
        for (qint64 i = 1; i <= kRecords; ++i)
            data += encodeKeywordRecord(u"k"_qs + QString::number(i));
        QVERIFY(writeFile(m_file, data));
        QStringList keywords = ReadKeywords();
        QCOMPARE(keywords.size(), kRecords);
        QCOMPARE(keywords.at(32767).trimmed(), u"k32768"_qs);

        QVERIFY(AppendKeyword(u"k40001"_qs));
        for (qint64 n : {qint64(32768), kRecords + 1, qint64(1)})
            QVERIFY(MarkKeywordDeleted(n));
        QVERIFY(CompactKeywordFile());
        keywords = ReadKeywords();
        QCOMPARE(keywords.size(), kRecords - 2);
        QCOMPARE(keywords.at(32765).trimmed(), u"k32767"_qs);
        QCOMPARE(keywords.at(32766).trimmed(), u"k32769"_qs);
    }
};

QTEST_GUILESS_MAIN(TestKeywordFile)
#include "tst_keywordfile.moc"
