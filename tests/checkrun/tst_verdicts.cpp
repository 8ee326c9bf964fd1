// Verdicts remembered by UIDL: nothing fetched twice, judged again on a change, LIST deciding size.
#include "mailcheck/DeletionRules.h"
#include "mailcheck/VerdictMemory.h"
#include "platform/Cp932.h"
#include "support/Rows.h"
#include "support/ServerCheck.h"

#include <QTest>

using namespace brindle;
using brindle::test::indexRows;
using namespace brindle::fake;
using namespace brindle::testing;
using namespace Qt::StringLiterals;
using Uidl = FakePop3Options::Uidl;
using Rule = CheckHost::RuleSwitch;

Q_DECLARE_METATYPE(brindle::fake::FakePop3Options::Uidl)
Q_DECLARE_METATYPE(brindle::CheckHost::RuleSwitch)

namespace {

// Junk (messages 2 and 5) is caught by every rule: keyword, HTML, no hiragana, 60 KB.
QByteArray mail(int i) {
    const bool junk = i % 3 == 2;
    return "From: a" + QByteArray::number(i) +
           "@example.com\r\nSubject: " + (junk ? "cheap watches" : "lunch") +
           "\r\nContent-Type: text/plain; charset=UTF-8\r\n\r\n" +
           (junk ? "<html>" + QByteArray(60000, 'x') + "</html>" : u"またね"_s.toUtf8()) + "\r\n";
}

// Quoted-printable: three bytes on the wire for each character of the probe.
const QByteArray kQuoted = "Subject: s\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n" +
                           QByteArray("=41").repeated(20) + "\r\n";
// A photo of 2002 bytes of base64, which the probe's text leaves out.
const QByteArray kPhoto = "Subject: s\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n"
                          "--b\r\nContent-Type: text/plain\r\n\r\nnote\r\n"
                          "--b\r\nContent-Type: image/png\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
                          QByteArray("QUJD").repeated(500) + "\r\n--b--\r\n";

// Message; limit from (0 probe and what it leaves out, 1 listed size, 2 bound) + offset; caught, fetches.
const std::tuple<const char*, QByteArray, int, int, bool, int> kSizeEdges[]{
    {"probe", kQuoted, 0, 0, true, 1},
    {"probe + 1", kQuoted, 0, 1, false, 1},
    {"listed", kQuoted, 1, 0, false, 1},
    {"listed + 1", kQuoted, 1, 1, false, 1},
    {"past the bound", kQuoted, 2, 1, false, 0},
    {"attachment at the limit", kPhoto, 0, 0, true, 1},
    {"attachment one byte short", kPhoto, 0, 1, false, 1},
};

} // namespace

class TestVerdicts : public QObject {
    Q_OBJECT

    std::unique_ptr<TempAppFolder> folder;
    ProgramValues values;
    QStringList keywords{"watches"};
    QString limit = "50000";

    CheckOutcome check(FakePop3Server& server, Rule rule, bool dryRun = false) {
        FakeHost host;
        host.rules = {rule};
        host.fields[CheckHost::Field::SizeLimit] = limit;
        return checkServer(
            server, values, host, [&](CheckInputs& in) { in.keywords = keywords; }, dryRun);
    }

private Q_SLOTS:
    void init() {
        QVERIFY(freshFolder(folder));
        values = ProgramValues{};
        keywords = {"watches"};
        limit = "50000";
    }

    void secondCheck_data() {
        QTest::addColumn<Rule>("rule");
        QTest::addColumn<Uidl>("uidl");
        QTest::addColumn<int>("change"); // none, keywords, allow list, limit, rule, dry run first, two
        QTest::addColumn<bool>("judgedAgain");
        const std::pair<const char*, Rule> rules[] = {{"keyword", Rule::Keyword},
                                                      {"html", Rule::Html},
                                                      {"size", Rule::Size},
                                                      {"hiragana", Rule::NoHiragana}};
        for (const auto& [name, rule] : rules) {
            QTest::addRow("%s", name) << rule << Uidl::Unique << 0 << false;
            // A UIDL that several messages share, or none at all, remembers nothing.
            QTest::addRow("%s, one uidl for all", name) << rule << Uidl::AllSame << 0 << true;
            QTest::addRow("%s, no uidl", name) << rule << Uidl::Refused << 0 << true;
            QTest::addRow("%s, allow list changed", name) << rule << Uidl::Unique << 2 << true;
            // The second dry run reports the catches without fetching; a real check deletes them.
            QTest::addRow("%s, dry run twice", name) << rule << Uidl::Unique << 6 << false;
        }
        QTest::newRow("keywords changed") << Rule::Keyword << Uidl::Unique << 1 << true;
        QTest::newRow("html, keywords changed") << Rule::Html << Uidl::Unique << 1 << false;
        QTest::newRow("size limit changed") << Rule::Size << Uidl::Unique << 3 << true;
        QTest::newRow("rule changed") << Rule::Keyword << Uidl::Unique << 4 << true;
        QTest::newRow("dry run remembers") << Rule::Html << Uidl::Unique << 5 << false;
    }
    void secondCheck() {
        QFETCH(Rule, rule);
        QFETCH(Uidl, uidl);
        QFETCH(int, change);
        QFETCH(bool, judgedAgain);
        auto server = serve({mail(1), mail(2), mail(3), mail(4), mail(5), mail(6)},
                            [&](FakePop3Options& o) { o.uidl = uidl; });
        QVERIFY(server);
        const bool dryTwice = change == 6;
        const CheckOutcome first = check(*server, rule, change >= 5);
        QCOMPARE(first.caught.size(), 2);
        if (change == 1)
            keywords.prepend("lunchtime");
        if (change == 2)
            QVERIFY(folder->write(u"★MailData/allow.txt"_s, "@nowhere.example\n"));
        if (change == 3)
            limit = "40000";
        const CheckOutcome second = check(*server, change == 4 ? Rule::NoHiragana : rule, dryTwice);
        QCOMPARE(second.caught.size(), change >= 5 ? 2 : 0);
        QCOMPARE(second.newMailCount, dryTwice ? 6 : 4);
        const int kept = 4;
        QCOMPARE(second.remembered, judgedAgain ? 0 : kept + (dryTwice ? 2 : 0));
        // With the size rule LIST keeps the small messages, remembered or not.
        const bool listKeeps = rule == Rule::Size && change != 4;
        QCOMPARE(fetches(*server), (judgedAgain && !listKeeps ? kept : 0) + (change == 5 ? 2 : 0));
        if (dryTwice) {
            for (int i = 0; i < 2; ++i)
                QVERIFY(second.caught[i].number == first.caught[i].number &&
                        second.caught[i].ruleWord == first.caught[i].ruleWord &&
                        second.caught[i].subject == first.caught[i].subject);
            QVERIFY(check(*server, rule).deleted == 2 && server->mailbox().size() == 4);
        }
    }

    // The size rule's edge for a message listed larger than its probe: each limit decides as the
    // measure does; a listing bound below it keeps the message unfetched; an attachment counts whole.
    void sizeEdge_data() { indexRows(kSizeEdges); }
    void sizeEdge() {
        QFETCH(int, row);
        const auto& [name, message, base, offset, caught, fetched] = kSizeEdges[row];
        auto server = serve({message});
        QVERIFY(server);
        const FetchedMessage m = fetchFirst(*server);
        QVERIFY(m.ok);
        QCOMPARE(m.fields.leftOutBytes >= 2000, message == kPhoto);
        const qint64 listed = m.listed,
                     probe = sizeProbeLength(m.fields.header, m.body) + m.fields.leftOutBytes;
        QVERIFY2(listed > probe + 1, qPrintable(u"listed %1, probe %2"_s.arg(listed).arg(probe)));
        const qint64 from[] = {probe, listed, sizeMeasureBound(listed, kCheckFieldBufferBytes)};
        limit = QString::number(from[base] + offset);
        QVERIFY((check(*server, Rule::Size).deleted == 1) == caught && fetches(*server) == fetched);
    }

    // Messages no longer on the server are forgotten; new mail is judged, the rest is not fetched.
    void changedMailbox() {
        auto server = serve({mail(1), mail(3), mail(4)});
        QVERIFY(server);
        QCOMPARE(check(*server, Rule::NoHiragana).remembered, 0);
        server->setMailbox({mail(3), mail(4), mail(6), mail(5)});
        const CheckOutcome second = check(*server, Rule::NoHiragana);
        QVERIFY(second.remembered == 2 && second.caught.size() == 1);
        QCOMPARE(server->stats().commandCounts.value("RETR"), 2); // the new ones; the copy is the same text
        const QByteArray file = folder->read(u"★MailData/verdicts.txt"_s);
        QCOMPARE(file.count('\n'), 1 + 1 + 3); // heading, section, the three kept
    }

    // The size measure is at most the listed size, the field buffer and four line ends, for whatever a
    // message holds: characters doubling in code page 932, a header far over the buffer.
    void sizeBound_data() {
        QTest::addColumn<QByteArray>("message");
        QByteArray words;
        for (int i = 0; i < 600; ++i)
            words += " =?ISO-8859-1?Q?=A7=A7=A7=A7=A7=A7=A7=A7?=";
        QTest::newRow("latin-1 body doubles")
            << "Subject: s\r\nContent-Type: text/plain; charset=ISO-8859-1\r\n\r\n" +
                   QByteArray(3000, '\xA7') + "\r\n";
        QTest::newRow("encoded header past the buffer") << "Subject:" + words + "\r\n\r\nbody\r\n";
        QTest::newRow("empty body") << QByteArray("Subject: s\r\n\r\n");
    }
    void sizeBound() {
        QFETCH(QByteArray, message);
        auto server = serve({message});
        QVERIFY(server);
        const FetchedMessage m = fetchFirst(*server);
        QVERIFY(m.ok);
        const qint64 measured = std::max(m.listed, sizeProbeLength(m.fields.header, m.body));
        const qint64 bound = sizeMeasureBound(m.listed, kCheckFieldBufferBytes);
        QVERIFY2(measured <= bound, qPrintable(u"%1 > %2"_s.arg(measured).arg(bound)));
    }
};

QTEST_GUILESS_MAIN(TestVerdicts)
#include "tst_verdicts.moc"
