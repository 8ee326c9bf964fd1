// The reply reader on its own: byte-exact results however the stream is cut.
#include "mailcheck/pop3/Pop3Reply.h"
#include "mailcheck/pop3/Pop3Session.h"

#include <QTest>

using namespace brindle;

namespace {

using Expect = std::pair<bool, qsizetype>; // multi-line, byte limit

// Every reply of stream fed cut at the positions; a malformed one sets *malformed and ends there.
QList<Pop3Reply> readAll(const QByteArray& stream, const QList<Expect>& expects, const QList<qsizetype>& cuts,
                         bool* malformed = nullptr) {
    Pop3ReplyParser p;
    QList<Pop3Reply> out;
    QByteArray buffer;
    qsizetype from = 0;
    int next = 0;
    for (qsizetype to : cuts + QList<qsizetype>{stream.size()}) {
        buffer.append(stream.mid(from, to - from));
        from = to;
        while (next < expects.size()) {
            if (p.idle())
                p.expect(expects[next].first, expects[next].second);
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
                for (int i = 0; i < cut.size(); ++i)
                    QCOMPARE(std::tie(cut[i].ok, cut[i].text, cut[i].body),
                             std::tie(whole[i].ok, whole[i].text, whole[i].body));
            }
        }
    }

    void oversizedDataStaysInStep() {
        // A data line over the limit (by one byte, its CR, however the limit falls among the bytes
        // read together) and a reply over its byte limit are dropped, yet the next reply is read
        // correctly.
        const QByteArray longLine(kPop3MaxLineBytes, 'a');
        const QByteArray stream =
            "+OK\r\n" + longLine + "\r\nshort\r\n.\r\n+OK\r\n0123456789\r\n0123456789\r\n.\r\n+OK done\r\n";
        for (qsizetype cut : {qsizetype(0), qsizetype(3), qsizetype(100), kPop3MaxLineBytes + 2}) {
            const auto r = readAll(stream, {{true, kPop3MaxMessageBytes}, {true, 15}, {false, 0}}, {cut});
            QCOMPARE(r.size(), 3);
            QVERIFY(r[0].tooLarge && r[1].tooLarge && r[1].body.isEmpty());
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
        QVERIFY(readAll(stream, {{false, 0}}, {}, &malformed).isEmpty() && malformed);
    }

    void serverAddress() {
        using P = Pop3AddressError::Problem;
        // The text; the host (empty: refused), the port (the Problem when refused), TLS from the start.
        const std::tuple<const char*, const char*, int, bool> rows[] = {
            {"pop.example.jp", "pop.example.jp", 110, false},
            {"pop.example.jp:1110", "pop.example.jp", 1110, false},
            {"pop.example.jp:995", "pop.example.jp", 995, true},
            {"[::1]", "::1", 110, false},
            {"fe80::1", "fe80::1", 110, false},
            {"POP3://mail.example.jp:2110/", "mail.example.jp", 2110, false},
            {"pop3s://mail.example.jp", "mail.example.jp", 995, true},
            {"pop3s://[::1]:1995", "::1", 1995, true},
            {"", "", int(P::Missing), false},
            {"host:0", "", int(P::BadPort), false},
            {"host:pop", "", int(P::BadPort), false},
            {"imap://host", "", int(P::BadForm), false},
            {"pop example", "", int(P::BadHost), false},
            {"[::1]x", "", int(P::BadForm), false},
        };
        for (const auto& [text, host, port, tls] : rows) {
            Pop3AddressError error;
            const auto a = parsePop3Address(QString::fromLatin1(text), &error);
            QVERIFY2(bool(a) == (*host != 0), text);
            if (!a) {
                QCOMPARE(int(error.problem), port);
                continue;
            }
            QCOMPARE(a->host, QString::fromLatin1(host));
            QCOMPARE(int(a->port), port);
            QCOMPARE(a->implicitTls, tls);
        }
    }
};

QTEST_GUILESS_MAIN(TestPop3Reply)
#include "tst_pop3_reply.moc"
