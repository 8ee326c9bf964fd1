// The files of the way back on their own: records that survive any text, the log's rotation, a
// pending file that is damaged, retention, and the mbox export.
#include "mailcheck/Quarantine.h"
#include "support/TestFiles.h"

#include <QDirIterator>
#include <QTest>

using namespace brindle;
using namespace brindle::testing;
using namespace Qt::StringLiterals;

namespace {

DeletionRecord record(const QString& subject, const QString& uidl = u"UID-1"_s) {
    DeletionRecord r;
    r.when = QDateTime(QDate(2026, 12, 7), QTime(9, 30, 5));
    r.ruleWord = u"件名"_s;
    r.keyword = u"無料"_s;
    r.sender = u"spam@example.jp"_s;
    r.subject = subject;
    r.size = 1234;
    r.uidl = uidl;
    r.copyPath = u"quarantine/2026-12-07/093005-1-UID-1.eml"_s;
    return r;
}

} // namespace

class TestQuarantine : public QObject {
    Q_OBJECT
    std::unique_ptr<TempAppFolder> folder;

private Q_SLOTS:
    void init() {
        folder.reset();
        folder = std::make_unique<TempAppFolder>();
        QVERIFY(folder->isValid());
    }

    void recordsRoundTrip() {
        DeletionRecord r = record(u"【無料】\tタブと\r\n改行"_s);
        r.partialCopy = true;
        const QString line = formatDeletionRecord(r);
        QVERIFY(!line.contains(u'\n') && line.count(u'\t') == 8);
        const std::optional<DeletionRecord> back = parseDeletionRecord(line);
        QVERIFY(back);
        QCOMPARE(back->subject, u"【無料】 タブと  改行"_s);
        QCOMPARE(back->when, r.when);
        QVERIFY(back->partialCopy && back->size == 1234 && back->uidl == r.uidl);
        // A log line cannot point outside the quarantine, however it was edited.
        for (const QString& path : {u"../../.ssh/id_rsa"_s, u"quarantine/../ini.ini"_s, u"/etc/passwd"_s}) {
            r.copyPath = path;
            QVERIFY2(!parseDeletionRecord(formatDeletionRecord(r)), qPrintable(path));
        }
        QVERIFY(!parseDeletionRecord(u"not\ta\trecord"_s));
    }

    void logRotatesAndReadsBothFiles() {
        const QString data = folder->dataFolder();
        QVERIFY(appendDeletionLog(data, {record(u"first"_s)}));
        QVERIFY(folder->write(u"★MailData/deleted.log"_s, folder->read(u"★MailData/deleted.log"_s) +
                                                              QByteArray(kDeletionLogRotateBytes, '#') +
                                                              "\n"));
        QVERIFY(appendDeletionLog(data, {record(u"second"_s), record(u"third"_s)}));
        QVERIFY(QFile::exists(folder->path(u"★MailData/deleted.log.1"_s)));
        QVERIFY(folder->read(u"★MailData/deleted.log"_s).size() < 1000);
        QStringList subjects;
        for (const DeletionRecord& r : readDeletionLog(data))
            subjects << r.subject;
        QCOMPARE(subjects, (QStringList{"first", "second", "third"})); // the damaged line is skipped
    }

    void pendingFileIsOursOrNothing_data() {
        QTest::addColumn<QByteArray>("damage");
        QTest::newRow("garbage") << QByteArray("\x01\x02 garbage\n\n");
        QTest::newRow("cut in the middle of a record") << QByteArray("CUT");
    }
    void pendingFileIsOursOrNothing() {
        QFETCH(QByteArray, damage);
        const QString data = folder->dataFolder();
        PendingDeletions p{u"pop.example.jp"_s, u"taro"_s, {record(u"a"_s), record(u"b"_s, u"UID-2"_s)}};
        QVERIFY(writePendingDeletions(data, p));
        QCOMPARE(readPendingDeletions(data)->records.size(), 2);
        QByteArray bytes = readFile(pendingDeletionsPath(data));
        bytes = damage == "CUT" ? bytes.chopped(10) : damage;
        QVERIFY(writeFile(pendingDeletionsPath(data), bytes));
        QVERIFY(!readPendingDeletions(data));
        QVERIFY(writePendingDeletions(data, PendingDeletions{})); // nothing pending: no file
        QVERIFY(!QFile::exists(pendingDeletionsPath(data)));
    }

    // Copies past the retention time go, then the oldest until the rest fit the cap.
    void retentionByAgeThenSize() {
        Quarantine q(folder->dataFolder(), QuarantineLimits{30, 2500});
        const QDateTime now = QDateTime::currentDateTime();
        QStringList paths;
        for (int age : {40, 20, 10, 5, 1}) {
            const std::optional<QString> copy =
                q.keep(QByteArray(1000, 'x'), age, u"u"_s + QString::number(age), now.addDays(-age));
            QVERIFY(copy);
            const QString path = q.absolutePath(*copy);
            QFile f(path);
            QVERIFY(f.open(QIODevice::ReadWrite) &&
                    f.setFileTime(now.addDays(-age), QFileDevice::FileModificationTime));
            paths << path;
        }
        QCOMPARE(q.prune(now), 3); // 40 days by age; 20 and 10 days for the 2500-byte cap
        for (int i = 0; i < paths.size(); ++i)
            QCOMPARE(QFile::exists(paths[i]), i >= 3);
        QCOMPARE(QDir(q.folder()).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 2); // empty days gone
    }

    void fileSafeNames() {
        QCOMPARE(fileSafeUidl(u"../a/b c"_s), u"_._a_b_c"_s); // no folder, no hidden file
        QCOMPARE(fileSafeUidl(QString()), u"nouidl"_s);
        Quarantine q(folder->dataFolder(), {});
        const QDateTime when = QDateTime::currentDateTime();
        const std::optional<QString> one = q.keep("a", 1, u"x"_s, when), two = q.keep("b", 1, u"x"_s, when);
        QVERIFY(one && two && *one != *two); // the same message kept twice in a second
    }

    void mboxExport() {
        const QString a = folder->path(u"a.eml"_s), b = folder->path(u"b.eml"_s),
                      out = folder->path(u"out.mbox"_s);
        QVERIFY(writeFile(a, "Subject: a\r\n\r\nFrom here\r\n>From there\r\n"));
        QVERIFY(writeFile(b, "Subject: b\r\n\r\nno line end"));
        QVERIFY(exportMbox({a, b}, out));
        const QList<QByteArray> lines = readFile(out).split('\n');
        QVERIFY(lines[0].startsWith("From MAILER-DAEMON "));
        QCOMPARE(lines.mid(1, 5), (QList<QByteArray>{"Subject: a", "", ">From here", ">>From there", ""}));
        QVERIFY(lines[6].startsWith("From MAILER-DAEMON ") && lines.contains("no line end"));
        QVERIFY(!exportMbox({a, folder->path(u"gone.eml"_s)}, out + u"2"_s));
        QVERIFY(!QFile::exists(out + u"2"_s));
    }
};

QTEST_GUILESS_MAIN(TestQuarantine)
#include "tst_quarantine.moc"
