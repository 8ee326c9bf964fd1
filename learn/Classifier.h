#pragma once
#include <functional>
#include <QList>
#include <QString>
#include <QStringList>
#include <vector>

namespace brindle::learn {

// Nothing is judged until at least this many junk and this many wanted messages were learned: with
// fewer, a handful of tokens decide and wanted mail would be deleted on chance.
inline constexpr quint32 kMinLearnedPerClass = 20;

// How often a token was seen in learned junk and in learned wanted mail.
struct TokenCounts {
    quint32 junk = 0;
    quint32 wanted = 0;
};

// The combining's settings. s and x are SpamBayes' defaults; min_dev and the junk cutoff are
// bogofilter's, stricter than SpamBayes': a word shared by junk and wanted mail (a brand's own
// notices use phishing's words) then takes no part, and only a confident verdict deletes.
struct ClassifierSettings {
    double strength = 0.45;      // s: how much the assumed probability weighs against the counts
    double assumed = 0.5;        // x: the probability of a token never seen
    double minDeviation = 0.375; // tokens with |f(w) - 0.5| below this take no part
    int maxDiscriminators = 150; // only the most extreme tokens are combined
    double junkCutoff = 0.99;    // at or above: junk (and only this deletes)
    double wantedCutoff = 0.20;  // below: wanted; between the two: unsure, kept
};

enum class Verdict {
    NotReady, // fewer than kMinLearnedPerClass of either class learned: kept
    Wanted,
    Unsure, // kept
    Junk,
};

struct WeighedToken {
    QString token;
    double probability = 0.5; // f(w)
};

struct Judgement {
    Verdict verdict = Verdict::NotReady;
    double score = 0.5;          // the indicator, 0 wanted .. 1 junk
    QList<WeighedToken> reasons; // the tokens that weighed most, strongest first
};

// Gary Robinson, "A Statistical Approach to the Spam Problem", Linux Journal, 2003: each token's
// f(w) = (s·x + n·p(w)) / (s + n), where p(w) is the token's junk probability from its counts and n
// the number of messages it was seen in; the f(w) of the most extreme tokens are combined with
// Fisher's inverse chi-square method as SpamBayes describes it (chi2_spamprob): H and S are the
// chi-square probabilities of the wanted and junk hypotheses, and the indicator is (1 + S - H) / 2.
// tokens: the message's distinct tokens; counts(i): what was learned about tokens[i].
Judgement judge(const QStringList& tokens, const QList<TokenCounts>& counts, quint32 learnedJunk,
                quint32 learnedWanted, const ClassifierSettings& settings = {}, int reasonCount = 5);
// The same, of counts.size() tokens whose texts tokenText gives (asked only of the reasons).
Judgement judge(const std::function<QString(qsizetype)>& tokenText, const QList<TokenCounts>& counts,
                quint32 learnedJunk, quint32 learnedWanted, const ClassifierSettings& settings = {},
                int reasonCount = 5);

// What one token weighs: its f(w) (below) and the logarithms the combining sums, made once per token
// and learned state, so that a check can keep them for the tokens its messages share.
struct TokenWeight {
    double f = 0.5;
    double logF = 0;    // ln max(f, 1e-300)
    double logNotF = 0; // ln max(1 - f, 1e-300)
};
TokenWeight weigh(TokenCounts counts, quint32 learnedJunk, quint32 learnedWanted,
                  const ClassifierSettings& settings);
// The judgement of tokens weighed already (weights[i] of the token tokenText(i)); the same as judge()
// of the counts they were weighed from.
Judgement combine(const std::function<QString(qsizetype)>& tokenText, const std::vector<TokenWeight>& weights,
                  quint32 learnedJunk, quint32 learnedWanted, const ClassifierSettings& settings = {},
                  int reasonCount = 5);

// The survival function of the chi-square distribution with an even number of degrees of freedom.
double chi2Q(double x2, int degrees);

} // namespace brindle::learn
