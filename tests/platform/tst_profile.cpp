#include "platform/Profile.h"
#include "support/FileSizeLimit.h"
#include "support/Rows.h"
#include "support/TestFiles.h"

#include <optional>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <unistd.h>

using namespace brindle;
using brindle::test::indexRows;
using brindle::testing::readFile;
using brindle::testing::writeFile;

namespace {

const QString kSection = u"EXEINI"_qs;

QByteArray ex(const QByteArray& lines) {
    return "[EXEINI]\r\n" + lines;
}

const QString kUnset = u"未設定"_qs;
// The file; the value of NAME and its count.
const std::tuple<const char*, QByteArray, QString, int> kReads[]{
    {"section and key case", "[exeini]\r\nnAmE=abc\r\n", u"abc"_qs, 3},
    {"blanks trimmed", "[ EXEINI ]\r\n  NAME \t= \t abc \t\r\n", u"abc"_qs, 3},
    {"empty quotes", ex("NAME=\"\"\r\n"), kUnset, 0},
    {"after other section", ex("A=1\r\n[OTHER]\r\nNAME=x\r\n"), kUnset, 0},
    {"before any section", "NAME=x\r\n[EXEINI]\r\n", kUnset, 0},
    {"key prefix is not the key", ex("NAME2=x\r\nNAME=y\r\n"), u"y"_qs, 1},
    {"first duplicate wins", ex("NAME=a\r\nNAME=b\r\n"), u"a"_qs, 1},
    {"LF only", "[EXEINI]\nA=1\nNAME=lf\n", u"lf"_qs, 2},
    {"no final line end", ex("NAME=end"), u"end"_qs, 3},
    {"code page 932", ex("NAME=\x82\xa0\x82\xa2\r\n"), u"あい"_qs, 4},
    {"broken multibyte value", ex("NAME=\x82\r\nNAME2=ok\r\n"), u"\uFFFD"_qs, 1},
    {"broken multibyte before key", ex("NAME2=\x82\r\nNAME=ok\r\n"), u"ok"_qs, 2},
    {"garbage lines around",
     QByteArray("\xff\xfe") + QByteArray(1, '\0') + "junk\r\n[EXEINI]\r\n\x81\r\n=\r\n[\r\nNAME=g\r\n",
     u"g"_qs, 1},
    {"255-byte cut", ex("NAME=" + QByteArray(300, 'a')), QString(255, u'a'), 255},
    {"cut never splits a character", ex("NAME=" + QByteArray(254, 'a') + "\x82\xa0"), QString(254, u'a'),
     254},
    {"10000-byte line before", ex("NAME2=" + QByteArray(10000, 'x') + "\r\nNAME=after\r\n"), u"after"_qs, 5},
};

// The text of NUMBER ("-" for no such line) and the value read.
const std::tuple<const char*, QByteArray, int> kInts[]{
    {"fraction reads its whole part", "1.5", 1},
    {"not a number", "GetPPSErr", 0},
    {"quoted", "\"6\"", 6},
    {"empty value takes the default", "", -7},
    {"missing takes the default", "-", -7},
    {"too large", "99999999999999999999", std::numeric_limits<int>::max()},
    {"too small", "-99999999999999999999", std::numeric_limits<int>::min()},
};

// The file before (empty for none), the value written to NAME, the file after.
const std::tuple<const char*, QByteArray, QString, QByteArray> kWrites[]{
    {"creates file and section", {}, u"x"_qs, ex("NAME=x\r\n")},
    {"replaces the value only",
     "; note\r\n[EXEINI]\r\nNAME=old\r\nNAME2=keep\r\n\r\n[OTHER]\r\nNAME=other\r\n", u"new"_qs,
     "; note\r\n[EXEINI]\r\nNAME=new\r\nNAME2=keep\r\n\r\n[OTHER]\r\nNAME=other\r\n"},
    {"adds the key inside its section", ex("NAME2=a\r\n\r\n[OTHER]\r\nX=1\r\n"), u"b"_qs,
     ex("NAME2=a\r\nNAME=b\r\n\r\n[OTHER]\r\nX=1\r\n")},
    {"adds the section after others", "[OTHER]\r\nX=1", u"v"_qs, "[OTHER]\r\nX=1\r\n" + ex("NAME=v\r\n")},
    {"LF file becomes CR LF", "[EXEINI]\nA=1\nNAME=a\n", u"b"_qs, ex("A=1\r\nNAME=b\r\n")},
    {"empty value", ex("NAME=1\r\n"), {}, ex("NAME=\r\n")},
    {"code page 932", {}, u"未設定"_qs, ex("NAME=\x96\xa2\x90\xdd\x92\xe8\r\n")},
    {"line break in value", ex("NAME2=k\r\n"), u"a\r\nNAME2=evil"_qs,
     ex("NAME2=k\r\nNAME=a  NAME2=evil\r\n")},
    {"separators in value", {}, u"p=w;#[x]"_qs, ex("NAME=p=w;#[x]\r\n")},
    // What a read would change goes inside one more pair of quotes; anything else stays bare.
    {"blank before", {}, u" lead"_qs, ex("NAME=\" lead\"\r\n")},
    {"tab after", {}, u"trail\t"_qs, ex("NAME=\"trail\t\"\r\n")},
    {"blanks only", {}, u"  "_qs, ex("NAME=\"  \"\r\n")},
    {"double-quoted", {}, u"\"q\""_qs, ex("NAME=\"\"q\"\"\r\n")},
    {"single-quoted", {}, u"'q'"_qs, ex("NAME=\"'q'\"\r\n")},
    {"line break last", {}, u"a\r\n"_qs, ex("NAME=\"a  \"\r\n")},
    {"quotes not a pair", {}, u"\"a'"_qs, ex("NAME=\"a'\r\n")},
    {"quote inside", {}, u"a\"b"_qs, ex("NAME=a\"b\r\n")},
    {"lone quote", {}, u"\""_qs, ex("NAME=\"\r\n")},
};

} // namespace

class TestProfile : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_ini;

private Q_SLOTS:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_ini = m_dir->filePath(u"ini.ini"_qs);
    }

    void readString_data() { indexRows(kReads); }
    void readString() {
        QFETCH(int, row);
        const auto& [name, file, value, count] = kReads[row];
        QVERIFY(writeFile(m_ini, file));
        const ProfileString r = getProfileString(kSection, u"NAME"_qs, u"未設定"_qs, m_ini);
        QCOMPARE(r.value, value);
        QCOMPARE(r.count, count);
    }

    void readInt_data() { indexRows(kInts); }
    void readInt() {
        QFETCH(int, row);
        const auto& [name, text, value] = kInts[row];
        QVERIFY(writeFile(m_ini, ex(text == "-" ? "OTHER=1\r\n" : "NUMBER=" + text + "\r\n")));
        QCOMPARE(getProfileInt(kSection, u"NUMBER"_qs, -7, m_ini), value);
    }

    void write_data() { indexRows(kWrites); }
    void write() {
        QFETCH(int, row);
        const auto& [name, before, written, after] = kWrites[row];
        if (!before.isEmpty())
            QVERIFY(writeFile(m_ini, before));
        QVERIFY(writeProfileString(kSection, u"NAME"_qs, written, m_ini));
        QCOMPARE(readFile(m_ini), after);
        QCOMPARE(getProfileString(kSection, u"NAME"_qs, {}, m_ini).value,
                 QString(written).replace(u"\r\n"_qs, u"  "_qs));
    }

    // What code page 932 lacks is never written as "?": the write fails and the file stays.
    void writeRefusesWhatCodePage932Lacks_data() {
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        for (const QString& c : {u"é"_qs, u"😀"_qs, u"한"_qs, u"\u00a0"_qs, u"〜"_qs, u"\ufffd"_qs})
            QTest::newRow(
                qPrintable(u"value U+%1"_qs.arg(QStringView(c).toUcs4().front(), 4, 16, QChar(u'0'))))
                << kSection << u"NAME"_qs << u"/home/u/a"_qs + c + u"/m"_qs;
        QTest::newRow("key") << kSection << u"NAMÉ"_qs << u"v"_qs;
        QTest::newRow("section") << u"pop.例え.한"_qs << u"NAME"_qs << u"v"_qs;
    }
    void writeRefusesWhatCodePage932Lacks() {
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QString, value);
        const QByteArray before = ex("NAME=old\r\n");
        QVERIFY(writeFile(m_ini, before));
        QVERIFY(!writeProfileStrings(section, {{u"NAME2"_qs, u"ok"_qs}, {key, value}}, m_ini));
        QCOMPARE(readFile(m_ini), before);
    }

    void writeKeepsLongValuesAndGarbageLines() {
        QRandomGenerator rng(255);
        QByteArray junk(10000, Qt::Uninitialized);
        for (char& b : junk)
            b = static_cast<char>(rng.bounded(256));
        junk.replace('[', '(').replace('\r', 'r').replace('\n', 'n');
        QVERIFY(writeFile(m_ini, ex("NAME2=kept\r\n" + junk + "\r\n")));
        QVERIFY(writeProfileString(kSection, u"NAME"_qs, QString(10000, u'z'), m_ini));
        // The stored value is whole even though a read sees only its start.
        QCOMPARE(getProfileString(kSection, u"NAME"_qs, {}, m_ini).value, QString(255, u'z'));
        QCOMPARE(getProfileString(kSection, u"NAME2"_qs, {}, m_ini).value, u"kept"_qs);
        QVERIFY(readFile(m_ini).contains(junk) && readFile(m_ini).contains(QByteArray(10000, 'z')));
    }

    void failedWriteKeepsFile_data() {
        QTest::addColumn<QString>("fault");
        for (const char* fault :
             {"missing folder", "directory", "oversize", "full disk", "read-only file", "read-only folder"})
            QTest::newRow(fault) << QString::fromLatin1(fault);
    }
    void failedWriteKeepsFile() {
        QFETCH(QString, fault);
        if (fault.startsWith(u"read-only") && ::geteuid() == 0)
            QSKIP("permissions do not bind root; the full disk covers the failure path");
        QByteArray before = ex("NAME=old\r\nNAME2=two\r\n");
        QString path = m_ini;
        if (fault == u"missing folder") {
            path = m_dir->filePath(u"★MailData/ini.ini"_qs);
            // Reading a missing file, or one in a missing folder, gives the default and makes nothing.
            QCOMPARE(getProfileInt(kSection, u"NUMBER"_qs, 9, m_ini), 9);
            QCOMPARE(getProfileString(kSection, u"NAME"_qs, u"d"_qs, path).count, 0);
        } else if (fault == u"directory") {
            QVERIFY(QDir(m_dir->path()).mkdir(u"ini.ini"_qs));
        } else {
            if (fault == u"oversize")
                before += QByteArray(kMaxProfileFileBytes, ';');
            QVERIFY(writeFile(m_ini, before));
        }
        if (fault == u"oversize") // unread, so that no value from a file too large is trusted
            QCOMPARE(getProfileString(kSection, u"NAME"_qs, u"d"_qs, m_ini).value, u"d"_qs);
        if (fault == u"read-only file")
            QFile::setPermissions(m_ini, QFileDevice::ReadOwner);
        if (fault == u"read-only folder")
            QFile::setPermissions(m_dir->path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        bool written = true;
        {
            std::optional<brindle::testing::FileSizeLimit> limit;
            if (fault == u"full disk") {
                limit.emplace(static_cast<rlim_t>(before.size() + 10));
                QVERIFY(limit->active());
            }
            written = writeProfileString(kSection, u"NAME"_qs, QString(100, u'n'), path);
        }
        QFile::setPermissions(m_dir->path(),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QFile::setPermissions(m_ini, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        QVERIFY(!written);
        if (fault == u"missing folder") {
            QVERIFY(!QDir(m_dir->filePath(u"★MailData"_qs)).exists() && !QFile::exists(m_ini));
        } else if (fault == u"directory") {
            QVERIFY(QFileInfo(m_ini).isDir());
        } else {
            QCOMPARE(readFile(m_ini), before);
            QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), QStringList{u"ini.ini"_qs}); // no stray temp
        }
    }

    // Without permissions asked for, a rewrite keeps the file's own (narrowing: tst_settingsstore).
    void rewriteKeepsPermissions() {
        QVERIFY(writeFile(m_ini, ex("NAME=a\r\n")));
        const auto mode = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther;
        QVERIFY(QFile::setPermissions(m_ini, mode));
        QVERIFY(writeProfileString(kSection, u"NAME"_qs, u"d"_qs, m_ini));
        QCOMPARE(QFile::permissions(m_ini) & ~(QFileDevice::ReadUser | QFileDevice::WriteUser), mode);
    }
};

QTEST_GUILESS_MAIN(TestProfile)
#include "tst_profile.moc"
