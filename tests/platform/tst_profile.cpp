#include "iofault/FileSizeLimit.h"
#include "platform/Profile.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <unistd.h>

using namespace brindle;

namespace {

const QString kSection = u"EXEINI"_qs;

QByteArray readAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

void writeAll(const QString& path, const QByteArray& data) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(data), data.size());
}

bool runningAsRoot() {
    return ::geteuid() == 0;
}

} // namespace

class TestProfile : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void readString_data();
    void readString();
    void readInt_data();
    void readInt();
    void readMissingFileAndFolder();
    void write_data();
    void write();
    void writeRoundTripsLongAndOddValues();
    void writeKeepsGarbageLines();
    void writeIntoMissingFolderFails();
    void oversizeFileIsNeverReplaced();
    void fullDiskKeepsOldFile();
    void readOnlyFolderKeepsOldFile();
    void writeToDirectoryFails();
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
    writeAll(m_ini, file);
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
    writeAll(m_ini, "[EXEINI]\r\n" + line + "\r\n");
    QCOMPARE(getProfileInt(kSection, u"NUMBER"_qs, -7, m_ini), value);
}

void TestProfile::readMissingFileAndFolder() {
    QCOMPARE(getProfileInt(kSection, u"NUMBER"_qs, 9, m_ini), 9);
    const QString inMissingFolder = m_dir->filePath(u"nofolder/ini.ini"_qs);
    QCOMPARE(getProfileInt(kSection, u"NUMBER"_qs, 9, inMissingFolder), 9);
    const ProfileString r = getProfileString(kSection, u"NAME"_qs, u"d"_qs, inMissingFolder);
    QCOMPARE(r.value, u"d"_qs);
    QCOMPARE(r.count, 0);
    QVERIFY(!QFile::exists(m_ini));
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
        writeAll(m_ini, before);
    QVERIFY(writeProfileString(kSection, key, value, m_ini));
    QCOMPARE(readAll(m_ini), after);
}

void TestProfile::writeRoundTripsLongAndOddValues() {
    QVERIFY(writeProfileString(kSection, u"NAME2"_qs, u"keep"_qs, m_ini));
    const QString longValue(10000, u'z');
    QVERIFY(writeProfileString(kSection, u"NAME"_qs, longValue, m_ini));
    QCOMPARE(getProfileString(kSection, u"NAME"_qs, {}, m_ini).value, QString(255, u'z'));
    QCOMPARE(getProfileString(kSection, u"NAME2"_qs, {}, m_ini).value, u"keep"_qs);
    // The stored value is whole even though a read sees only its start.
    QVERIFY(readAll(m_ini).contains(QByteArray(10000, 'z')));

    // A password ending in a blank comes back without it, as the file format trims values.
    QVERIFY(writeProfileString(kSection, u"NAME2"_qs, u"pass "_qs, m_ini));
    QCOMPARE(getProfileString(kSection, u"NAME2"_qs, {}, m_ini).value, u"pass"_qs);
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
    writeAll(m_ini, before);
    QCOMPARE(getProfileString(kSection, u"NAME"_qs, u"d"_qs, m_ini).value, u"d"_qs);
    QVERIFY(writeProfileString(kSection, u"NAME"_qs, u"new"_qs, m_ini));
    QCOMPARE(getProfileString(kSection, u"NAME"_qs, {}, m_ini).value, u"new"_qs);
    QCOMPARE(getProfileString(kSection, u"NAME2"_qs, {}, m_ini).value, u"kept"_qs);
    QVERIFY(readAll(m_ini).contains(junk));
}

void TestProfile::writeIntoMissingFolderFails() {
    const QString path = m_dir->filePath(u"★MailData/ini.ini"_qs);
    QVERIFY(!writeProfileString(kSection, u"NAME"_qs, u"x"_qs, path));
    QVERIFY(!QDir(m_dir->filePath(u"★MailData"_qs)).exists());
}

void TestProfile::oversizeFileIsNeverReplaced() {
    QByteArray big = "[EXEINI]\r\nNAME=x\r\n";
    big += QByteArray(kMaxProfileFileBytes, ';');
    writeAll(m_ini, big);
    QCOMPARE(getProfileString(kSection, u"NAME"_qs, u"d"_qs, m_ini).value, u"d"_qs);
    QVERIFY(!writeProfileString(kSection, u"NAME"_qs, u"y"_qs, m_ini));
    QCOMPARE(readAll(m_ini), big);
}

void TestProfile::fullDiskKeepsOldFile() {
    const QByteArray before = "[EXEINI]\r\nNAME=old\r\nNAME2=two\r\n";
    writeAll(m_ini, before);
    {
        brindle::testing::FileSizeLimit limit(static_cast<rlim_t>(before.size() + 10));
        QVERIFY(limit.active());
        QVERIFY(!writeProfileString(kSection, u"NAME"_qs, QString(100, u'n'), m_ini));
    }
    QCOMPARE(readAll(m_ini), before);
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), QStringList{u"ini.ini"_qs});
}

void TestProfile::readOnlyFolderKeepsOldFile() {
    if (runningAsRoot())
        QSKIP("permissions do not bind root; fullDiskKeepsOldFile covers the failure path");
    const QByteArray before = "[EXEINI]\r\nNAME=old\r\n";
    writeAll(m_ini, before);
    QFile::setPermissions(m_ini, QFileDevice::ReadOwner);
    QVERIFY(!writeProfileString(kSection, u"NAME"_qs, u"new"_qs, m_ini));
    QCOMPARE(readAll(m_ini), before);
    QFile::setPermissions(m_ini, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QFile::setPermissions(m_dir->path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    QVERIFY(!writeProfileString(kSection, u"NAME"_qs, u"new"_qs, m_ini));
    QFile::setPermissions(m_dir->path(),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QCOMPARE(readAll(m_ini), before);
}

void TestProfile::writeToDirectoryFails() {
    QVERIFY(QDir(m_dir->path()).mkdir(u"ini.ini"_qs));
    QVERIFY(!writeProfileString(kSection, u"NAME"_qs, u"x"_qs, m_ini));
    QVERIFY(QFileInfo(m_ini).isDir());
}

void TestProfile::permissionsAreSetBeforeTheFileAppears() {
    writeAll(m_ini, "[EXEINI]\r\nNAME=a\r\n");
    QFile::setPermissions(m_ini, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                                     QFileDevice::ReadOther);
    const auto ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    QVERIFY(writeProfileStrings(kSection, {{u"NAME"_qs, u"b"_qs}, {u"NAME2"_qs, u"c"_qs}}, m_ini, ownerOnly));
    QCOMPARE(QFile::permissions(m_ini) & ~(QFileDevice::ReadUser | QFileDevice::WriteUser), ownerOnly);
    QCOMPARE(readAll(m_ini), QByteArray("[EXEINI]\r\nNAME=b\r\nNAME2=c\r\n"));
    // Without explicit permissions a rewrite keeps the file's own.
    QVERIFY(writeProfileString(kSection, u"NAME"_qs, u"d"_qs, m_ini));
    QCOMPARE(QFile::permissions(m_ini) & ~(QFileDevice::ReadUser | QFileDevice::WriteUser), ownerOnly);
}

QTEST_GUILESS_MAIN(TestProfile)
#include "tst_profile.moc"
