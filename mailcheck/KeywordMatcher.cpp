#include "mailcheck/KeywordMatcher.h"

#include "keywords/KeywordFile.h"
#include "mailcheck/mime/MimeDecode.h"

#include <algorithm>
#include <array>
#include <deque>
#include <unordered_map>

namespace brindle {

qsizetype leadingSpaceCount(QStringView text) {
    qsizetype i = 0;
    while (i < text.size() && text[i] == u' ') {
        ++i;
    }
    return i;
}

QString trimSpaces(QStringView text) {
    qsizetype begin = leadingSpaceCount(text);
    qsizetype end = text.size();
    while (end > begin && text[end - 1] == u' ') {
        --end;
    }
    return text.mid(begin, end - begin).toString();
}

// ---------------------------------------------------------------------------------------------
// KeywordMatcher

KeywordMatcher::KeywordMatcher(const QStringList& records) {
    m_keywords.reserve(records.size());
    for (const QString& record : records) {
        m_keywords.append(foldJapaneseVariants(trimSpaces(removeInvisibleCharacters(record))));
    }

    // The trie, with edges in a hash keyed by (state, unit) while it grows.
    std::unordered_map<quint64, int> edges;
    std::vector<int> best(1, -1);
    m_rootNext.assign(0x10000, 0);
    for (qsizetype r = 0; r < m_keywords.size(); ++r) {
        const QString& k = m_keywords.at(r);
        if (k.isEmpty()) {
            continue;
        }
        if (m_firstActive < 0) {
            m_firstActive = r;
        }
        int state = 0;
        for (QChar qc : k) {
            const char16_t c = qc.unicode();
            int next;
            if (state == 0) {
                next = m_rootNext[c];
                if (next == 0) {
                    next = static_cast<int>(best.size());
                    best.push_back(-1);
                    m_rootNext[c] = next;
                }
            } else {
                const quint64 key = (static_cast<quint64>(state) << 16) | c;
                auto it = edges.find(key);
                if (it == edges.end()) {
                    next = static_cast<int>(best.size());
                    best.push_back(-1);
                    edges.emplace(key, next);
                } else {
                    next = it->second;
                }
            }
            state = next;
        }
        // Records come in file order, so the first one to end here is the earliest.
        if (best[state] < 0) {
            best[state] = static_cast<int>(r);
        }
    }

    // Edges of the other states as sorted runs.
    struct Edge {
        int from;
        char16_t c;
        int to;
    };
    std::vector<Edge> flat;
    flat.reserve(edges.size());
    for (const auto& [key, to] : edges) {
        flat.push_back({static_cast<int>(key >> 16), static_cast<char16_t>(key & 0xFFFF), to});
    }
    std::sort(flat.begin(), flat.end(),
              [](const Edge& a, const Edge& b) { return a.from != b.from ? a.from < b.from : a.c < b.c; });
    m_nodes.assign(best.size(), Node{});
    m_edgeChars.resize(flat.size());
    m_edgeTargets.resize(flat.size());
    for (std::size_t i = 0; i < flat.size(); ++i) {
        m_edgeChars[i] = flat[i].c;
        m_edgeTargets[i] = flat[i].to;
        Node& n = m_nodes[flat[i].from];
        if (n.edgeEnd == n.edgeBegin) {
            n.edgeBegin = static_cast<quint32>(i);
        }
        n.edgeEnd = static_cast<quint32>(i + 1);
    }
    for (std::size_t s = 0; s < best.size(); ++s) {
        m_nodes[s].best = best[s];
    }
    // An invisible character outside the surrogates is one unit that no keyword holds, so at the
    // root it stays there whether it is passed over or stepped on.
    m_rootStays.assign(0x10000 / 64, 0);
    for (int c = 0; c < 0x10000; ++c) {
        if ((c < 0xD800 || c > 0xDFFF) && m_rootNext[foldJapaneseVariant(static_cast<char16_t>(c))] == 0) {
            m_rootStays[c / 64] |= quint64(1) << (c % 64);
        }
    }

    // Failure links breadth first, so that a state's failure target is complete before the state.
    std::deque<int> queue;
    for (int c = 0; c < 0x10000; ++c) {
        if (const int t = m_rootNext[c]; t != 0) {
            m_nodes[t].fail = 0;
            queue.push_back(t);
        }
    }
    while (!queue.empty()) {
        const int u = queue.front();
        queue.pop_front();
        for (quint32 i = m_nodes[u].edgeBegin; i < m_nodes[u].edgeEnd; ++i) {
            const int v = m_edgeTargets[i];
            const int f = step(m_nodes[u].fail, m_edgeChars[i]);
            m_nodes[v].fail = f;
            const int inherited = m_nodes[f].best;
            if (inherited >= 0 && (m_nodes[v].best < 0 || inherited < m_nodes[v].best)) {
                m_nodes[v].best = inherited;
            }
            queue.push_back(v);
        }
    }
}

int KeywordMatcher::child(int state, char16_t c) const {
    const Node& n = m_nodes[state];
    const char16_t* const chars = m_edgeChars.data();
    // Most states have a handful of edges: a straight scan beats the branches of a binary search.
    if (n.edgeEnd - n.edgeBegin <= 8) {
        for (quint32 i = n.edgeBegin; i < n.edgeEnd; ++i) {
            if (chars[i] == c) {
                return m_edgeTargets[i];
            }
        }
        return -1;
    }
    const char16_t* const begin = chars + n.edgeBegin;
    const char16_t* const end = chars + n.edgeEnd;
    const char16_t* const it = std::lower_bound(begin, end, c);
    if (it == end || *it != c) {
        return -1;
    }
    return m_edgeTargets[static_cast<std::size_t>(it - chars)];
}

int KeywordMatcher::step(int state, char16_t c) const {
    for (;;) {
        if (state == 0) {
            return m_rootNext[c];
        }
        if (const int t = child(state, c); t >= 0) {
            return t;
        }
        state = m_nodes[state].fail;
    }
}

qsizetype KeywordMatcher::earliestRecordIn(QStringView text, qsizetype before) const {
    if (m_firstActive < 0) {
        return -1;
    }
    int found = -1;
    int state = 0;
    const qsizetype n = text.size();
    const char16_t* const units = text.utf16();
    const quint64* const stays = m_rootStays.data();
    for (qsizetype i = 0; i < n; ++i) {
        if (state == 0) {
            const auto stay = [stays](char16_t u) { return stays[u >> 6] >> (u & 63) & 1; };
            // Four units a test while all four stay, then one by one up to the first that does not.
            while (i + 4 <= n &&
                   (stay(units[i]) & stay(units[i + 1]) & stay(units[i + 2]) & stay(units[i + 3])) != 0) {
                i += 4;
            }
            while (i < n && stay(units[i]) != 0) {
                ++i;
            }
            if (i == n) {
                break;
            }
        }
        const char16_t unit = units[i];
        // Invisible characters are passed over, as the keywords hold none: a word broken up by them
        // reads whole. Below U+00AD and from U+2070 up to the surrogates none is: the test of those
        // ranges spares most characters of Latin and Japanese text the lookup.
        if (unit >= 0xAD && (unit < 0x2070 || unit >= 0xD800)) {
            if (const qsizetype skip = invisibleLengthAt(text, i); skip > 0) {
                i += skip - 1;
                continue;
            }
        }
        // The keywords are folded, so a variant steps where its folded form does.
        const char16_t c = foldJapaneseVariant(unit);
        state = state == 0 ? m_rootNext[c] : step(state, c);
        const int b = m_nodes[state].best;
        if (b >= 0 && (found < 0 || b < found)) {
            found = b;
            if (found == m_firstActive) {
                break; // nothing can come earlier
            }
        }
    }
    if (before >= 0 && found >= before) {
        return -1;
    }
    return found;
}

TextSpan KeywordMatcher::locate(QStringView text, QStringView keyword) {
    if (keyword.isEmpty()) {
        return {};
    }
    const qsizetype n = text.size();
    for (qsizetype start = 0; start < n; ++start) {
        if (invisibleLengthAt(text, start) > 0 || foldJapaneseVariant(text[start].unicode()) != keyword[0]) {
            continue;
        }
        qsizetype i = start;
        qsizetype k = 0;
        while (i < n && k < keyword.size()) {
            if (const qsizetype skip = invisibleLengthAt(text, i); skip > 0) {
                i += skip;
            } else if (foldJapaneseVariant(text[i].unicode()) == keyword[k]) {
                ++i;
                ++k;
            } else {
                break;
            }
        }
        if (k == keyword.size()) {
            return {start, i - start};
        }
    }
    return {};
}

} // namespace brindle
