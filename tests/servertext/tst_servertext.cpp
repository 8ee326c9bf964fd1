// Server text fit to show (no controls, password masked, length capped), the only text handed out.
#include "mailcheck/NMail.h"
#include "mailcheck/ServerText.h"
#include "support/RunTask.h"
#include "tools/fakepop3/FakePop3Server.h"
#include "ui/texts/CheckTexts.h"

#include <QTest>

using brindle::testing::runTask;
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
        // Three letters are masked as whole words only: they are often part of the server's words.
        row("short: inside a word kept", u"pasta pas wrong"_qs, u"pas"_qs, u"pasta *** wrong"_qs);
        row("short: digits join a word", u"pas1 is not pas"_qs, u"pas"_qs, u"pas1 is not ***"_qs);
        row("short: accented letters join", u"pasé pas"_qs, u"pas"_qs, u"pasé ***"_qs);
        row("short: other case kept", u"ABC abc"_qs, u"abc"_qs, u"ABC ***"_qs);
        row("beside punctuation", u"(pas),'pas'"_qs, u"pas"_qs, u"(***),'***'"_qs);
        row("beside Japanese", u"パスワードpasは違います"_qs, u"pas"_qs, u"パスワード***は違います"_qs);
        row("Japanese in Japanese", u"ひみつの鍵"_qs, u"ひみつ"_qs, u"***の鍵"_qs);
        // Four or more: anywhere, in any case and in the encodings a server or a URL may quote.
        row("glued inside a word", u"xhunter22y"_qs, u"hunter22"_qs, u"x***y"_qs);
        row("other letter case", u"HunTer22 is wrong"_qs, u"hunter22"_qs, u"*** is wrong"_qs);
        row("base64, padded", u"AUTH aHVudGVyMjI= failed"_qs, u"hunter22"_qs, u"AUTH *** failed"_qs);
        row("base64, unpadded", u"got aHVudGVyMjI."_qs, u"hunter22"_qs, u"got ***."_qs);
        row("base64 inside longer runs", u"eGh1bnRlcjIyIQ== eHlodW50ZXIyMiE= eHl6aHVudGVyMjIhIQ=="_qs,
            u"hunter22"_qs, u"eG***IQ== eHl***iE= eHl6***hIQ=="_qs);
        row("base64 of code page 932", u"gtCC3YLCgr6C5g=="_qs, u"ひみつだよ"_qs, u"***"_qs);
        row("percent, every byte", u"%68%75%6E%74%65%72%32%32 %68%75%6e%74%65%72%32%32"_qs, u"hunter22"_qs,
            u"*** ***"_qs);
        row("percent, reserved only", u"url p%40ss%3Aw0rd%2F, p%40ss%3aw0rd%2f"_qs, u"p@ss:w0rd/"_qs,
            u"url ***, ***"_qs);
        row("blanks in the password", u"no  lead here"_qs, u" lead"_qs, u"no *** here"_qs);
        row("echo whole", u"bad command PASS hunter22!"_qs, u"hunter22"_qs, u"bad command PASS ***!"_qs);
        row("echo of the command's own word", u"PASS pass"_qs, u"pass"_qs, u"*** ***"_qs);
        row("echo cut by the server", u"line: PASS hunt"_qs, u"hunter22"_qs, u"line: PASS ***"_qs);
        row("echo changed", u"PASS hunterXY ok"_qs, u"hunter22"_qs, u"PASS *** ok"_qs);
        row("joined to an escape", u"pa\033[0mss"_qs, u"pass"_qs, u"***"_qs);
        row("masked before the cut", a150 + u" hunter22 more"_qs, u"hunter22"_qs, a150 + u" *** more"_qs);
    }
    void sanitize() {
        QFETCH(QString, text);
        QFETCH(QString, password);
        QFETCH(QString, shown);
        QCOMPARE(sanitizeServerText(text, password, kMaxServerTextChars, u"user"_qs), shown);
    }

    // A refused login's server text leaves the library only sanitized.
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
        const int h = runTask(lib.NMailPop3Connect(server.address()));
        QVERIFY(runTask(lib.NMailPop3Authenticate(h, u"user"_qs, u"pass"_qs, 0)) < 0);
        const QString detail = u"bad *** *** "_qs + QString(147, u'x') + u'…';
        QCOMPARE(lib.NMailGetError().detail, detail);
        QCOMPARE(failureSentence(lib.NMailGetError()), u"ログインできませんでした（%1）"_qs.arg(detail));
        runTask(lib.NMailPop3Close(h));
    }
};

QTEST_GUILESS_MAIN(ServerTextTest)
#include "tst_servertext.moc"
