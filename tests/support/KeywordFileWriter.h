#pragma once
// The keyword file as the keyword editor leaves it.
#include "keywords/KeywordFile.h"
#include "support/TestFiles.h"

#include <QStringList>

namespace brindle::testing {

// Replaces the keyword file by one record per keyword; false when it could not be written.
[[nodiscard]] inline bool writeKeywords(const QStringList& keywords) {
    QByteArray records;
    for (const QString& k : keywords)
        records += encodeKeywordRecord(k);
    return writeFile(keywordFilePath(), records);
}

} // namespace brindle::testing
