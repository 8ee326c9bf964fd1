// The way back's files: records surviving any text, log rotation, damaged pending, retention, mbox.
#include "mailcheck/Quarantine.h"
#include "support/Rows.h"
#include "support/ServerCheck.h"

#include <QDirIterator>
#include <QTest>

using namespace brindle;
using namespace brindle::fake;
using namespace brindle::testing;
using namespace Qt::StringLiterals;
using brindle::test::indexRows;

namespace {

// The characters a terminal acts on, as hex code points; tabs and line ends (separators) excepted.
QStringList controlsIn(const QByteArray& bytes) {
    QStringList found;
    for (const char32_t c : QString::fromUtf8(bytes).toUcs4()) {
        const bool c0 = c < 0x20 && c != u'\t' && c != u'\n';
        const bool bidi = c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
                          (c >= 0x2066 && c <= 0x2069);
        if (c0 || (c >= 0x7F && c <= 0x9F) || bidi)
            found << QString::number(c, 16);
    }
    return found;
}

// What is below the folder and not the user's alone, as "mode path"; each file found counted.
QStringList widerThanPrivate(const QString& folder, int* files) {
    QStringList wider;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    for (QString path = folder; !path.isEmpty(); path = it.hasNext() ? it.next() : QString()) {
        const QFileInfo info(path); // modeOf: lstat, so a link shows 0777 and is reported
        *files += info.isFile() ? 1 : 0;
        if (const int mode = modeOf(path); mode != (info.isDir() ? 0700 : 0600))
            wider << QString::number(mode, 8) + u' ' + path;
    }
    return wider;
}

DeletionRecord record(const QString& subject, const QString& uidl = u"UID-1"_s) {
    const QDateTime when(QDate(2026, 12, 7), QTime(9, 30, 5));
    const QString copy = u"quarantine/2026-12-07/093005-1-UID-1.eml"_s;
    return {when, u"件名"_s, u"無料"_s, u"spam@example.jp"_s, subject, 1234, uidl, copy};
}

// The From and Subject of a message; the subject as the records keep it.
const QByteArray kPlain = "a@example.jp";
const QDateTime kWhen(QDate(2025, 3, 4), QTime(5, 6, 7)); // the checks' clock
const std::tuple<const char*, QByteArray, QString, QString> kHostile[]{
    {"OSC title to ST", kPlain, u"\x1b]0;owned\x1b\\cheap watches"_s, u"cheap watches"_s},
    {"C1 CSI and NEL", kPlain, u"\u009b2Jcheap\u0085watches"_s, u"cheap watches"_s},
    {"bidi override", kPlain, u"\u202echeap watches\u202c"_s, u"cheap watches"_s},
    {"tab and line breaks", kPlain, u"cheap\twatches\r\nnow"_s, u"cheap watches now"_s},
    {"clean, blank kept", kPlain, u"　cheap\u00a0watches"_s, u"　cheap\u00a0watches"_s},
    {"From with escapes", "<a\x1b[2J\x1b]0;x\x07@example.jp>", u"cheap watches"_s, u"cheap watches"_s},
};

} // namespace

class TestQuarantine : public QObject {
    Q_OBJECT
    std::unique_ptr<TempAppFolder> folder;

    // One check of the in-process server, by the keyword "watches" or by a size limit of 1000 bytes.
    void check(FakePop3Server& server, CheckHost::RuleSwitch rule) {
        ProgramValues values;
        FakeHost host;
        host.rules = {rule};
        host.fields[CheckHost::Field::SizeLimit] = u"1000"_s;
        rememberOutcome(
            values, checkServer(server, values, host, [](CheckInputs& in) {
                in.keywords = {"watches"}, in.clock = [] { return kWhen; };
            }));
    }
    // A server whose first QUIT is lost: deletions pending, then resumed and logged.
    static FakePop3Options quitLost(const QByteArray& from, const QString& subject) {
        FakePop3Options o;
        o.messages = {"From: " + from + "\r\nSubject: =?UTF-8?B?" + subject.toUtf8().toBase64() +
                      "?=\r\n\r\nbody\r\n"};
        o.users = {{"user", "secret"}};
        o.dropAtQuit = true;
        o.faultyConnections = 1;
        return o;
    }

private Q_SLOTS:
    void init() { QVERIFY(freshFolder(folder)); }

    // After start-up, whatever a deleting check writes (copies, pending list, log, probe) is private.
    void checksWritePrivateFiles() {
        QVERIFY(prepareApplicationFolder()); // the start-up narrowing of the fixture's 0755 folders
        FakePop3Options o = quitLost("a@example.jp", u"cheap watches"_s);
        o.messages = {o.messages[0] + QByteArray(2000, 'x') + "\r\n",
                      o.messages[0]}; // one deleted, one measured
        FakePop3Server server(o);
        QVERIFY(server.start());
        for (const char* after : {"lost QUIT", "resumed"}) {
            check(server, CheckHost::RuleSwitch::Size);
            int files = 0;
            const QStringList wider = widerThanPrivate(folder->dataFolder(), &files) +
                                      widerThanPrivate(folder->path(u"添付フォルダ"_s), &files);
            QVERIFY2(wider.isEmpty(), qPrintable(after + u": "_s + wider.join(u", ")));
            QVERIFY2(files >= 4, after); // the account, a copy, the probe, the pending list or the log
        }
        QVERIFY(QFile::exists(folder->path(u"★MailData/deleted.log"_s)) &&
                QFile::exists(folder->path(u"添付フォルダ/0.txt"_s)));
    }

    // Whatever a Subject or From holds, records hold nothing a terminal acts on and read back whole.
    void recordsHoldNoControls_data() { indexRows(kHostile); }
    void recordsHoldNoControls() {
        QFETCH(int, row);
        const auto& [name, from, subject, shown] = kHostile[row];
        FakePop3Server server(quitLost(from, subject));
        QVERIFY(server.start());
        const QString data = folder->dataFolder();
        check(server, CheckHost::RuleSwitch::Keyword);
        QCOMPARE(controlsIn(readFile(pendingDeletionsPath(data))), QStringList{});
        const std::optional<PendingDeletions> pending = readPendingDeletions(data);
        QVERIFY(pending && pending->records.size() == 1);
        QCOMPARE(pending->records[0].subject, shown);
        check(server, CheckHost::RuleSwitch::Keyword);
        QCOMPARE(controlsIn(folder->read(u"★MailData/deleted.log"_s)), QStringList{});
        const QList<DeletionRecord> log = readDeletionLog(data);
        QVERIFY(log.size() == 1 && log[0].subject == shown && log[0].sender == u"a@example.jp"_s);
        QVERIFY(log[0].when == kWhen && log[0].copyPath.contains(kWhen.toString(u"yyyy-MM-dd"_s)));
        QVERIFY(log[0].ruleWord == u"件名"_s && log[0].keyword == u"watches"_s && log[0].size > 0);
        QVERIFY(!log[0].uidl.isEmpty() && QFile::exists(data + u'/' + log[0].copyPath));
        QVERIFY(server.mailbox().isEmpty());
    }

    void recordsRoundTrip() {
        DeletionRecord r = record(u"【無料】\tタブと\r\n改行"_s);
        r.partialCopy = true;
        const QString line = formatDeletionRecord(r);
        QVERIFY(!line.contains(u'\n') && line.count(u'\t') == 8);
        const std::optional<DeletionRecord> back = parseDeletionRecord(line);
        QVERIFY(back && back->subject == u"【無料】 タブと 改行"_s && back->when == r.when);
        QVERIFY(back->partialCopy && back->size == 1234 && back->uidl == r.uidl);
        // A log line cannot point outside the quarantine, however it was edited.
        for (const QString& path : {u"../../.ssh/id_rsa"_s, u"quarantine/../ini.ini"_s, u"/etc/passwd"_s}) {
            r.copyPath = path;
            QVERIFY2(!parseDeletionRecord(formatDeletionRecord(r)), qPrintable(path));
        }
        QVERIFY(!parseDeletionRecord(u"not\ta\trecord"_s));
    }

    void logRotatesAndReadsBothFiles() {
        const QString data = folder->dataFolder(), log = data + u"/deleted.log"_s;
        QVERIFY(appendDeletionLog(data, {record(u"first"_s)}) &&
                writeFile(log, readFile(log) + QByteArray(kDeletionLogRotateBytes, '#') + "\n"));
        QVERIFY(appendDeletionLog(data, {record(u"second"_s), record(u"third"_s)}));
        QVERIFY(QFile::exists(log + u".1"_s) && readFile(log).size() < 1000);
        QStringList subjects;
        for (const DeletionRecord& r : readDeletionLog(data))
            subjects << r.subject;
        QCOMPARE(subjects, (QStringList{"first", "second", "third"})); // the damaged line is skipped
    }

    void pendingFileIsOursOrNothing_data() {
        QTest::addColumn<QByteArray>("damage");
        QTest::newRow("garbage") << QByteArray("\x01\x02 garbage\n\n"), QTest::newRow("cut record")
                                                                            << QByteArray("CUT");
    }
    void pendingFileIsOursOrNothing() {
        QFETCH(QByteArray, damage);
        const QString data = folder->dataFolder();
        PendingDeletions p{u"pop.example.jp"_s, u"taro"_s, {record(u"a"_s), record(u"b"_s, u"UID-2"_s)}};
        QVERIFY(writePendingDeletions(data, p));
        QCOMPARE(readPendingDeletions(data)->records.size(), 2);
        QByteArray bytes = readFile(pendingDeletionsPath(data));
        bytes = damage == "CUT" ? bytes.chopped(10) : damage;
        QVERIFY(writeFile(pendingDeletionsPath(data), bytes) && !readPendingDeletions(data));
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
        QVERIFY(writeFile(b, "Subject: b\r\n\r\nno line end") && exportMbox({a, b}, out));
        const QList<QByteArray> lines = readFile(out).split('\n');
        QVERIFY(lines[0].startsWith("From MAILER-DAEMON "));
        QCOMPARE(lines.mid(1, 5), (QList<QByteArray>{"Subject: a", "", ">From here", ">>From there", ""}));
        QVERIFY(lines[6].startsWith("From MAILER-DAEMON ") && lines.contains("no line end"));
        QVERIFY(!exportMbox({a, folder->path(u"gone.eml"_s)}, out + u"2"_s) && !QFile::exists(out + u"2"_s));
    }
};

QTEST_GUILESS_MAIN(TestQuarantine)
#include "tst_quarantine.moc"
