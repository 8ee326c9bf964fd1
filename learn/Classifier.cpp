#include "learn/Classifier.h"

#include <algorithm>
#include <cmath>

namespace brindle::learn {

double chi2Q(double x2, int degrees) {
    const double m = x2 / 2.0;
    double term = std::exp(-m);
    double sum = term;
    for (int i = 1; i < degrees / 2; ++i) {
        term *= m / i;
        sum += term;
    }
    return std::min(sum, 1.0);
}

Judgement judge(const QStringList& tokens, const QList<TokenCounts>& counts, quint32 learnedJunk,
                quint32 learnedWanted, const ClassifierSettings& settings, int reasonCount) {
    return judge([&](qsizetype i) { return tokens[i]; }, counts.first(std::min(tokens.size(), counts.size())),
                 learnedJunk, learnedWanted, settings, reasonCount);
}

TokenWeight weigh(TokenCounts c, quint32 learnedJunk, quint32 learnedWanted,
                  const ClassifierSettings& settings) {
    const double n = double(c.junk) + c.wanted;
    double f = settings.assumed;
    if (n > 0) {
        // Ratios per class, so that learning more of one class does not tilt every token; counts
        // above the class total (left by pruning's rounding) read as the total.
        const double junkRatio = std::min(1.0, double(c.junk) / learnedJunk);
        const double wantedRatio = std::min(1.0, double(c.wanted) / learnedWanted);
        const double p = junkRatio / (junkRatio + wantedRatio);
        f = (settings.strength * settings.assumed + n * p) / (settings.strength + n);
    }
    return {f, std::log(std::max(f, 1e-300)), std::log(std::max(1.0 - f, 1e-300))};
}

Judgement judge(const std::function<QString(qsizetype)>& tokenText, const QList<TokenCounts>& counts,
                quint32 learnedJunk, quint32 learnedWanted, const ClassifierSettings& settings,
                int reasonCount) {
    if (learnedJunk < kMinLearnedPerClass || learnedWanted < kMinLearnedPerClass)
        return Judgement{};
    std::vector<TokenWeight> weights;
    weights.reserve(counts.size());
    for (const TokenCounts c : counts)
        weights.push_back(weigh(c, learnedJunk, learnedWanted, settings));
    return combine(tokenText, weights, learnedJunk, learnedWanted, settings, reasonCount);
}

Judgement combine(const std::function<QString(qsizetype)>& tokenText, const std::vector<TokenWeight>& weights,
                  quint32 learnedJunk, quint32 learnedWanted, const ClassifierSettings& settings,
                  int reasonCount) {
    Judgement j;
    if (learnedJunk < kMinLearnedPerClass || learnedWanted < kMinLearnedPerClass)
        return j;

    struct Clue {
        double distance;
        qsizetype index;
    };
    std::vector<Clue> clues;
    clues.reserve(weights.size());
    for (std::size_t i = 0; i < weights.size(); ++i) {
        const double distance = std::abs(weights[i].f - 0.5);
        if (distance >= settings.minDeviation)
            clues.push_back({distance, qsizetype(i)});
    }
    // The most extreme first; ties by token order, so the result does not depend on the sort. Only
    // the ones combined are put in order.
    const auto stronger = [](const Clue& a, const Clue& b) {
        return a.distance != b.distance ? a.distance > b.distance : a.index < b.index;
    };
    if (clues.size() > std::size_t(settings.maxDiscriminators)) {
        std::partial_sort(clues.begin(), clues.begin() + settings.maxDiscriminators, clues.end(), stronger);
        clues.resize(settings.maxDiscriminators);
    } else {
        std::sort(clues.begin(), clues.end(), stronger);
    }

    double logJunkish = 0.0;   // ln Π f
    double logWantedish = 0.0; // ln Π (1 - f)
    for (const Clue& c : clues) {
        logJunkish += weights[c.index].logF;
        logWantedish += weights[c.index].logNotF;
    }
    const int n = int(clues.size());
    if (n == 0) {
        j.score = 0.5;
    } else {
        const double s = 1.0 - chi2Q(-2.0 * logWantedish, 2 * n); // evidence of junk
        const double h = 1.0 - chi2Q(-2.0 * logJunkish, 2 * n);   // evidence of wanted mail
        j.score = (s - h + 1.0) / 2.0;
    }
    j.verdict = j.score >= settings.junkCutoff    ? Verdict::Junk
                : j.score < settings.wantedCutoff ? Verdict::Wanted
                                                  : Verdict::Unsure;
    for (int i = 0; i < n && i < reasonCount; ++i)
        j.reasons.append({tokenText(clues[i].index), weights[clues[i].index].f});
    return j;
}

} // namespace brindle::learn
