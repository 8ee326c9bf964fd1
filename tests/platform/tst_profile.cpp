#include "platform/Profile.h"
#include "support/FileSizeLimit.h"
#include "support/TestFiles.h"

#include <optional>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <unistd.h>

using namespace brindle;
using brindle::testing::readFile;
using brindle::testing::writeFile;

namespace {

const QString kSection = u"EXEINI"_qs;

} // namespace

class TestProfile : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void readString_data();
    void readString();
    void readInt_data();
    void readInt();
    void write_data();
    void write();
    void writeRoundTripsLongAndOddValues();
    void writeKeepsGarbageLines();
    void failedWriteKeepsFile_data();
    void failedWriteKeepsFile();
    void permissionsAreSetBeforeTheFileAppears();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_ini;
};

void TestProfile::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_ini = m_dir->filePath(u"ini.ini"_qs);
}

void TestProfile::readString_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("count");
    const QString def = u"未設定"_qs;
    QTest::newRow("plain") << QByteArray("[EXEINI]\r\nNAME=abc\r\n") << u"NAME"_qs << u"abc"_qs << 3;
    QTest::newRow("section and key case")
        << QByteArray("[exeini]\r\nnAmE=abc\r\n") << u"NAME"_qs << u"abc"_qs << 3;
    QTest::newRow("blanks trimmed") << QByteArray("[ EXEINI ]\r\n  NAME \t= \t abc \t\r\n") << u"NAME"_qs
                                    << u"abc"_qs << 3;
    QTest::newRow("blanks inside kept")
        << QByteArray("[EXEINI]\r\nNAME=a  b\r\n") << u"NAME"_qs << u"a  b"_qs << 4;
    QTest::newRow("double quotes") << QByteArray("[EXEINI]\r\nNAME=\" abc \"\r\n") << u"NAME"_qs
                                   << u" abc "_qs << 5;
    QTest::newRow("single quotes") << QByteArray("[EXEINI]\r\nNAME='x'\r\n") << u"NAME"_qs << u"x"_qs << 1;
    QTest::newRow("one pair only") << QByteArray("[EXEINI]\r\nNAME=\"\"x\"\"\r\n") << u"NAME"_qs
                                   << u"\"x\""_qs << 3;
    QTest::newRow("unbalanced quote")
        << QByteArray("[EXEINI]\r\nNAME=\"abc\r\n") << u"NAME"_qs << u"\"abc"_qs << 4;
    QTest::newRow("mixed quotes kept")
        << QByteArray("[EXEINI]\r\nNAME=\"abc'\r\n") << u"NAME"_qs << u"\"abc'"_qs << 5;
    QTest::newRow("empty quotes") << QByteArray("[EXEINI]\r\nNAME=\"\"\r\n") << u"NAME"_qs << def << 0;
    QTest::newRow("empty value") << QByteArray("[EXEINI]\r\nNAME=\r\n") << u"NAME"_qs << def << 0;
    QTest::newRow("blank value") << QByteArray("[EXEINI]\r\nNAME=   \r\n") << u"NAME"_qs << def << 0;
    QTest::newRow("missing key") << QByteArray("[EXEINI]\r\nNAME2=x\r\n") << u"NAME"_qs << def << 0;
    QTest::newRow("other section") << QByteArray("[OTHER]\r\nNAME=x\r\n") << u"NAME"_qs << def << 0;
    QTest::newRow("after other section")
        << QByteArray("[EXEINI]\r\nA=1\r\n[OTHER]\r\nNAME=x\r\n") << u"NAME"_qs << def << 0;
    QTest::newRow("before any section") << QByteArray("NAME=x\r\n[EXEINI]\r\n") << u"NAME"_qs << def << 0;
    QTest::newRow("key prefix is not the key")
        << QByteArray("[EXEINI]\r\nNAME2=x\r\nNAME=y\r\n") << u"NAME"_qs << u"y"_qs << 1;
    QTest::newRow("first duplicate wins")
        << QByteArray("[EXEINI]\r\nNAME=a\r\nNAME=b\r\n") << u"NAME"_qs << u"a"_qs << 1;
    QTest::newRow("equals in value") << QByteArray("[EXEINI]\r\nNAME=a=b\r\n") << u"NAME"_qs << u"a=b"_qs
                                     << 3;
    QTest::newRow("LF only") << QByteArray("[EXEINI]\nA=1\nNAME=lf\n") << u"NAME"_qs << u"lf"_qs << 2;
    QTest::newRow("CR only") << QByteArray("[EXEINI]\rA=1\rNAME=cr\r") << u"NAME"_qs << u"cr"_qs << 2;
    QTest::newRow("no final line end") << QByteArray("[EXEINI]\r\nNAME=end") << u"NAME"_qs << u"end"_qs << 3;
    QTest::newRow("code page 932") << QByteArray("[EXEINI]\r\nNAME=\x82\xa0\x82\xa2\r\n") << u"NAME"_qs
                                   << u"あい"_qs << 4;
    QTest::newRow("broken multibyte value")
        << QByteArray("[EXEINI]\r\nNAME=\x82\r\nNAME2=ok\r\n") << u"NAME"_qs << u"\uFFFD"_qs << 1;
    QTest::newRow("broken multibyte before key")
        << QByteArray("[EXEINI]\r\nNAME=\x82\r\nNAME2=ok\r\n") << u"NAME2"_qs << u"ok"_qs << 2;
    QTest::newRow("garbage lines around")
        << QByteArray("\xff\xfe") + QByteArray(1, '\0') + "junk\r\n[EXEINI]\r\n\x81\r\n=\r\n[\r\nNAME=g\r\n"
        << u"NAME"_qs << u"g"_qs << 1;
    QTest::newRow("255-byte cut") << "[EXEINI]\r\nNAME=" + QByteArray(300, 'a') + "\r\n"
                                  << u"NAME"_qs << QString(255, u'a') << 255;
    QTest::newRow("exactly 255") << "[EXEINI]\r\nNAME=" + QByteArray(255, 'b') + "\r\n"
                                 << u"NAME"_qs << QString(255, u'b') << 255;
    QTest::newRow("cut never splits a character")
        << "[EXEINI]\r\nNAME=" + QByteArray(254, 'a') + "\x82\xa0\r\n"
        << u"NAME"_qs << QString(254, u'a') << 254;
    QTest::newRow("cut after whole characters")
        << "[EXEINI]\r\nNAME=" + QByteArray(253, 'a') + "\x82\xa0z\r\n"
        << u"NAME"_qs << QString(253, u'a') + u"あ"_qs << 255;
    QTest::newRow("10000-byte value") << "[EXEINI]\r\nNAME=" + QByteArray(10000, 'x') + "\r\nNAME2=after\r\n"
                                      << u"NAME2"_qs << u"after"_qs << 5;
}

void TestProfile::readString() {
    QFETCH(QByteArray, file);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(int, count);
    QVERIFY(writeFile(m_ini, file));
    const ProfileString r = getProfileString(kSection, key, u"未設定"_qs, m_ini);
    QCOMPARE(r.value, value);
    QCOMPARE(r.count, count);
}

void TestProfile::readInt_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("value");
    QTest::newRow("whole") << QByteArray("NUMBER=5") << 5;
    QTest::newRow("fraction reads its whole part") << QByteArray("NUMBER=1.5") << 1;
    QTest::newRow("negative") << QByteArray("NUMBER=-3") << -3;
    QTest::newRow("plus") << QByteArray("NUMBER=+4") << 4;
    QTest::newRow("trailing text") << QByteArray("NUMBER=12abc") << 12;
    QTest::newRow("not a number") << QByteArray("NUMBER=GetPPSErr") << 0;
    QTest::newRow("blank inside") << QByteArray("NUMBER=1 2") << 1;
    QTest::newRow("blanks around") << QByteArray("NUMBER=  42  ") << 42;
    QTest::newRow("quoted") << QByteArray("NUMBER=\"6\"") << 6;
    QTest::newRow("empty value takes the default") << QByteArray("NUMBER=") << -7;
    QTest::newRow("missing takes the default") << QByteArray("OTHER=1") << -7;
    QTest::newRow("too large") << QByteArray("NUMBER=99999999999999999999")
                               << std::numeric_limits<int>::max();
    QTest::newRow("too small") << QByteArray("NUMBER=-99999999999999999999")
                               << std::numeric_limits<int>::min();
}

void TestProfile::readInt() {
    QFETCH(QByteArray, line);
    QFETCH(int, value);
    QVERIFY(writeFile(m_ini, "[EXEINI]\r\n" + line + "\r\n"));
    QCOMPARE(getProfileInt(kSection, u"NUMBER"_qs, -7, m_ini), value);
}

void TestProfile::write_data() {
    QTest::addColumn<QByteArray>("before"); // "<none>" for no file
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("after");
    QTest::newRow("creates file and section")
        << QByteArray("<none>") << u"NAME"_qs << u"x"_qs << QByteArray("[EXEINI]\r\nNAME=x\r\n");
    QTest::newRow("empty file") << QByteArray() << u"NAME"_qs << u"x"_qs
                                << QByteArray("[EXEINI]\r\nNAME=x\r\n");
    QTest::newRow("replaces the value only")
        << QByteArray("; note\r\n[EXEINI]\r\nNAME=old\r\nNAME2=keep\r\n\r\n[OTHER]\r\nNAME=other\r\n")
        << u"NAME"_qs << u"new"_qs
        << QByteArray("; note\r\n[EXEINI]\r\nNAME=new\r\nNAME2=keep\r\n\r\n[OTHER]\r\nNAME=other\r\n");
    QTest::newRow("adds the key inside its section")
        << QByteArray("[EXEINI]\r\nNAME=a\r\n\r\n[OTHER]\r\nX=1\r\n") << u"NAME2"_qs << u"b"_qs
        << QByteArray("[EXEINI]\r\nNAME=a\r\nNAME2=b\r\n\r\n[OTHER]\r\nX=1\r\n");
    QTest::newRow("adds the section after others") << QByteArray("[OTHER]\r\nX=1") << u"NAME"_qs << u"v"_qs
                                                   << QByteArray("[OTHER]\r\nX=1\r\n[EXEINI]\r\nNAME=v\r\n");
    QTest::newRow("names without regard to case") << QByteArray("[exeini]\r\n name = a \r\n") << u"NAME"_qs
                                                  << u"b"_qs << QByteArray("[exeini]\r\nname=b\r\n");
    QTest::newRow("LF file becomes CR LF") << QByteArray("[EXEINI]\nA=1\nNAME=a\n") << u"NAME"_qs << u"b"_qs
                                           << QByteArray("[EXEINI]\r\nA=1\r\nNAME=b\r\n");
    QTest::newRow("CR file becomes CR LF") << QByteArray("[EXEINI]\rA=1\rNAME=a\r") << u"NAME"_qs << u"b"_qs
                                           << QByteArray("[EXEINI]\r\nA=1\r\nNAME=b\r\n");
    QTest::newRow("empty value") << QByteArray("[EXEINI]\r\nNUMBER5=1\r\n") << u"NUMBER5"_qs << QString()
                                 << QByteArray("[EXEINI]\r\nNUMBER5=\r\n");
    QTest::newRow("code page 932") << QByteArray("<none>") << u"NAME"_qs << u"未設定"_qs
                                   << QByteArray("[EXEINI]\r\nNAME=\x96\xa2\x90\xdd\x92\xe8\r\n");
    QTest::newRow("line break in value")
        << QByteArray("[EXEINI]\r\nNAME2=k\r\n") << u"NAME"_qs << u"a\r\nNAME2=evil"_qs
        << QByteArray("[EXEINI]\r\nNAME2=k\r\nNAME=a  NAME2=evil\r\n");
}

void TestProfile::write() {
    QFETCH(QByteArray, before);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QByteArray, after);
    if (before != "<none>")
        QVERIFY(writeFile(m_ini, before));
    QVERIFY(writeProfileString(kSection, key, value, m_ini));
    QCOMPARE(readFile(m_ini), after);
}

void TestProfile::writeRoundTripsLongAndOddValues() {
    QVERIFY(writeProfileString(kSection, u"NAME2"_qs, u"keep"_qs, m_ini));
    const QString longValue(10000, u'z');
    QVERIFY(writeProfileString(kSection, u"NAME"_qs, longValue, m_ini));
    QCOMPARE(getProfileString(kSection, u"NAME"_qs, {}, m_ini).value, QString(255, u'z'));
    QCOMPARE(getProfileString(kSection, u"NAME2"_qs, {}, m_ini).value, u"keep"_qs);
    // The stored value is whole even though a read sees only its start.
    QVERIFY(readFile(m_ini).contains(QByteArray(10000, 'z')));

    QVERIFY(writeProfileString(kSection, u"NAME2"_qs, u"p=w;#[x]"_qs, m_ini));
    QCOMPARE(getProfileString(kSection, u"NAME2"_qs, {}, m_ini).value, u"p=w;#[x]"_qs);
}

void TestProfile::writeKeepsGarbageLines() {
    QRandomGenerator rng(255);
    QByteArray junk(10000, Qt::Uninitialized);
    for (char& b : junk)
        b = static_cast<char>(rng.bounded(256));
    junk.replace('[', '(').replace('\r', 'r').replace('\n', 'n');
    const QByteArray before = "[EXEINI]\r\nNAME2=kept\r\n" + junk + "\r\n";
    QVERIFY(writeFile(m_ini, before));
    QCOMPARE(getProfileString(kSection, u"NAME"_qs, u"d"_qs, m_ini).value, u"d"_qs);
    QVERIFY(writeProfileString(kSection, u"NAME"_qs, u"new"_qs, m_ini));
    QCOMPARE(getProfileString(kSection, u"NAME"_qs, {}, m_ini).value, u"new"_qs);
    QCOMPARE(getProfileString(kSection, u"NAME2"_qs, {}, m_ini).value, u"kept"_qs);
    QVERIFY(readFile(m_ini).contains(junk));
}

void TestProfile::failedWriteKeepsFile_data() {
    QTest::addColumn<QString>("fault");
    QTest::newRow("missing folder") << u"missing folder"_qs;
    QTest::newRow("folder in the file's place") << u"directory"_qs;
    QTest::newRow("file beyond the size bound") << u"oversize"_qs;
    QTest::newRow("full disk") << u"full disk"_qs;
    QTest::newRow("read-only file") << u"read-only file"_qs;
    QTest::newRow("read-only folder") << u"read-only folder"_qs;
}

void TestProfile::failedWriteKeepsFile() {
    QFETCH(QString, fault);
    if (fault.startsWith(u"read-only") && ::geteuid() == 0)
        QSKIP("permissions do not bind root; the full disk covers the failure path");
    QByteArray before = "[EXEINI]\r\nNAME=old\r\nNAME2=two\r\n";
    QString path = m_ini;
    if (fault == u"missing folder") {
        path = m_dir->filePath(u"★MailData/ini.ini"_qs);
        // Reading a missing file, or one in a missing folder, gives the default and makes nothing.
        QCOMPARE(getProfileInt(kSection, u"NUMBER"_qs, 9, m_ini), 9);
        QCOMPARE(getProfileInt(kSection, u"NUMBER"_qs, 9, path), 9);
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
        QVERIFY(!QDir(m_dir->filePath(u"★MailData"_qs)).exists());
        QVERIFY(!QFile::exists(m_ini));
    } else if (fault == u"directory") {
        QVERIFY(QFileInfo(m_ini).isDir());
    } else {
        QCOMPARE(readFile(m_ini), before);
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), QStringList{u"ini.ini"_qs}); // no stray temp
    }
}

void TestProfile::permissionsAreSetBeforeTheFileAppears() {
    QVERIFY(writeFile(m_ini, "[EXEINI]\r\nNAME=a\r\n"));
    QFile::setPermissions(m_ini, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                                     QFileDevice::ReadOther);
    const auto ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    QVERIFY(writeProfileStrings(kSection, {{u"NAME"_qs, u"b"_qs}, {u"NAME2"_qs, u"c"_qs}}, m_ini, ownerOnly));
    QCOMPARE(QFile::permissions(m_ini) & ~(QFileDevice::ReadUser | QFileDevice::WriteUser), ownerOnly);
    QCOMPARE(readFile(m_ini), QByteArray("[EXEINI]\r\nNAME=b\r\nNAME2=c\r\n"));
    // Without explicit permissions a rewrite keeps the file's own.
    QVERIFY(writeProfileString(kSection, u"NAME"_qs, u"d"_qs, m_ini));
    QCOMPARE(QFile::permissions(m_ini) & ~(QFileDevice::ReadUser | QFileDevice::WriteUser), ownerOnly);
}

QTEST_GUILESS_MAIN(TestProfile)
#include "tst_profile.moc"
