#include "platform/AppFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace brindle;

class TestAppFolder : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_root;

private Q_SLOTS:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_root = m_dir->path();
        QDir root(m_root);
        QVERIFY(root.mkpath(u"★MailData"_qs));
        QVERIFY(root.mkpath(u"ÄÖÜ Straße"_qs));
        for (const QString& f : {u"★MailData/Kstdata50.data"_qs, u"★MailData/ini.ini"_qs, u"kestro.ini"_qs}) {
            QFile file(root.filePath(f));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
    }

    void cleanup() { setApplicationFolder(QString()); }

    void resolve_data() {
        QTest::addColumn<QString>("tail");
        QTest::addColumn<QString>("expected"); // relative to the root
        QTest::newRow("folder and file case")
            << u"\\★MAilData\\kstdata50.data"_qs << u"★MailData/Kstdata50.data"_qs;
        QTest::newRow("folder alone") << u"\\★MAILDATA"_qs << u"★MailData"_qs;
        QTest::newRow("missing file keeps its spelling")
            << u"\\★MAilData\\KSTDATA50.TMP"_qs << u"★MailData/KSTDATA50.TMP"_qs;
        QTest::newRow("missing folder keeps its spelling")
            << u"\\画像データ\\1.JPG"_qs << u"画像データ/1.JPG"_qs;
        QTest::newRow("unicode case fold") << u"\\äöü straße"_qs << u"ÄÖÜ Straße"_qs;
        QTest::newRow("file in the root") << u"\\KESTRO.INI"_qs << u"kestro.ini"_qs;
        QTest::newRow("doubled separators") << u"\\\\★maildata\\\\INI.INI"_qs << u"★MailData/ini.ini"_qs;
    }

    void resolve() {
        QFETCH(QString, tail);
        QFETCH(QString, expected);
        QCOMPARE(resolvePath(m_root, tail), m_root + u'/' + expected);
        QCOMPARE(resolvePath(m_root + u'/', tail), m_root + u'/' + expected);
    }

    void exactSpellingWins() {
        QDir root(m_root);
        QVERIFY(root.mkdir(u"Data"_qs));
        QVERIFY(root.mkdir(u"data"_qs));
        QCOMPARE(resolvePath(m_root, u"\\data"_qs), m_root + u"/data"_qs);
        QCOMPARE(resolvePath(m_root, u"\\Data"_qs), m_root + u"/Data"_qs);
        const QString either = resolvePath(m_root, u"\\DATA"_qs);
        QVERIFY2(either == m_root + u"/Data"_qs || either == m_root + u"/data"_qs, qPrintable(either));
    }

    void appPathUsesTheApplicationFolder() {
        setApplicationFolder(m_root + u"//"_qs);
        QCOMPARE(applicationFolder(), m_root);
        QCOMPARE(appPath(u"\\★MAilData\\KSTDATA50.data"_qs), m_root + u"/★MailData/Kstdata50.data"_qs);
        setApplicationFolder(QString()); // back to the executable's folder
        QCOMPARE(applicationFolder(), QCoreApplication::applicationDirPath());
    }
};

QTEST_GUILESS_MAIN(TestAppFolder)
#include "tst_appfolder.moc"
