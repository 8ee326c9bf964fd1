#include "mailcheck/CheckMemories.h"

#include "platform/AtomicFile.h"

#include <QFile>

namespace brindle {

std::optional<PendingDeletions> FileCheckMemories::pendingDeletions() const {
    return readPendingDeletions(m_dataFolder);
}

bool FileCheckMemories::keepPendingDeletions(const PendingDeletions& pending) {
    return writePendingDeletions(m_dataFolder, pending);
}

// The verdict file's text; empty when it is missing, unreadable or larger than kVerdictFileMaxBytes
// (then every message is judged again).
QByteArray FileCheckMemories::verdictFileText() const {
    QFile file(verdictMemoryPath(m_dataFolder));
    if (file.size() > kVerdictFileMaxBytes || !file.open(QIODevice::ReadOnly))
        return {};
    return file.read(kVerdictFileMaxBytes + 1);
}

VerdictMemory FileCheckMemories::verdicts(const QString& server, const QString& account,
                                          const QByteArray& judgement) const {
    VerdictMemory memory(server, account, judgement);
    memory.load(verdictFileText());
    return memory;
}

bool FileCheckMemories::keepVerdicts(const VerdictMemory& memory) {
    if (!memory.changed())
        return true; // the file stays as it is
    const QString path = verdictMemoryPath(m_dataFolder);
    if (memory.holdsNothing() && !QFile::exists(path))
        return true; // nothing to remember, and nothing to forget
    return writeFileAtomically(path, memory.mergedInto(verdictFileText()));
}

} // namespace brindle
