#pragma once
#include "learn/Classifier.h"

#include <functional>
#include <optional>
#include <QByteArrayView>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QSqlQuery>
#include <QString>
#include <vector>

class QSqlError;

namespace brindle {
struct DecodedMessage;
}

namespace brindle::learn {

// Pruning keeps at most this many learned messages (the newest): with ours compact rows 10,000
// learned messages take a few megabytes, well under the 20 MB a user should spare for this.
inline constexpr qint64 kMaxLearnedMessages = 10'000;
// And none learned longer ago than this: junk changes its words within a year or two.
inline constexpr qint64 kMaxLearnedAgeDays = 730;
// Pruning runs once the count is this far over the limit, so that it does not rescale every token
// after every message learned.
inline constexpr qint64 kPruneSlack = 200;
// The store file may grow to this before its rarest tokens are dropped: tokens seen in only one or
// two messages take no part in a judgement (min_dev), yet they are most of a large vocabulary. With
// the write-ahead log beside it the store stays under 20 MB.
inline constexpr qint64 kMaxStoreBytes = 14'000'000;
// How long a writer waits for another (the window and brindle-check) before reporting "locked".
inline constexpr int kBusyTimeoutMs = 10'000;

enum class StoreError {
    None,
    Corrupt,     // not a database, or damaged: left as it is, never made afresh over
    Locked,      // another program held it longer than kBusyTimeoutMs
    ReadOnly,    // the file or its folder may not be written
    Full,        // the disk is full
    Unavailable, // missing folder, no SQLite driver, or another input/output error
};
// A Japanese sentence for the user, naming the file.
QString describeStoreError(StoreError error, const QString& path);

enum class MessageClass { Junk = 1, Wanted = 2 };

enum class LearnResult {
    Learned,        // counted for the first time
    AlreadyLearned, // learned before as the same class: counted once
    Moved,          // learned before as the other class: moved to this one
    Forgotten,
    NotLearned, // forget: nothing to undo (never learned, or pruned since)
};

struct LearnItem {
    QByteArray raw; // the whole message
    MessageClass cls = MessageClass::Junk;
};

// The counts a store has read, by token hash: an open-addressing table, at most half full. The
// hashes are placed by a mix of them with the process's random seed, so that no tokens can be
// made to fall into one chain.
class CountCache {
public:
    void clear();
    void reserve(qsizetype n);
    qsizetype size() const { return m_size; }
    // The counts of h, or nullptr when they were not read.
    const TokenCounts* find(qint64 h) const;
    void insert(qint64 h, TokenCounts counts);
    // What h's counts (none when not read) weigh with these totals and settings, kept with them: the
    // tokens of a mailbox recur from message to message.
    TokenWeight weightOf(qint64 h, quint32 learnedJunk, quint32 learnedWanted,
                         const ClassifierSettings& settings);

private:
    struct Slot {
        qint64 hash = 0;
        TokenCounts counts;
        bool used = false;
        bool weighed = false; // weight is that of counts under m_weighedBy
        TokenWeight weight;
    };
    // What the weights kept were made with.
    struct WeighedBy {
        quint32 junk = 0, wanted = 0;
        double strength = -1, assumed = -1;
        bool operator==(const WeighedBy&) const = default;
    };
    std::size_t indexOf(qint64 h) const;
    std::size_t slotOf(qint64 h) const; // h's slot, or m_slots.size() when h was not read
    void rehash(std::size_t slots);
    std::vector<Slot> m_slots; // a power of two in size, or none
    qsizetype m_size = 0;
    quint64 m_seed = 0;
    WeighedBy m_weighedBy;
    TokenWeight m_unseenWeight; // of a token never learned, under m_weighedBy
};

// What was learned, in an SQLite file (WAL, a transaction per call, a busy timeout so that the
// window and brindle-check can use it together). Per token it keeps the counts of junk and wanted
// messages it occurred in, keyed by a 64-bit hash of the token; per message the SHA-256 of its raw
// bytes (line ends read as LF), its class and when it was learned. No token lists are kept: to
// forget or move a message its bytes are given again (the file, the quarantine copy, the server's
// copy), and tokenised again. Pruning drops the oldest messages and scales every token's counts by
// the share of each class that is kept, as the expected undoing of what was dropped. One object is
// used from one thread (its Qt SQL connection is); each program or thread opens its own.
class LearnStore {
public:
    // "★MailData/learned.sqlite" under the application folder.
    static QString defaultPath();

    explicit LearnStore(const QString& path = defaultPath());
    ~LearnStore();
    LearnStore(const LearnStore&) = delete;
    LearnStore& operator=(const LearnStore&) = delete;

    // Opens the file, creating it (owner only, 0600) when it is missing. False with error() set
    // otherwise; a file that is not a sound store is never replaced.
    bool open();
    StoreError error() const { return m_error; }
    QString errorText() const { return describeStoreError(m_error, m_path); }
    const QString& path() const { return m_path; }

    // All the items in one transaction: all are learned, or none (and error() tells why).
    std::optional<QList<LearnResult>> learn(const QList<LearnItem>& items, qint64 nowSecs = -1);
    std::optional<LearnResult> learn(const QByteArray& raw, MessageClass cls, qint64 nowSecs = -1);
    std::optional<LearnResult> forget(const QByteArray& raw);
    // The class a message was learned as, if it was.
    std::optional<std::optional<MessageClass>> learnedClass(const QByteArray& raw);

    struct Totals {
        quint32 junk = 0;
        quint32 wanted = 0;
        qint64 generation = 0; // goes up with every change that was committed
    };
    std::optional<Totals> totals();

    // The judgement of a message by its tokens; a message learned as wanted (the same bytes) is
    // judged wanted whatever they weigh.
    std::optional<Judgement> judge(const QByteArray& raw, const ClassifierSettings& settings = {});
    // The same, of a message decoded already (decodeMessage(raw)).
    std::optional<Judgement> judge(const QByteArray& raw, const DecodedMessage& decoded,
                                   const ClassifierSettings& settings = {});
    // The same for a caller that acts on junk alone (a check that lists nothing): an unsure message is
    // kept whatever the user learned it as, so only a junk verdict looks the message up among those
    // learned as wanted (its digest, the dearest part of judging a long message). An unsure verdict
    // and its score then stand as weighed, and no reasons are given.
    std::optional<Judgement> judgeForDeletion(const QByteArray& raw, const DecodedMessage& decoded,
                                              const ClassifierSettings& settings = {});
    std::optional<Judgement> judgeTokens(const QStringList& tokens, const ClassifierSettings& settings = {});

    // What was learned about each token.
    std::optional<QList<TokenCounts>> countsOf(const QStringList& tokens);

    // Before open(): how long to wait for another writer (kBusyTimeoutMs unless set).
    void setBusyTimeout(int ms) { m_busyTimeoutMs = ms; }

    // Drops messages learned before nowSecs - maxAgeDays and all but the newest maxMessages, and
    // when the file is larger than maxBytes, the tokens seen in fewest messages.
    bool prune(qint64 maxMessages = kMaxLearnedMessages, qint64 maxAgeDays = kMaxLearnedAgeDays,
               qint64 nowSecs = -1, qint64 maxBytes = kMaxStoreBytes);

    static QByteArray digestOf(QByteArrayView raw);
    static qint64 tokenHash(QStringView token);

private:
    bool fail(const QSqlError& error);
    bool exec(const QString& sql);
    bool begin();
    bool commit();
    void rollback();
    bool applyDeltas(const QHash<qint64, std::pair<qint64, qint64>>& deltas);
    bool bumpGeneration();
    std::optional<QList<TokenCounts>> countsOf(const std::vector<qint64>& hashes, qint64 generation);
    std::optional<Judgement> judgeHashes(const std::vector<qint64>& hashes,
                                         const std::function<QString(qsizetype)>& tokenText,
                                         const ClassifierSettings& settings, int reasonCount = 5);
    std::optional<qint64> generation();
    std::optional<Judgement> judged(const QByteArray& raw, std::optional<Judgement> j, bool unsureToo = true);

    QSqlQuery* prepared(std::optional<QSqlQuery>& query, const QString& sql);
    bool runPrepared(std::optional<QSqlQuery>& query, const QString& sql);

    // Counts read for judging, for the next messages of the same check: most of a mailbox's tokens
    // recur from message to message. Valid for one generation of the store; none when this object
    // changes it.
    CountCache m_countCache;
    qint64 m_cacheGeneration = -1;
    std::optional<Totals> m_cachedTotals; // the totals of the generation they name
    bool m_wholeTable = false;            // the cache holds every token of the generation
    qint64 m_lookups = 0;                 // tokens looked up one by one in the generation
    qint64 m_tokenRows = -1;              // the tokens of the generation, once counted
    QElapsedTimer m_generationRead;       // since the generation was last read; invalid: read it next
    // Prepared once and kept: judging a message runs no statement that SQLite has to parse.
    std::optional<QSqlQuery> m_generationQuery, m_countQuery, m_classQuery, m_beginQuery, m_endQuery;

    QString m_path;
    QString m_connection;
    int m_busyTimeoutMs = kBusyTimeoutMs;
    bool m_open = false;
    StoreError m_error = StoreError::None;
};

} // namespace brindle::learn
