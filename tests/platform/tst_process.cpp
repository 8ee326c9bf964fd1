#include "platform/Process.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace brindle;

class TestProcess : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    QString m_program; // an executable file with spaces in its path

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_dir.isValid() && QDir(m_dir.path()).mkpath(u"My Mailer"_qs));
        m_program = m_dir.filePath(u"My Mailer/mail er"_qs);
        QVERIFY(brindle::testing::writeFile(m_program, "#!/bin/sh\nexit 0\n"));
        QVERIFY(QFile::setPermissions(m_program, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                     QFileDevice::ExeOwner));
    }

    void split_data() {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("arguments");
        // "@" stands for the executable made in initTestCase.
        QTest::newRow("path with spaces and blanks around") << u"  @  "_qs << u"@"_qs << QStringList();
        QTest::newRow("path with spaces and arguments")
            << u"@ -compose \"a b\""_qs << u"@"_qs << QStringList{u"-compose"_qs, u"a b"_qs};
        QTest::newRow("quoted path") << u"\"@\" x"_qs << u"@"_qs << QStringList{u"x"_qs};
        QTest::newRow("plain words") << u"thunderbird -mail"_qs << u"thunderbird"_qs
                                     << QStringList{u"-mail"_qs};
        QTest::newRow("blank") << u"   "_qs << QString() << QStringList();
    }
    void split() {
        QFETCH(QString, line);
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        const CommandLine cmd = splitCommandLine(line.replace(u'@', m_program));
        QCOMPARE(cmd.program, program.replace(u'@', m_program));
        QCOMPARE(cmd.arguments, arguments);
    }

    void startsOnlyWhatCanStart() {
        QVERIFY(startDetached(m_program) && startDetached(u"  "_qs + m_program + u" --flag"_qs));
        QVERIFY(!startDetached(u"   "_qs) && !startDetached(m_dir.filePath(u"no such program"_qs)));
    }
};

QTEST_GUILESS_MAIN(TestProcess)
#include "tst_process.moc"
