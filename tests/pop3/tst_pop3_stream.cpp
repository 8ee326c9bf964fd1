// The client over an in-memory transport that hands it the server's bytes one at a time: every
// reply is cut at every byte boundary, and the pipelining window can be watched exactly.
#include "mailcheck/NMail.h"

#include <QTest>
#include <QTimer>

using namespace brindle;

namespace {

// What the client sent; owned by the test, since the session deletes its transport at close.
struct Record {
    int maxOutstanding = 0;
    QByteArray sent;
    struct Line {
        QByteArray text;
        qsizetype deliveredBefore; // reply bytes the client had read when the line was written
        qsizetype replyEnd;        // where this line's reply ends in the reply stream
    };
    QList<Line> lines;
};

class OneByteTransport : public Pop3Transport {
public:
    explicit OneByteTransport(int messages, qint64 listedSize = -1, int bodyPad = 0)
        : m_messages(messages), m_listedSize(listedSize), m_pad(bodyPad) {}

    Record* record = nullptr;

    void open(const QString&, quint16, bool) override {
        m_open = true;
        queue("+OK memory server <7.7@memory>\r\n");
    }
    bool isReady() const override { return m_open; }
    bool isEncrypted() const override { return false; }
    bool hasFailed() const override { return false; }
    QString failureText() const override { return {}; }
    void startTls(const QString&) override {}
    void close() override {}
    void write(const QByteArray& bytes) override {
        if (record)
            record->sent += bytes;
        m_pending += bytes;
        qsizetype eol;
        while ((eol = m_pending.indexOf("\r\n")) >= 0) {
            const QByteArray line = m_pending.left(eol);
            m_pending.remove(0, eol + 2);
            queue(respond(line));
            if (record)
                record->lines.append({line, m_delivered, m_total});
            int outstanding = 0;
            for (qsizetype end : m_replyEnds)
                outstanding += end > m_delivered ? 1 : 0;
            if (record)
                record->maxOutstanding = qMax(record->maxOutstanding, outstanding);
        }
    }
    QByteArray readAll() override {
        if (m_out.isEmpty())
            return {};
        const QByteArray one = m_out.left(1);
        m_out.remove(0, 1);
        ++m_delivered;
        if (!m_out.isEmpty())
            schedule();
        return one;
    }

    static QByteArray header(int n) {
        return "From: <s" + QByteArray::number(n) + "@example.jp>\r\nSubject: mail " + QByteArray::number(n) +
               "\r\n";
    }
    static QByteArray message(int n, int pad = 0) {
        QByteArray m = header(n) + "\r\n..dotted\r\nbody " + QByteArray::number(n) + "\r\n";
        while (pad > 0) {
            m += QByteArray(qMin(pad, 998), 'p') + "\r\n";
            pad -= 1000;
        }
        return m;
    }

private:
    QByteArray respond(const QByteArray& line) {
        const QList<QByteArray> w = line.split(' ');
        const int n = w.value(1).toInt();
        if (w[0] == "CAPA")
            return "+OK\r\nPIPELINING\r\nTOP\r\n.\r\n";
        if (w[0] == "STAT")
            return "+OK " + QByteArray::number(m_messages) + " 0\r\n";
        if (w[0] == "LIST") {
            QByteArray r = "+OK\r\n";
            for (int i = 1; i <= m_messages; ++i)
                r += QByteArray::number(i) + ' ' +
                     QByteArray::number(m_listedSize >= 0 ? m_listedSize : message(i, m_pad).size()) + "\r\n";
            return r + ".\r\n";
        }
        if (w[0] == "TOP")
            return "+OK\r\n" + header(n) + ".\r\n";
        if (w[0] == "RETR")
            return "+OK\r\n" + message(n, m_pad) + ".\r\n";
        return "+OK\r\n";
    }
    void queue(const QByteArray& reply) {
        m_out += reply;
        m_total += reply.size();
        m_replyEnds.append(m_total);
        schedule();
    }
    void schedule() {
        if (m_scheduled)
            return;
        m_scheduled = true;
        QTimer::singleShot(0, this, [this] {
            m_scheduled = false;
            Q_EMIT activity();
        });
    }

    int m_messages;
    qint64 m_listedSize;
    int m_pad;
    bool m_open = false;
    bool m_scheduled = false;
    QByteArray m_pending;
    QByteArray m_out;
    qsizetype m_delivered = 0;
    qsizetype m_total = 0;
    QList<qsizetype> m_replyEnds;
};

} // namespace

class TestPop3Stream : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void cleanup() { setPop3TransportFactory({}); }

    void everyByteBoundaryWithPipelining() {
        const int count = 100;
        Record record;
        Record* transport = &record;
        setPop3TransportFactory([&] {
            auto t = std::make_unique<OneByteTransport>(count);
            t->record = &record;
            return t;
        });
        MailLibrary& lib = nmail();
        const int h = lib.NMailPop3Connect(QStringLiteral("memory"));
        QVERIFY(h >= 0);
        QCOMPARE(lib.NMailPop3Authenticate(h, QStringLiteral("u"), QStringLiteral("p"), 0), count);
        for (int n = 1; n <= count; ++n) {
            MailFields f;
            QCOMPARE(lib.NMailPop3GetMailStatus(h, n, f), 0);
            QCOMPARE(f.subject, QStringLiteral("mail %1").arg(n));
            QCOMPARE(f.fromAddress, QStringLiteral("s%1@example.jp").arg(n));
            if (n % 25 == 0) {
                QString body;
                QVERIFY(lib.NMailPop3GetMailSize(h, n) > 0);
                QCOMPARE(lib.NMailPop3GetMail(h, n, f, body), 0);
                QVERIFY2(body.contains(QStringLiteral(".dotted\r\nbody %1").arg(n)), qPrintable(body));
                QVERIFY(!body.contains(QStringLiteral("..dotted")));
                QCOMPARE(lib.NMailPop3DeleteMail(h, n), 0);
            }
        }
        QCOMPARE(lib.NMailPop3Close(h), 0);
        QVERIFY(transport);
        // The headers were asked for ahead, within the window.
        QVERIFY2(transport->maxOutstanding > 4, qPrintable(QString::number(transport->maxOutstanding)));
        QVERIFY(transport->maxOutstanding <= kPop3MaxPipelinedCommands + 1);
        QCOMPARE(transport->sent.count("LIST"), 1);
        // Headers by TOP until the first body is asked for; from then on whole messages are read
        // ahead and the headers come with them. The TOPs already under way (a window, and one more
        // sent while the size list was read) are used, not repeated. Nothing is fetched twice.
        const int firstWhole = 25;
        const int topsAhead = 2 * kPop3MaxPipelinedCommands;
        QVERIFY(transport->sent.count("TOP ") <= firstWhole + topsAhead);
        for (int n = 1; n <= count; ++n) {
            const QByteArray number = QByteArray::number(n);
            const qsizetype tops = transport->sent.count("TOP " + number + " 0\r\n");
            const qsizetype retrs = transport->sent.count("RETR " + number + "\r\n");
            QVERIFY(tops <= 1 && retrs <= 1);
            QVERIFY2(tops + retrs >= 1, number.constData());
            if (n <= firstWhole)
                QCOMPARE(tops, 1);
            if (n % 25 == 0 || n > firstWhole + topsAhead)
                QCOMPARE(retrs, 1);
        }
        QVERIFY(transport->sent.endsWith("QUIT\r\n"));
    }

    void deletionKeepsTheWindowFull() {
        // A rule that reads every body deletes every 10th message, waiting for each answer. The
        // DELE's answer comes behind the messages read ahead; while the client waits for it, the
        // window is refilled, so the server is never left without work.
        const int count = kPop3MaxPipelinedCommands + 50;
        Record record;
        setPop3TransportFactory([&] {
            auto t = std::make_unique<OneByteTransport>(count);
            t->record = &record;
            return t;
        });
        MailLibrary& lib = nmail();
        const int h = lib.NMailPop3Connect(QStringLiteral("memory"));
        QCOMPARE(lib.NMailPop3Authenticate(h, QStringLiteral("u"), QStringLiteral("p"), 0), count);
        for (int n = 1; n <= count; ++n) {
            MailFields f;
            QString body;
            QVERIFY(lib.NMailPop3GetMailSize(h, n) > 0);
            QCOMPARE(lib.NMailPop3GetMail(h, n, f, body), 0);
            QCOMPARE(f.subject, QStringLiteral("mail %1").arg(n));
            if (n % 10 == 0)
                QCOMPARE(lib.NMailPop3DeleteMail(h, n), 0);
        }
        QCOMPARE(lib.NMailPop3Close(h), 0);
        QVERIFY(record.maxOutstanding <= kPop3MaxPipelinedCommands + 1);
        QCOMPARE(record.sent.count("RETR "), count);
        // DELE 10 went out while later messages were still on their way, and further RETRs
        // followed it before its own answer had been read.
        const auto dele = std::find_if(record.lines.cbegin(), record.lines.cend(),
                                       [](const Record::Line& l) { return l.text == "DELE 10"; });
        QVERIFY(dele != record.lines.cend());
        const auto retr11 = std::find_if(record.lines.cbegin(), record.lines.cend(),
                                         [](const Record::Line& l) { return l.text == "RETR 11"; });
        QVERIFY(retr11 < dele);
        QVERIFY(dele->deliveredBefore < retr11->replyEnd);
        const bool refilled = std::any_of(dele + 1, record.lines.cend(), [&](const Record::Line& l) {
            return l.text.startsWith("RETR ") && l.deliveredBefore < dele->replyEnd;
        });
        QVERIFY(refilled);
    }

    void bodyFitsTheListedSize() {
        // The caller's body buffer is the listed size plus its NUL: a server that lists less than
        // it sends must not overflow it.
        setPop3TransportFactory([] { return std::make_unique<OneByteTransport>(2, 8); });
        MailLibrary& lib = nmail();
        const int h = lib.NMailPop3Connect(QStringLiteral("memory"));
        QCOMPARE(lib.NMailPop3Authenticate(h, QStringLiteral("u"), QStringLiteral("p"), 0), 2);
        QCOMPARE(lib.NMailPop3GetMailSize(h, 2), qint64(8));
        MailFields f;
        QString body;
        for (int round = 0; round < 2; ++round) {
            QCOMPARE(lib.NMailPop3GetMail(h, 2, f, body), 0);
            QCOMPARE(body, QStringLiteral(".dotted\r"));
        }
        QCOMPARE(lib.NMailPop3Close(h), 0);
    }

    void bodyLargerThanListedIsFetchedAgain() {
        // Messages fetched ahead are limited by their listed size; a server that sends far more
        // than it listed gets the message asked for again, without that limit.
        Record record;
        Record* transport = &record;
        setPop3TransportFactory([&] {
            auto t = std::make_unique<OneByteTransport>(3, 10, int(kPop3BodyReadAheadSlackBytes) + 5000);
            t->record = &record;
            return t;
        });
        MailLibrary& lib = nmail();
        const int h = lib.NMailPop3Connect(QStringLiteral("memory"));
        QCOMPARE(lib.NMailPop3Authenticate(h, QStringLiteral("u"), QStringLiteral("p"), 0), 3);
        for (int n = 1; n <= 3; ++n) {
            MailFields f;
            QString body;
            QCOMPARE(lib.NMailPop3GetMailSize(h, n), qint64(10));
            QCOMPARE(lib.NMailPop3GetMail(h, n, f, body), 0);
            QCOMPARE(f.subject, QStringLiteral("mail %1").arg(n));
            QCOMPARE(body, QStringLiteral(".dotted\r\nb")); // fitted to the listed 10 bytes
        }
        QCOMPARE(lib.NMailPop3Close(h), 0);
        QCOMPARE(transport->sent.count("RETR 1\r\n"), 1);
        QCOMPARE(transport->sent.count("RETR 2\r\n"), 2);
        QCOMPARE(transport->sent.count("RETR 3\r\n"), 2);
    }

    void cutToCodePageBytes_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("max");
        QTest::addColumn<QString>("expected");
        QTest::newRow("fits") << "abc" << 3 << "abc";
        QTest::newRow("ascii") << "abcdef" << 4 << "abcd";
        QTest::newRow("kana whole") << "あいう" << 4 << "あい";
        QTest::newRow("kana not split") << "あいう" << 5 << "あい";
        QTest::newRow("mixed") << "aあb" << 3 << "aあ";
        QTest::newRow("half-width kana is one byte") << "ｱｲｳｴ" << 3 << "ｱｲｳ";
        QTest::newRow("zero") << "abc" << 0 << "";
        QTest::newRow("surrogate pair kept whole") << QString::fromUtf8("a\xF0\x9F\x98\x80"
                                                                        "b")
                                                   << 2 << "a";
    }
    void cutToCodePageBytes() {
        QFETCH(QString, text);
        QFETCH(int, max);
        QFETCH(QString, expected);
        QCOMPARE(cutToCp932Bytes(text, max), expected);
    }
};

QTEST_GUILESS_MAIN(TestPop3Stream)
#include "tst_pop3_stream.moc"
