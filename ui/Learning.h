#pragma once
#include "learn/LearnStore.h"
#include "mailcheck/CheckInputs.h"

#include <functional>
#include <optional>
#include <QByteArray>
#include <QString>
#include <QStringList>

class QWidget;

namespace brindle {

struct CheckOutcome;
class MessageBoxes;

// The windows' side of the learned judgement: the switch and the store for each check they start,
// the counts they show, the copies they teach it from.

// The learned judgement as the next check started by the windows uses it: the switch in ini.ini and
// the store in the data folder.
CheckInputs::Learning learningInputs();

// One line for the user: how many junk and wanted messages the store holds and whether that is enough
// to judge, or why the store cannot be used. A store not made yet is not made to count it.
QString learnedCountsText(const QString& storePath = learn::LearnStore::defaultPath());

// After a check: says once, in one box, why it ran without the learned judgement.
void tellLearningProblem(const CheckOutcome& outcome, MessageBoxes& boxes);

// A quarantine copy as it is learned; nullopt when it is gone, unreadable or no copy of ours.
std::optional<QByteArray> readCopyForLearning(const QString& path);

// What learning a list of copies came to.
struct LearnTally {
    int learned = 0;      // counted now as the class asked for (moved from the other class included)
    int already = 0;      // learned before as that class: counted once
    int skipped = 0;      // gone or unreadable
    int keptWanted = 0;   // learned as wanted before and left so (keepWanted)
    bool stopped = false; // the user cancelled: what was learned so far stays
    QString problem;      // the store's error; empty when it worked
};

// Learns the copies as `cls`, in transactions of a few each, showing progress over `parent` when it
// takes a while. keepWanted: a copy the user once told us is wanted is not turned into junk.
LearnTally learnCopies(learn::LearnStore& store, const QStringList& copyFiles, learn::MessageClass cls,
                       bool keepWanted, QWidget* parent);

} // namespace brindle
