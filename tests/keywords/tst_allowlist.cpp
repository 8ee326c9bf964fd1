// The allow list: entries, the senders they cover, edits that keep the rest of the file.
#include "keywords/AllowList.h"
#include "support/TestFiles.h"

#include <QTest>

using namespace brindle;
using namespace brindle::testing;
using namespace Qt::StringLiterals;

class TestAllowList : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void entries_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("entry"); // empty: no entry
        QTest::newRow("address, case folded") << u"  Taro@Example.JP "_s << u"taro@example.jp"_s;
        QTest::newRow("domain") << u"@example.jp"_s << u"@example.jp"_s;
        QTest::newRow("full-width forms") << u"ｔａｒｏ＠ｅｘａｍｐｌｅ．ｊｐ"_s << u"taro@example.jp"_s;
        QTest::newRow("comment") << u"# taro@example.jp"_s << QString();
        QTest::newRow("space inside") << u"taro @example.jp"_s << QString();
        QTest::newRow("no at sign") << u"example.jp"_s << QString();
        QTest::newRow("two at signs") << u"a@b@example.jp"_s << QString();
        QTest::newRow("display name") << u"Taro <taro@example.jp>"_s << QString();
        QTest::newRow("too long") << QString(250, u'a') + u"@example.jp"_s << QString();
    }
    void entries() {
        QFETCH(QString, text);
        QTEST(normalizeAllowEntry(text).value_or(QString()), "entry");
    }

    void matches_data() {
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("allowed");
        QTest::newRow("listed address, other case") << u"Boss@Work.example"_s << true;
        QTest::newRow("domain") << u"news@shop.jp"_s << true;
        QTest::newRow("subdomain") << u"news@mail.shop.jp"_s << true;
        QTest::newRow("domain that only ends alike") << u"news@badshop.jp"_s << false;
        QTest::newRow("domain entry is no address") << u"@shop.jp"_s << false;
        QTest::newRow("another sender") << u"spam@example.com"_s << false;
        QTest::newRow("no address") << u"無料"_s << false;
    }
    void matches() {
        QFETCH(QString, address);
        QTEST(allowListMatches({u"boss@work.example"_s, u"@shop.jp"_s}, address), "allowed");
    }

    void editsKeepTheFile() {
        TempAppFolder folder;
        QVERIFY(folder.isValid());
        const QString path = allowListPath();
        QVERIFY(writeFile(path,
                          "\xEF\xBB\xBF# family\r\nMother@Example.JP\r\n\r\n  not an entry\r\n@shop.jp\r\n"));
        QCOMPARE(readAllowList(), (QStringList{u"mother@example.jp"_s, u"@shop.jp"_s}));
        QVERIFY(addToAllowList(u"MOTHER@example.jp"_s)); // there already
        QVERIFY(addToAllowList(u"father@example.jp"_s) && !addToAllowList(u"not an entry"_s));
        QVERIFY(removeFromAllowList(u"@SHOP.jp"_s));
        QCOMPARE(readFile(path),
                 QByteArray("# family\nMother@Example.JP\n\n  not an entry\nfather@example.jp\n"));
        QVERIFY(writeFile(path, QByteArray(kAllowListMaxFileBytes + 1, 'a')) && readAllowList().isEmpty());
        QVERIFY(!addToAllowList(u"x@example.jp"_s)); // a file it cannot read is never replaced
    }
};

QTEST_GUILESS_MAIN(TestAllowList)
#include "tst_allowlist.moc"
