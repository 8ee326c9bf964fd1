// Times the keyword file operations and the settings reads on files of realistic and extreme size.
// Prints one line per measurement: what, how many, milliseconds.
#include "keywords/KeywordFile.h"
#include "platform/AppFolder.h"
#include "platform/Profile.h"
#include "settings/SettingsStore.h"

#include <cstdio>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

using namespace brindle;

namespace {

void report(const char* what, qint64 count, qint64 ms) {
    std::printf("%-44s %8lld  %6lld ms\n", what, static_cast<long long>(count), static_cast<long long>(ms));
}

bool makeKeywordFile(const QString& path, qint64 records) {
    QByteArray data;
    data.reserve(records * kKeywordRecordSize);
    for (qint64 i = 0; i < records; ++i)
        data += encodeKeywordRecord(u"迷惑キーワード"_qs + QString::number(i));
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    if (!dir.isValid() || !QDir(dir.path()).mkdir(u"★MailData"_qs))
        return 1;
    setApplicationFolder(dir.path());
    const QString path = keywordFilePath();

    for (qint64 records : {qint64(1000), qint64(32767), qint64(200000)}) {
        if (!makeKeywordFile(path, records))
            return 1;
        QElapsedTimer t;
        t.start();
        const QStringList list = ReadKeywords(path);
        report("ReadKeywords", list.size(), t.elapsed());

        t.restart();
        for (int i = 0; i < 100; ++i)
            AppendKeyword(u"追加"_qs, path);
        report("AppendKeyword x100 onto", records, t.elapsed());

        MarkKeywordDeleted(records / 2, path);
        t.restart();
        CompactKeywordFile(path);
        report("Mark + CompactKeywordFile", records + 100, t.elapsed());
    }

    const GeneralSettingsFile general;
    for (const char* key : {"NAME", "NAME2", "NUMBER", "NUMBER2", "NUMBER4", "NUMBER5", "NUMBER6", "NUMBER7"})
        general.write(QString::fromLatin1(key), u"1"_qs);
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < 1000; ++i)
        general.readInt(u"NUMBER7"_qs);
    report("GeneralSettingsFile::readInt x1000", 1000, t.elapsed());
    t.restart();
    for (int i = 0; i < 1000; ++i)
        generalSettingsPath();
    report("generalSettingsPath x1000 (case lookup)", 1000, t.elapsed());
    return 0;
}
