#include "ui/Learning.h"

#include "mailcheck/MailCheckRun.h"
#include "mailcheck/Quarantine.h"
#include "settings/SettingsStore.h"
#include "ui/Dialogs.h"

#include <QFile>
#include <QFileInfo>
#include <QProgressDialog>

namespace brindle {

namespace {

// A copy is at most kQuarantineWholeMaxBytes; a larger file in the quarantine is not one of ours and
// is not read whole into memory.
constexpr qint64 kCopyMaxBytes = kQuarantineWholeMaxBytes + 1024 * 1024;
// Copies learned per transaction: progress moves and a cancel is heeded this often, and what was
// learned before a crash is kept, while few transactions keep learning quick.
constexpr int kCopiesPerTransaction = 20;
// The progress window shows only when learning takes longer than this.
constexpr int kProgressDelayMs = 700;
// Counting is done as the File menu opens: a store another program holds longer than this is shown
// as busy rather than keeping the menu from opening.
constexpr int kCountBusyTimeoutMs = 300;

} // namespace

CheckInputs::Learning learningInputs() {
    return {learningSwitchedOn(), learn::LearnStore::defaultPath()};
}

QString learnedCountsText(const QString& storePath) {
    learn::LearnStore::Totals totals;
    if (QFileInfo::exists(storePath)) {
        learn::LearnStore store(storePath);
        store.setBusyTimeout(kCountBusyTimeoutMs);
        const std::optional<learn::LearnStore::Totals> t = store.open() ? store.totals() : std::nullopt;
        if (!t)
            return store.errorText();
        totals = *t;
    }
    const quint32 need = learn::kMinLearnedPerClass;
    return QStringLiteral("学習済み: 迷惑メール %1通 / 通常のメール %2通")
               .arg(totals.junk)
               .arg(totals.wanted) +
           (totals.junk >= need && totals.wanted >= need
                ? QStringLiteral("（学習した判定で削除できます）")
                : QStringLiteral("（それぞれ%1通から判定します）").arg(need));
}

void tellLearningProblem(const CheckOutcome& outcome, MessageBoxes& boxes) {
    if (outcome.learningProblem.isEmpty())
        return;
    boxes.show(outcome.learningProblem, MsgButtons::Ok, MsgIcon::Exclamation, QString());
}

std::optional<QByteArray> readCopyForLearning(const QString& path) {
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly) || file.size() > kCopyMaxBytes)
        return std::nullopt;
    QByteArray raw = file.read(kCopyMaxBytes);
    if (raw.isEmpty() || file.error() != QFileDevice::NoError)
        return std::nullopt;
    return raw;
}

LearnTally learnCopies(learn::LearnStore& store, const QStringList& copyFiles, learn::MessageClass cls,
                       bool keepWanted, QWidget* parent) {
    LearnTally tally;
    QProgressDialog progress(QStringLiteral("学習しています…"), QStringLiteral("中止"), 0,
                             int(copyFiles.size()), parent);
    progress.setWindowTitle(QStringLiteral("学習"));
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(kProgressDelayMs);
    for (qsizetype i = 0; i < copyFiles.size();) {
        QList<learn::LearnItem> batch;
        for (; i < copyFiles.size() && batch.size() < kCopiesPerTransaction; ++i) {
            std::optional<QByteArray> raw = readCopyForLearning(copyFiles[i]);
            if (!raw) {
                ++tally.skipped;
                continue;
            }
            if (keepWanted) {
                const auto before = store.learnedClass(*raw);
                if (!before) {
                    tally.problem = store.errorText();
                    return tally;
                }
                if (*before == learn::MessageClass::Wanted && cls == learn::MessageClass::Junk) {
                    ++tally.keptWanted;
                    continue;
                }
            }
            batch.append({std::move(*raw), cls});
        }
        if (!batch.isEmpty()) {
            const std::optional<QList<learn::LearnResult>> results = store.learn(batch);
            if (!results) {
                tally.problem = store.errorText();
                return tally;
            }
            for (learn::LearnResult r : *results)
                ++(r == learn::LearnResult::AlreadyLearned ? tally.already : tally.learned);
        }
        progress.setValue(int(i));
        if (progress.wasCanceled() && i < copyFiles.size()) {
            tally.stopped = true;
            break;
        }
    }
    return tally;
}

} // namespace brindle
