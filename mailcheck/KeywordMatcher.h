#pragma once
#include <QString>
#include <QStringList>
#include <QStringView>
#include <vector>

namespace brindle {

// Removes U+0020 at both ends; no other blank.
QString trimSpaces(QStringView text);
// Number of U+0020 at the start of text.
qsizetype leadingSpaceCount(QStringView text);

// Where a keyword was found in a text: the first unit and the number of units, invisible characters
// inside the word included. start is -1 when it was not found.
struct TextSpan {
    qsizetype start = -1;
    qsizetype length = 0;
};

// The keyword list prepared once per run: every record's text trimmed and folded, and an Aho-Corasick
// automaton over them, so that finding which records occur in a text costs one pass over the text
// whatever the number of keywords. Records whose text is empty after trimming take no part: an empty
// keyword would otherwise be "found" in every message.
class KeywordMatcher {
public:
    KeywordMatcher() = default;
    // records: the texts as ReadKeywords gives them (fill spaces included), in file order.
    explicit KeywordMatcher(const QStringList& records);

    qsizetype recordCount() const { return m_keywords.size(); }
    // The record's text, trimmed and folded; empty for a record that takes no part.
    const QString& keyword(qsizetype record) const { return m_keywords.at(record); }
    // The first record that takes part, or -1 when none does.
    qsizetype firstActiveRecord() const { return m_firstActive; }
    // The earliest record (0-based) whose keyword occurs in the text, or -1. The text is read as
    // foldJapaneseVariants folds it, unit by unit as the automaton steps, so it need not be folded
    // (nor copied) first; folded text reads the same. Only records before `before` are of interest;
    // pass -1 for no bound.
    // Invisible characters (isInvisibleCharacter) in the text are passed over, and the keywords are
    // kept without them, so that a word broken up by them is still found.
    qsizetype earliestRecordIn(QStringView text, qsizetype before = -1) const;
    // The first place a (trimmed and folded) keyword occurs in the text as earliestRecordIn reads
    // it: folded, invisible characters passed over. The span is in the text's own units, so a
    // selection made from it covers the disguised word whole.
    static TextSpan locate(QStringView text, QStringView keyword);

private:
    struct Node {
        int fail = 0;
        int best = -1; // earliest record ending here or at any suffix state
        quint32 edgeBegin = 0;
        quint32 edgeEnd = 0;
    };
    int step(int state, char16_t c) const;
    int child(int state, char16_t c) const;

    QStringList m_keywords;
    qsizetype m_firstActive = -1;
    std::vector<Node> m_nodes;
    std::vector<char16_t> m_edgeChars; // per node, sorted
    std::vector<int> m_edgeTargets;
    std::vector<int> m_rootNext; // the root's edges as a table of all UTF-16 units
    // One bit per UTF-16 unit: set when the unit, read at the root, leaves the automaton at the root
    // (it begins no keyword, folded or not, and is no surrogate). 8 KiB, so that the run of such
    // units, most of a text, is passed over without the table above.
    std::vector<quint64> m_rootStays;
};

} // namespace brindle
