// The reply reader on its own: byte-exact results however the stream is cut.
#include "mailcheck/pop3/Pop3Reply.h"
#include "mailcheck/pop3/Pop3Session.h"

#include <QTest>

using namespace brindle;

namespace {

struct Expect {
    bool multiLine;
    qsizetype limit;
};

// Feeds stream in pieces cut at the given positions and collects every reply.
QList<Pop3Reply> readAll(const QByteArray& stream, const QList<Expect>& expects, const QList<qsizetype>& cuts,
                         bool* malformed = nullptr) {
    Pop3ReplyParser p;
    QList<Pop3Reply> out;
    QByteArray buffer;
    qsizetype from = 0;
    int next = 0;
    if (malformed)
        *malformed = false;
    QList<qsizetype> points = cuts;
    points.append(stream.size());
    for (qsizetype to : points) {
        buffer.append(stream.mid(from, to - from));
        from = to;
        while (next < expects.size()) {
            if (p.idle())
                p.expect(expects[next].multiLine, expects[next].limit);
            auto r = p.feed(buffer);
            if (r == Pop3ReplyParser::Result::NeedMore)
                break;
            if (r == Pop3ReplyParser::Result::Malformed) {
                if (malformed)
                    *malformed = true;
                return out;
            }
            out.append(p.take());
            ++next;
        }
    }
    return out;
}

} // namespace

class TestPop3Reply : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void splitAtEveryByte() {
        const QByteArray stream = "+OK 2 messages\r\n"
                                  "+OK capability list\r\nTOP\r\nPIPELINING\r\n.\r\n"
                                  "-ERR no such message\r\n"
                                  "+OK\r\nSubject: a\r\n..hidden dot\r\n\r\nbody\r\n.\r\n"
                                  "+OK bare LF\n.\n";
        const QList<Expect> ex = {{false, 0}, {true, 1000}, {true, 1000}, {true, 1000}, {true, 1000}};
        const QList<Pop3Reply> whole = readAll(stream, ex, {});
        QCOMPARE(whole.size(), 5);
        QCOMPARE(whole[0].text, QByteArray("2 messages"));
        QCOMPARE(whole[1].body, QByteArray("TOP\r\nPIPELINING\r\n"));
        QVERIFY(!whole[2].ok);
        QCOMPARE(whole[2].text, QByteArray("no such message"));
        QCOMPARE(whole[3].body, QByteArray("Subject: a\r\n.hidden dot\r\n\r\nbody\r\n"));
        QCOMPARE(whole[4].body, QByteArray());
        for (qsizetype a = 0; a <= stream.size(); ++a) {
            for (qsizetype b = a; b <= stream.size(); b += 7) {
                const QList<Pop3Reply> cut = readAll(stream, ex, {a, b});
                QCOMPARE(cut.size(), whole.size());
                for (int i = 0; i < cut.size(); ++i) {
                    QCOMPARE(cut[i].ok, whole[i].ok);
                    QCOMPARE(cut[i].text, whole[i].text);
                    QCOMPARE(cut[i].body, whole[i].body);
                }
            }
        }
    }

    void oversizedDataStaysInStep() {
        // A data line over the limit and a reply over its byte limit are dropped, yet the next
        // reply is read correctly.
        const QByteArray longLine(kPop3MaxLineBytes + 10, 'a');
        const QByteArray stream =
            "+OK\r\n" + longLine + "\r\nshort\r\n.\r\n+OK\r\n0123456789\r\n0123456789\r\n.\r\n+OK done\r\n";
        for (qsizetype cut : {qsizetype(0), qsizetype(3), qsizetype(100), kPop3MaxLineBytes + 2}) {
            const auto r = readAll(stream, {{true, 1000}, {true, 15}, {false, 0}}, {cut});
            QCOMPARE(r.size(), 3);
            QVERIFY(r[0].tooLarge);
            QVERIFY(r[1].tooLarge);
            QVERIFY(r[1].body.isEmpty());
            QCOMPARE(r[2].text, QByteArray("done"));
        }
    }

    void malformedStatus_data() {
        QTest::addColumn<QByteArray>("stream");
        QTest::newRow("garbage") << QByteArray("hello there\r\n");
        QTest::newRow("OK without sign") << QByteArray("OK\r\n");
        QTest::newRow("glued") << QByteArray("+OKAY\r\n");
        QTest::newRow("empty line") << QByteArray("\r\n");
        QTest::newRow("endless status") << QByteArray("+OK ") + QByteArray(kPop3MaxLineBytes + 1, 'x');
    }
    void malformedStatus() {
        QFETCH(QByteArray, stream);
        bool malformed = false;
        const auto r = readAll(stream, {{false, 0}}, {}, &malformed);
        QVERIFY(malformed);
        QVERIFY(r.isEmpty());
    }

    void apopDigestRfcExample() {
        QCOMPARE(apopDigest("<1896.697170952@dbc.mtview.ca.us>", "tanstaaf"),
                 QByteArray("c4c9334bac560ecc979e58001b3e22fb"));
        QCOMPARE(apopTimestampOf("POP3 server ready <1896.697170952@dbc.mtview.ca.us>"),
                 QByteArray("<1896.697170952@dbc.mtview.ca.us>"));
        QCOMPARE(apopTimestampOf("ready <no-at-sign>"), QByteArray());
        QCOMPARE(apopTimestampOf("ready <a b@c>"), QByteArray());
        QCOMPARE(apopTimestampOf("ready"), QByteArray());
    }

    void serverAddress_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<bool>("tls");
        QTest::newRow("name") << "pop.example.jp" << true << "pop.example.jp" << 110 << false;
        QTest::newRow("blanks") << "  pop.example.jp  " << true << "pop.example.jp" << 110 << false;
        QTest::newRow("port") << "pop.example.jp:1110" << true << "pop.example.jp" << 1110 << false;
        QTest::newRow("995 is TLS") << "pop.example.jp:995" << true << "pop.example.jp" << 995 << true;
        QTest::newRow("v6") << "[::1]" << true << "::1" << 110 << false;
        QTest::newRow("v6 port") << "[::1]:2110" << true << "::1" << 2110 << false;
        QTest::newRow("v6 bare") << "fe80::1" << true << "fe80::1" << 110 << false;
        QTest::newRow("pop3 url") << "pop3://mail.example.jp" << true << "mail.example.jp" << 110 << false;
        QTest::newRow("pop3 url port")
            << "POP3://mail.example.jp:2110/" << true << "mail.example.jp" << 2110 << false;
        QTest::newRow("pop3s url") << "pop3s://mail.example.jp" << true << "mail.example.jp" << 995 << true;
        QTest::newRow("pop3s port") << "pop3s://[::1]:1995" << true << "::1" << 1995 << true;
        QTest::newRow("empty") << "" << false << "" << 0 << false;
        QTest::newRow("port 0") << "host:0" << false << "" << 0 << false;
        QTest::newRow("port big") << "host:70000" << false << "" << 0 << false;
        QTest::newRow("port text") << "host:pop" << false << "" << 0 << false;
        QTest::newRow("other scheme") << "imap://host" << false << "" << 0 << false;
        QTest::newRow("space") << "pop example" << false << "" << 0 << false;
        QTest::newRow("open bracket") << "[::1" << false << "" << 0 << false;
        QTest::newRow("junk after bracket") << "[::1]x" << false << "" << 0 << false;
    }
    void serverAddress() {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QString error;
        const auto a = parsePop3Address(text, &error);
        QCOMPARE(bool(a), valid);
        if (!valid) {
            QVERIFY(!error.isEmpty());
            return;
        }
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(bool, tls);
        QCOMPARE(a->host, host);
        QCOMPARE(int(a->port), port);
        QCOMPARE(a->implicitTls, tls);
    }
};

QTEST_GUILESS_MAIN(TestPop3Reply)
#include "tst_pop3_reply.moc"
