#pragma once
// What a check remembers from one check to the next about a server and account: the deletions it
// left pending and the verdicts it judged. The run reaches them only through this store.
#include "mailcheck/Quarantine.h"
#include "mailcheck/VerdictMemory.h"

#include <optional>
#include <QByteArray>
#include <QString>

namespace brindle {

class CheckMemories {
public:
    virtual ~CheckMemories() = default;

    // The deletions an earlier check left pending; nullopt when there are none or they are damaged
    // (then they name nothing to delete).
    virtual std::optional<PendingDeletions> pendingDeletions() const = 0;
    // Replaces the pending deletions, durably; an empty record list leaves none. False when they
    // could not be kept.
    virtual bool keepPendingDeletions(const PendingDeletions& pending) = 0;
    // The verdicts remembered for this server, account and judgement, loaded.
    virtual VerdictMemory verdicts(const QString& server, const QString& account,
                                   const QByteArray& judgement) const = 0;
    // Keeps the verdicts of this check for its server and account, those of the others as they were.
    // False when they could not be kept.
    virtual bool keepVerdicts(const VerdictMemory& memory) = 0;
};

// The memories as files of the data folder: pending-deletions.txt and verdicts.txt.
class FileCheckMemories final : public CheckMemories {
public:
    explicit FileCheckMemories(QString dataFolder) : m_dataFolder(std::move(dataFolder)) {}

    std::optional<PendingDeletions> pendingDeletions() const override;
    bool keepPendingDeletions(const PendingDeletions& pending) override;
    VerdictMemory verdicts(const QString& server, const QString& account,
                           const QByteArray& judgement) const override;
    bool keepVerdicts(const VerdictMemory& memory) override;

private:
    QByteArray verdictFileText() const;

    QString m_dataFolder;
};

} // namespace brindle
