// --help and --version answer without a display, before anything starts: no folder is made.
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

class TestBrindle : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void answersWithoutDisplay_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("firstLine");
        const QString version = QStringLiteral("brindle " BRINDLE_VERSION);
        QTest::newRow("version") << QStringList{"--version"} << version;
        QTest::newRow("help") << QStringList{"--help"} << "Usage: brindle [--tray]";
        QTest::newRow("short help") << QStringList{"-h"} << "Usage: brindle [--tray]";
        QTest::newRow("after another option") << QStringList{"--tray", "--version"} << version;
    }
    void answersWithoutDisplay() {
        QFETCH(QStringList, args);
        QFETCH(QString, firstLine);
        QTemporaryDir home;
        QVERIFY(home.isValid());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QString::fromLatin1(name));
        env.insert(QStringLiteral("HOME"), home.path());
        env.insert(QStringLiteral("XDG_DATA_HOME"), home.path());
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(BRINDLE_PROGRAM), args);
        QVERIFY(p.waitForFinished());
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(p.readAllStandardOutput()).section(u'\n', 0, 0), firstLine);
        QCOMPARE(p.readAllStandardError(), QByteArray());
        QVERIFY(QDir(home.path()).isEmpty()); // no application folder made
    }
};

QTEST_GUILESS_MAIN(TestBrindle)
#include "tst_brindle.moc"
