// Server text made fit to show: escapes and controls out, the password masked as a word and in our
// own echoed command, the length capped; and the mail library handing out nothing else.
#include "mailcheck/NMail.h"
#include "mailcheck/ServerText.h"
#include "tools/fakepop3/FakePop3Server.h"

#include <QTest>

using namespace brindle;

class ServerTextTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void sanitize_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("shown");
        const QString a150(150, u'a');
        const auto row = [](const char* name, const QString& text, const QString& password,
                            const QString& shown) { QTest::newRow(name) << text << password << shown; };
        row("CSI colour and cursor", u"\033[1;31mred\033[0m \033[?25lok"_qs, {}, u"red ok"_qs);
        row("OSC to BEL and to ST", u"a\033]0;title\007b\033]8;;http://x\033\\c"_qs, {}, u"abc"_qs);
        row("unterminated OSC", u"ok\033]0;everything after"_qs, {}, u"ok"_qs);
        row("other escapes, ESC last", u"a\033(Bb\033cc\033 Fd\033"_qs, {}, u"abcd"_qs);
        row("8-bit CSI, OSC, DCS", u"a\u009b2Jb\u009d0;t\u009cc\u0090q\033\\d"_qs, {}, u"abcd"_qs);
        row("C0, C1, DEL", u"a\u0000b\u007fc\u0080d\be\u0007f"_qs, {}, u"abcdef"_qs);
        row("breaks become one blank", u" one\r\ntwo\tthree\u2028four\r\n"_qs, {}, u"one two three four"_qs);
        row("bidi controls", u"\u202Eexe.txt\u202C \u2066x\u2069\u200F\u061C"_qs, {}, u"exe.txt x"_qs);
        row("Japanese kept", u"【重要】パスワードが違います"_qs, {}, u"【重要】パスワードが違います"_qs);
        row("160 kept", QString(160, u'x'), {}, QString(160, u'x'));
        row("161 cut", QString(161, u'x'), {}, QString(159, u'x') + u'…');
        row("cut whole characters", QString(170, u'x').replace(u"x"_qs, u"😀"_qs), {},
            QString(159, u'x').replace(u"x"_qs, u"😀"_qs) + u'…');
        row("inside a word: kept", u"password pass wrong"_qs, u"pass"_qs, u"password *** wrong"_qs);
        row("digits join a word", u"pass1 is not pass"_qs, u"pass"_qs, u"pass1 is not ***"_qs);
        row("accented letters join", u"passé pass"_qs, u"pass"_qs, u"passé ***"_qs);
        row("beside punctuation", u"(pass),'pass'"_qs, u"pass"_qs, u"(***),'***'"_qs);
        row("beside Japanese", u"パスワードpassは違います"_qs, u"pass"_qs, u"パスワード***は違います"_qs);
        row("Japanese in Japanese", u"ひみつの鍵"_qs, u"ひみつ"_qs, u"***の鍵"_qs);
        row("blanks in the password", u"no  lead here"_qs, u" lead"_qs, u"no *** here"_qs);
        row("echo whole", u"bad command PASS pass!"_qs, u"pass"_qs, u"bad command PASS ***!"_qs);
        row("echo cut by the server", u"line: PASS hunt"_qs, u"hunter22"_qs, u"line: PASS ***"_qs);
        row("echo changed", u"PASS hunterXY ok"_qs, u"hunter22"_qs, u"PASS *** ok"_qs);
        row("joined to an escape", u"pa\033[0mss"_qs, u"pass"_qs, u"***"_qs);
        row("masked before the cut", a150 + u" hunter22 more"_qs, u"hunter22"_qs, a150 + u" *** more"_qs);
    }
    void sanitize() {
        QFETCH(QString, text);
        QFETCH(QString, password);
        QFETCH(QString, shown);
        QCOMPARE(sanitizeServerText(text, password), shown);
    }

    // What the server says to a refused login comes out of the library only sanitized.
    void libraryHandsOutSanitizedText() {
        fake::FakePop3Options o;
        o.script = {
            {"", "+OK ready\r\n"},
            {"CAPA", "-ERR unknown command\r\n"},
            {"USER user", "+OK\r\n"},
            {"PASS pass", "-ERR \xc2\x9b\x33\x31mbad\xe2\x80\xae PASS pass " + QByteArray(300, 'x') + "\r\n"},
            {"QUIT", "+OK bye\r\n"}};
        fake::FakePop3Server server(o);
        QVERIFY(server.start());
        NMailLibrary lib;
        const int h = lib.NMailPop3Connect(server.address());
        QVERIFY(lib.NMailPop3Authenticate(h, u"user"_qs, u"pass"_qs, 0) < 0);
        const QString detail = u"bad PASS *** "_qs + QString(146, u'x') + u'…';
        QCOMPARE(lib.NMailGetError().detail, detail);
        QCOMPARE(lib.NMailGetMessage(), u"ログインできませんでした（%1）"_qs.arg(detail));
        lib.NMailPop3Close(h);
    }
};

QTEST_GUILESS_MAIN(ServerTextTest)
#include "tst_servertext.moc"
