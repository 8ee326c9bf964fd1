// A fault at every step of a deletion: no message lost, logged once, resumed exactly as judged.
#include "mailcheck/CheckMemories.h"
#include "mailcheck/Quarantine.h"
#include "support/FileSizeLimit.h"
#include "support/ServerCheck.h"

#include <QDirIterator>
#include <QTest>

using namespace brindle;
using namespace brindle::fake;
using namespace brindle::testing;
using namespace Qt::StringLiterals;
using Uidl = FakePop3Options::Uidl;

Q_DECLARE_METATYPE(brindle::fake::FakePop3Options::Uidl)

namespace {

QByteArray mail(int i, bool junk) {
    return "From: a" + QByteArray::number(i) +
           "@example.com\r\nSubject: " + (junk ? "cheap watches " : "lunch ") + QByteArray::number(i) +
           "\r\n\r\nline one\r\n.dotted\r\n";
}

// Messages 1, 3 and 4 are junk.
QList<QByteArray> mailbox() {
    return {mail(1, true), mail(2, false), mail(3, true), mail(4, true), mail(5, false)};
}

// The memories held in memory, as a caller may hand them over instead of the data folder's files.
struct MemoryStore final : CheckMemories {
    std::optional<PendingDeletions> pending;
    QByteArray verdictText;
    std::optional<PendingDeletions> pendingDeletions() const override { return pending; }
    bool keepPendingDeletions(const PendingDeletions& p) override {
        pending = p.records.isEmpty() ? std::nullopt : std::optional(p);
        return true;
    }
    VerdictMemory verdicts(const QString& server, const QString& account,
                           const QByteArray& judgement) const override {
        VerdictMemory m(server, account, judgement);
        m.load(verdictText);
        return m;
    }
    bool keepVerdicts(const VerdictMemory& m) override {
        verdictText = m.mergedInto(verdictText);
        return true;
    }
};

} // namespace

class TestDeletions : public QObject {
    Q_OBJECT

    std::unique_ptr<TempAppFolder> folder;
    FakeHost host;
    ProgramValues values;

    bool late = false;                  // deletions announced after the judging, as brindle-check does them
    std::shared_ptr<MemoryStore> store; // set: the checks keep their memories there, not in files

    CheckOutcome check(FakePop3Server& server) {
        host = FakeHost{};
        host.lateAnnouncements = late;
        host.rules = {CheckHost::RuleSwitch::Keyword};
        const CheckOutcome outcome = checkServer(server, values, host, [this](CheckInputs& in) {
            in.keywords = {"watches"};
            if (store)
                in.memories = store;
        });
        rememberOutcome(values, outcome);
        return outcome;
    }
    QList<QByteArray> copies() const {
        QList<QByteArray> out;
        QDirIterator it(folder->path(u"★MailData/quarantine"_s), {"*.eml"}, QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            out << readFile(it.next());
        return out;
    }
    QStringList loggedSubjects() const {
        QStringList out;
        for (const DeletionRecord& r : readDeletionLog(folder->dataFolder()))
            out << r.subject;
        out.sort();
        return out;
    }
    // Every message is still on the server or has a copy, byte for byte.
    void verifyNothingLost(const QList<QByteArray>& all, FakePop3Server& server) {
        const QList<QByteArray> kept = copies(), left = server.mailbox();
        for (const QByteArray& m : all)
            QVERIFY2(left.contains(m) || kept.contains(m), m.constData());
    }

private Q_SLOTS:
    void init() {
        QVERIFY(freshFolder(folder));
        values = ProgramValues{};
        late = false;
        store.reset();
    }

    // The first check is cut after its Nth command (as if killed); the second runs clean.
    void faultAtEveryStep_data() {
        QTest::addColumn<Uidl>("uidl");
        QTest::addColumn<int>("cutAt"); // 0: QUIT deletes but its answer is lost
        QTest::addColumn<bool>("late");
        for (bool late : {false, true}) {
            const char* when = late ? ", late" : "";
            for (const auto& [name, mode] :
                 {std::pair{"uidl", Uidl::Unique}, std::pair{"no uidl", Uidl::Refused},
                  std::pair{"one uidl for all", Uidl::AllSame}}) {
                QTest::addRow("%s%s, QUIT answer lost", name, when) << mode << 0 << late;
                for (int k = 1; k <= 24; ++k)
                    QTest::addRow("%s%s, cut at command %d", name, when, k) << mode << k << late;
            }
        }
    }
    void faultAtEveryStep() {
        QFETCH(Uidl, uidl);
        QFETCH(int, cutAt);
        QFETCH(bool, late);
        this->late = late;
        auto server = serve(mailbox(), [&](FakePop3Options& o) {
            o.uidl = uidl;
            o.dropAfterCommands = cutAt > 0 ? cutAt : -1;
            o.quitAnswerLost = cutAt == 0;
            o.faultyConnections = 1;
        });
        QVERIFY(server);
        check(*server);
        verifyNothingLost(mailbox(), *server);
        const bool pending = QFile::exists(pendingDeletionsPath(folder->dataFolder()));
        QVERIFY(!pending || uidl == Uidl::Unique); // a UIDL shared or missing names no deletion

        const qsizetype junkLeft = server->mailbox().size() - 2;
        const CheckOutcome second = check(*server);
        QCOMPARE(second.status, CheckOutcome::Status::Done);
        verifyNothingLost(mailbox(), *server);
        QCOMPARE(server->mailbox(), (QList<QByteArray>{mail(2, false), mail(5, false)}));
        // Resumed deletions were announced by the first check and are not announced again.
        QCOMPARE(host.announcements.size(), junkLeft - second.resumedDeletions);
        QVERIFY(!QFile::exists(pendingDeletionsPath(folder->dataFolder())));
        // Without a unique UIDL a QUIT whose answer was lost leaves copies but no log line.
        const QStringList junk{"cheap watches 1", "cheap watches 3", "cheap watches 4"};
        QCOMPARE(loggedSubjects(), cutAt == 0 && uidl != Uidl::Unique ? QStringList{} : junk);
    }

    // A lost QUIT, then another client takes message 2 and new mail comes: the pending UIDLs still
    // name the judged messages, in the data folder's files or in a given store (then no file).
    void pendingDeletionsFollowTheirUidls_data() {
        QTest::addColumn<bool>("inMemory");
        QTest::newRow("files") << false, QTest::newRow("given store") << true;
    }
    void pendingDeletionsFollowTheirUidls() {
        QFETCH(bool, inMemory);
        if (inMemory)
            store = std::make_shared<MemoryStore>();
        const QString data = folder->dataFolder();
        auto server = serve(mailbox(), [](FakePop3Options& o) {
            o.dropAtQuit = true;
            o.faultyConnections = 1;
        });
        QVERIFY(server);
        QCOMPARE(check(*server).status, CheckOutcome::Status::DeletionsLost);
        const std::optional<PendingDeletions> pending =
            inMemory ? store->pending : readPendingDeletions(data);
        QCOMPARE(pending.value_or(PendingDeletions{}).records.size(), 3);
        QCOMPARE(QFile::exists(pendingDeletionsPath(data)), !inMemory);
        const QByteArray fresh = "From: new@example.com\r\nSubject: new cheap watches\r\n\r\nhi\r\n";
        server->setMailbox({fresh, mail(1, true), mail(3, true), mail(4, true), mail(5, false)});

        const CheckOutcome out = check(*server);
        QVERIFY(out.resumedDeletions == 3 && out.deleted == 4); // the new junk judged as usual
        QCOMPARE(server->mailbox(), QList<QByteArray>{mail(5, false)});
        QCOMPARE(host.announcements, QStringList{u"1:件名"_s}); // only the new one is announced
        QCOMPARE(loggedSubjects(),
                 (QStringList{"cheap watches 1", "cheap watches 3", "cheap watches 4", "new cheap watches"}));
        const DeletionRecord first = readDeletionLog(folder->dataFolder()).value(0);
        QVERIFY(first.size == mail(1, true).size() &&
                first.copyPath.endsWith(fileSafeUidl(first.uidl) + ".eml"));
        QCOMPARE(QFile::exists(verdictMemoryPath(data)), !inMemory);
        QVERIFY(!inMemory || (store->verdictText.contains('@') && !store->pending));
    }

    // A copy that cannot be written: the message stays, and the user is told once.
    void withoutACopyNothingIsDeleted_data() {
        QTest::addColumn<QString>("fault");
        QTest::newRow("quarantine is a file") << "file", QTest::newRow("full disk") << "full";
    }
    void withoutACopyNothingIsDeleted() {
        QFETCH(QString, fault);
        auto server = serve(mailbox());
        QVERIFY(server);
        if (fault == "file")
            QVERIFY(folder->write(u"★MailData/quarantine"_s, "not a folder"));
        CheckOutcome out;
        {
            std::optional<FileSizeLimit> limit;
            if (fault == "full")
                limit.emplace(16); // a copy of any message is larger
            out = check(*server);
        }
        QVERIFY(out.deleted == 0 && out.copyFailures == 3 && out.newMailCount == 5);
        QCOMPARE(host.boxes.size(), 1);
        QCOMPARE(server->mailbox(), mailbox());
        QVERIFY(!QFile::exists(pendingDeletionsPath(folder->dataFolder())));
    }
};

QTEST_GUILESS_MAIN(TestDeletions)
#include "tst_deletions.moc"
