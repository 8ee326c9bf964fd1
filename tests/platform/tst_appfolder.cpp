#include "platform/AppFolder.h"
#include "platform/AtomicFile.h"
#include "platform/Autostart.h"
#include "platform/PrivateFolder.h"
#include "platform/Profile.h"
#include "support/Rows.h"
#include "support/TestFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <unistd.h>

using namespace brindle;
using brindle::test::indexRows;
using brindle::testing::modeOf;
using brindle::testing::readFile;
using brindle::testing::writeFile;

namespace {

// Path; user's content, installed one (null: none; "-": no installed folder); whose wins.
const QString kPicture = u"\\画像データ\\3.jpg"_qs;
const QString kPage = u"\\help\\rules.htm"_qs;
const std::tuple<const char*, QString, QByteArray, QByteArray, QString> kDataFiles[]{
    {"the user's own picture", kPicture, "photo", "ours", "user"},
    {"only installed", kPicture, {}, "ours", "installed"},
    {"neither: the user's path, missing", kPicture, {}, {}, "user"},
    {"untouched copy of the earlier version", kPicture, "ours", "ours", "installed"},
    {"copy the user changed", kPicture, "ours, retouched", "ours", "user"},
    {"portable copy", kPicture, "ours", "-", "user"},
    {"help: a changed copy gives way", kPage, "mine", "new", "installed"},
    {"help: only the user's", kPage, "mine", {}, "user"}};

// The path asked for, and the one found relative to the root.
const std::tuple<const char*, QString, QString> kResolved[]{
    {"folder and file case", u"\\★MAilData\\kstdata50.data"_qs, u"★MailData/Kstdata50.data"_qs},
    {"folder alone", u"\\★MAILDATA"_qs, u"★MailData"_qs},
    {"missing file keeps its spelling", u"\\★MAilData\\KSTDATA50.TMP"_qs, u"★MailData/KSTDATA50.TMP"_qs},
    {"missing folder keeps its spelling", u"\\画像データ\\1.JPG"_qs, u"画像データ/1.JPG"_qs},
    {"unicode case fold", u"\\äöü straße"_qs, u"ÄÖÜ Straße"_qs},
    {"file in the root", u"\\KESTRO.INI"_qs, u"kestro.ini"_qs},
    {"doubled separators", u"\\\\★maildata\\\\INI.INI"_qs, u"★MailData/ini.ini"_qs},
};

} // namespace

class TestAppFolder : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_root;

private Q_SLOTS:
    // Modes of what is made outside the private folders are then those of a usual login.
    void initTestCase() { ::umask(022); }

    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_root = m_dir->path();
        QDir root(m_root);
        QVERIFY(root.mkpath(u"★MailData"_qs) && root.mkpath(u"ÄÖÜ Straße"_qs));
        for (const QString& f : {u"★MailData/Kstdata50.data"_qs, u"★MailData/ini.ini"_qs, u"kestro.ini"_qs})
            QVERIFY(writeFile(root.filePath(f), {}));
    }

    void cleanup() {
        setApplicationFolder(QString());
        qunsetenv("XDG_DATA_HOME");
    }

    // The program's own folder serves only when it holds a data folder the user may write to.
    void portableOrPerUser() {
        QVERIFY(isPortableApplicationFolder(m_root));
        QVERIFY(!isPortableApplicationFolder(m_root + u"/ÄÖÜ Straße"_qs)); // no data folder
        const QByteArray data = QFile::encodeName(m_root + u"/★MailData"_qs);
        QVERIFY(::chmod(data.constData(), 0500) == 0);
        QCOMPARE(isPortableApplicationFolder(m_root), ::geteuid() == 0); // root writes anyway
        QVERIFY(::chmod(data.constData(), 0700) == 0);
    }

    // The first start makes only ★MailData and 添付フォルダ; an earlier version's files stay.
    void userFolderMadeOnFirstStart() {
        qputenv("XDG_DATA_HOME", (m_root + u"/home data"_qs).toUtf8());
        const QString user = applicationFolder();
        QCOMPARE(user, m_root + u"/home data/Brindle"_qs);
        QVERIFY(prepareApplicationFolder());
        QCOMPARE(QDir(user).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name),
                 (QStringList{u"★MailData"_qs, u"添付フォルダ"_qs}));
        QCOMPARE(modeOf(user + u"/★MailData"_qs), 0700);
        QCOMPARE(modeOf(user + u"/添付フォルダ"_qs), 0700);
        QVERIFY(QDir(user).mkpath(u"help"_qs) && writeFile(user + u"/help/1.htm"_qs, "mine"));
        QVERIFY(prepareApplicationFolder());
        QCOMPARE(readFile(user + u"/help/1.htm"_qs), QByteArray("mine"));
    }

    void dataFile_data() { indexRows(kDataFiles); }
    void dataFile() {
        QFETCH(int, row);
        const auto& [name, tail, user, installed, chosen] = kDataFiles[row];
        setApplicationFolder(m_root);
        const QString data = m_root + u"/ÄÖÜ Straße"_qs; // the installation's data folder
        const QString relative = QString(tail).replace(u'\\', u'/');
        for (const auto& [root, bytes] : {std::pair{m_root, user}, std::pair{data, installed}}) {
            if (bytes.isNull() || bytes == "-")
                continue;
            QVERIFY(QDir(root).mkpath(QFileInfo(root + relative).absolutePath()));
            QVERIFY(writeFile(root + relative, bytes));
        }
        const QString path = dataFilePath(tail, installed == "-" ? QString() : data);
        QCOMPARE(path, (chosen == u"user" ? m_root : data) + relative);
    }

    // Every writer's files in the private folders are the user's alone; elsewhere as a login makes them.
    void writersMakePrivateFiles_data() {
        QTest::addColumn<QString>("writer");
        QTest::addColumn<QString>("path"); // below the application folder
        QTest::addColumn<int>("mode");
        for (const char* writer : {"atomic", "durable", "unsynced", "append", "profile"}) {
            QTest::addRow("%s, data folder", writer) << writer << u"★MailData/new.ini"_qs << 0600;
            if (QByteArray(writer) != "append") // an old log stays as the start-up left it
                QTest::addRow("%s, old file in the data folder", writer)
                    << writer << u"★MailData/ini.ini"_qs << 0600;
            QTest::addRow("%s, attachment folder", writer) << writer << u"添付フォルダ/0.txt"_qs << 0600;
            QTest::addRow("%s, outside", writer) << writer << u"kestro2.ini"_qs << 0644;
        }
        QTest::newRow("folders below the data folder")
            << "folder" << u"★MailData/quarantine/2026-12-07"_qs << 0700;
        QTest::newRow("the attachment folder") << "folder" << u"添付フォルダ"_qs << 0700;
        QTest::newRow("folders outside") << "folder" << u"help/x"_qs << 0755;
    }
    void writersMakePrivateFiles() {
        QFETCH(QString, writer);
        QFETCH(QString, path);
        QFETCH(int, mode);
        setApplicationFolder(m_root);
        const QString full = m_root + u'/' + path;
        if (writer == u"folder") {
            QVERIFY(makeFolderPath(full));
            QCOMPARE(modeOf(full), mode);
            if (path.contains(u'/')) // the parents made on the way
                QCOMPARE(modeOf(QFileInfo(full).absolutePath()), mode);
            return;
        }
        QVERIFY(makeFolderPath(QFileInfo(full).absolutePath()));
        const QByteArray data = "[EXEINI]\r\n";
        if (writer == u"atomic")
            QVERIFY(writeFileAtomically(full, data));
        else if (writer == u"durable")
            QVERIFY(writeFileDurably(full, data));
        else if (writer == u"unsynced") {
            QVERIFY(writeFileUnsynced(full, data));
            // Synced behind the writer: a file that cannot be is reported once, at the next wait.
            FileSyncer syncer;
            syncer.add(full), syncer.add(full + u".gone"_qs);
            QVERIFY(!syncer.wait());
            syncer.add(full);
            QVERIFY(syncer.wait());
        } else if (writer == u"append")
            QVERIFY(appendFileSynced(full, data));
        else
            QVERIFY(writeProfileString(u"EXEINI"_qs, u"QUARANTINE_DAYS"_qs, u"3"_qs, full));
        QCOMPARE(modeOf(full), mode);
    }

    // Start-up narrows the private folders and all they hold; nothing outside, not even through a link.
    void startUpNarrows() {
        setApplicationFolder(m_root);
        QDir root(m_root);
        QVERIFY(root.mkpath(u"★MailData/quarantine/2026-12-07"_qs) && root.mkpath(u"添付フォルダ"_qs));
        for (const QString& f : {u"★MailData/quarantine/2026-12-07/1.eml"_qs, u"添付フォルダ/0.txt"_qs})
            QVERIFY(writeFile(root.filePath(f), {}));
        QVERIFY(QFile::link(root.filePath(u"kestro.ini"_qs), root.filePath(u"★MailData/link.ini"_qs)));
        QVERIFY(::chmod(QFile::encodeName(root.filePath(u"★MailData/ini.ini"_qs)).constData(), 0664) == 0);
        QCOMPARE(modeOf(root.filePath(u"★MailData"_qs)), 0755);
        QVERIFY(prepareApplicationFolder());
        for (const QString& folder : {u"★MailData"_qs, u"添付フォルダ"_qs}) {
            QCOMPARE(modeOf(root.filePath(folder)), 0700);
            QDirIterator it(root.filePath(folder), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                            QDirIterator::Subdirectories);
            while (it.hasNext()) {
                const QFileInfo entry(it.next());
                if (!entry.isSymLink())
                    QVERIFY2(modeOf(entry.filePath()) == (entry.isDir() ? 0700 : 0600),
                             qPrintable(entry.filePath()));
            }
        }
        QCOMPARE(modeOf(root.filePath(u"kestro.ini"_qs)), 0644);
        QCOMPARE(modeOf(root.filePath(u"ÄÖÜ Straße"_qs)), 0755);
    }

    void resolve_data() { indexRows(kResolved); }
    void resolve() {
        QFETCH(int, row);
        const auto& [name, tail, expected] = kResolved[row];
        QCOMPARE(resolvePath(m_root, tail), m_root + u'/' + expected);
        QCOMPARE(resolvePath(m_root + u'/', tail), m_root + u'/' + expected);
    }

    void exactSpellingWins() {
        QDir root(m_root);
        QVERIFY(root.mkdir(u"Data"_qs) && root.mkdir(u"data"_qs));
        QCOMPARE(resolvePath(m_root, u"\\data"_qs), m_root + u"/data"_qs);
        QCOMPARE(resolvePath(m_root, u"\\Data"_qs), m_root + u"/Data"_qs);
        const QString either = resolvePath(m_root, u"\\DATA"_qs);
        QVERIFY2(either == m_root + u"/Data"_qs || either == m_root + u"/data"_qs, qPrintable(either));
    }

    // The autostart entry validates even for a path with blanks, quotes, "$", "%" and a backslash.
    void autostartEntry() {
        qputenv("XDG_CONFIG_HOME", (m_root + u"/config"_qs).toUtf8());
        const QString program = m_root + u"/my \"mail\" $tools 100% \\/brindle"_qs;
        QVERIFY(!autostartEnabled() && setAutostart(true, program) && autostartEnabled());
        QCOMPARE(QProcess::execute(u"desktop-file-validate"_qs, {autostartEntryPath()}), 0);
        QVERIFY(readFile(autostartEntryPath()).contains(" --tray\n") && setAutostart(false, program));
        QVERIFY(!autostartEnabled());
        qunsetenv("XDG_CONFIG_HOME");
    }

    void appPathUsesTheApplicationFolder() {
        setApplicationFolder(m_root + u"//"_qs);
        QCOMPARE(applicationFolder(), m_root);
        QCOMPARE(appPath(u"\\★MAilData\\KSTDATA50.data"_qs), m_root + u"/★MailData/Kstdata50.data"_qs);
        setApplicationFolder(QString()); // back to the default: the build folder holds no data folder
        QCOMPARE(applicationFolder(), userApplicationFolder());
    }
};

QTEST_GUILESS_MAIN(TestAppFolder)
#include "tst_appfolder.moc"
