#pragma once
// A throw-away application folder with the data folder, the probe folder, an account and keywords.
#include "keywords/KeywordFile.h"
#include "platform/AppFolder.h"
#include "settings/SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

namespace brindle::testing {

class AppFolderFixture {
public:
    AppFolderFixture() {
        QDir root(m_dir.path());
        root.mkdir(QStringLiteral(u"★MailData"));
        root.mkdir(QStringLiteral(u"添付フォルダ"));
        setApplicationFolder(m_dir.path());
    }
    QString path() const { return m_dir.path(); }

    // Replaces the keyword file by these records (texts as the editor stores them).
    void setKeywords(const QStringList& keywords) const {
        QFile f(keywordFilePath());
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        for (const QString& k : keywords) {
            f.write(encodeKeywordRecord(k));
        }
    }
    void setAccount(const QString& id, const QString& password) const {
        AccountFile().saveAccount(id, password);
    }
    void removeProbeFolder() const {
        QDir(m_dir.path() + QStringLiteral(u"/添付フォルダ")).removeRecursively();
    }

private:
    QTemporaryDir m_dir;
};

} // namespace brindle::testing
