#include "learn/LearnStore.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

#include <openssl/evp.h>

#include "learn/Tokenizer.h"
#include "platform/AppFolder.h"

#include <QAtomicInt>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

namespace brindle::learn {

namespace {

// The counts kept between the messages of one check: some 30 bytes each, so a few MB at most, while
// a mailbox's recurring vocabulary is far smaller; past it the cache starts afresh.
constexpr qsizetype kMaxCachedCounts = 200'000;
// A token looked up alone costs about as much as this many rows read in one scan of the table
// (bench/learn measures both).
constexpr qint64 kLookupsPerScannedRow = 8;
constexpr int kSchemaVersion = 1;
constexpr qint64 kMaxLogBytes = 4'000'000;
// Judging from memory looks at the store's generation (one SQL statement, some microseconds a
// message) at most this often: another program's learning reaches a running check within this time,
// and before any junk verdict, which deletes.
constexpr qint64 kGenerationRecheckMs = 200;
// The stack buffer a message's text goes through to the hash without its CRs.
constexpr std::size_t kDigestBufferBytes = 16 * 1024;

StoreError errorOf(const QSqlError& e) {
    bool ok = false;
    const int code = e.nativeErrorCode().toInt(&ok) & 0xFF; // the primary result code
    if (!ok)
        return StoreError::Unavailable;
    switch (code) {
    case 5: // SQLITE_BUSY
    case 6: // SQLITE_LOCKED
        return StoreError::Locked;
    case 8: // SQLITE_READONLY
        return StoreError::ReadOnly;
    case 11: // SQLITE_CORRUPT
    case 26: // SQLITE_NOTADB
        return StoreError::Corrupt;
    case 13: // SQLITE_FULL
        return StoreError::Full;
    default:
        return StoreError::Unavailable;
    }
}

qint64 now(qint64 given) {
    return given >= 0 ? given : QDateTime::currentSecsSinceEpoch();
}

// The message's text with line ends read as LF (the CR of each CR LF left out), handed to piece in
// few large pieces through a buffer: a piece per line would cost more than hashing the line.
template <typename Piece> void forEachPieceWithoutCr(QByteArrayView raw, Piece piece) {
    char buffer[kDigestBufferBytes];
    std::size_t held = 0;
    const auto copy = [&](const char* from, const char* to) {
        while (from < to) {
            const std::size_t n = std::min(std::size_t(to - from), sizeof buffer - held);
            std::memcpy(buffer + held, from, n);
            held += n;
            from += n;
            if (held == sizeof buffer) {
                piece(buffer, held);
                held = 0;
            }
        }
    };
    const char* p = raw.data();
    const char* const end = p + raw.size();
    while (p < end) {
        const char* cr = static_cast<const char*>(std::memchr(p, '\r', std::size_t(end - p)));
        if (cr == nullptr) {
            copy(p, end);
            break;
        }
        const bool beforeLf = cr + 1 < end && cr[1] == '\n';
        copy(p, beforeLf ? cr : cr + 1);
        p = cr + 1;
    }
    if (held > 0)
        piece(buffer, held);
}

} // namespace

QString describeStoreError(StoreError error, const QString& path) {
    const QString name = QFileInfo(path).fileName();
    switch (error) {
    case StoreError::None:
        return QString();
    case StoreError::Corrupt:
        return QStringLiteral("学習の記録 %1 が壊れています。学習した判定は使わずに続けます。").arg(name);
    case StoreError::Locked:
        return QStringLiteral("学習の記録 %1 を他のプログラムが使用中です。学習した判定は使わずに続けます。")
            .arg(name);
    case StoreError::ReadOnly:
        return QStringLiteral("学習の記録 %1 に書き込めません。学習した判定は使わずに続けます。").arg(name);
    case StoreError::Full:
        return QStringLiteral("ディスクがいっぱいで学習の記録 %1 に書き込めません。").arg(name);
    case StoreError::Unavailable:
        return QStringLiteral("学習の記録 %1 を開けません。学習した判定は使わずに続けます。").arg(name);
    }
    return QString();
}

QString LearnStore::defaultPath() {
    return appPath(QStringLiteral("\\★MailData\\learned.sqlite"));
}

LearnStore::LearnStore(const QString& path) : m_path(path) {
    static QAtomicInt serial;
    m_connection = QStringLiteral("brindle-learn-%1").arg(serial.fetchAndAddRelaxed(1));
}

void CountCache::clear() {
    m_slots = {};
    m_size = 0;
}

void CountCache::reserve(qsizetype n) {
    std::size_t slots = 16;
    while (slots < std::size_t(n) * 2)
        slots *= 2;
    if (slots > m_slots.size())
        rehash(slots);
}

std::size_t CountCache::indexOf(qint64 h) const {
    // The finaliser of MurmurHash3: every bit of the hash moves every bit of the index.
    quint64 x = quint64(h) ^ m_seed;
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDull;
    x ^= x >> 33;
    x *= 0xC4CEB9FE1A85EC53ull;
    x ^= x >> 33;
    return std::size_t(x) & (m_slots.size() - 1);
}

std::size_t CountCache::slotOf(qint64 h) const {
    if (m_slots.empty())
        return 0;
    for (std::size_t i = indexOf(h);; i = (i + 1) & (m_slots.size() - 1)) {
        const Slot& s = m_slots[i];
        if (!s.used)
            return m_slots.size();
        if (s.hash == h)
            return i;
    }
}

const TokenCounts* CountCache::find(qint64 h) const {
    const std::size_t i = slotOf(h);
    return i < m_slots.size() ? &m_slots[i].counts : nullptr;
}

void CountCache::insert(qint64 h, TokenCounts counts) {
    if (std::size_t(m_size + 1) * 2 > m_slots.size())
        rehash(std::max<std::size_t>(16, m_slots.size() * 2));
    std::size_t i = indexOf(h);
    for (; m_slots[i].used; i = (i + 1) & (m_slots.size() - 1)) {
        if (m_slots[i].hash == h) {
            m_slots[i].counts = counts;
            m_slots[i].weighed = false;
            return;
        }
    }
    m_slots[i] = {h, counts, true, false, {}};
    ++m_size;
}

TokenWeight CountCache::weightOf(qint64 h, quint32 learnedJunk, quint32 learnedWanted,
                                 const ClassifierSettings& settings) {
    const WeighedBy by{learnedJunk, learnedWanted, settings.strength, settings.assumed};
    if (!(by == m_weighedBy)) {
        for (Slot& s : m_slots)
            s.weighed = false;
        m_weighedBy = by;
        m_unseenWeight = weigh(TokenCounts{}, learnedJunk, learnedWanted, settings);
    }
    const std::size_t i = slotOf(h);
    if (i == m_slots.size())
        return m_unseenWeight;
    Slot& s = m_slots[i];
    if (!s.weighed) {
        s.weight = weigh(s.counts, learnedJunk, learnedWanted, settings);
        s.weighed = true;
    }
    return s.weight;
}

void CountCache::rehash(std::size_t slots) {
    if (m_seed == 0)
        m_seed = quint64(std::size_t(QHashSeed::globalSeed())) | 1;
    std::vector<Slot> old = std::exchange(m_slots, std::vector<Slot>(slots));
    for (const Slot& s : old) {
        if (!s.used)
            continue;
        std::size_t i = indexOf(s.hash);
        while (m_slots[i].used)
            i = (i + 1) & (m_slots.size() - 1);
        m_slots[i] = s;
    }
}

LearnStore::~LearnStore() {
    // The prepared statements before their connection goes.
    for (auto* q : {&m_generationQuery, &m_countQuery, &m_classQuery, &m_beginQuery, &m_endQuery})
        q->reset();
    if (QSqlDatabase::contains(m_connection)) {
        QSqlDatabase::database(m_connection, false).close();
        QSqlDatabase::removeDatabase(m_connection);
    }
}

QByteArray LearnStore::digestOf(QByteArrayView raw) {
    // Line ends read as LF: the server's copy and a saved copy of one message are one message.
    // OpenSSL's SHA-256 uses the processor's SHA instructions, several times as fast as Qt's: a
    // check digests every message not judged wanted. Qt's should OpenSSL refuse.
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    bool ok = ctx && EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) == 1;
    if (ok)
        forEachPieceWithoutCr(raw, [&](const char* data, std::size_t size) {
            ok = ok && EVP_DigestUpdate(ctx.get(), data, size) == 1;
        });
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (ok && EVP_DigestFinal_ex(ctx.get(), digest, &size) == 1)
        return QByteArray(reinterpret_cast<const char*>(digest), int(size));
    QCryptographicHash hash(QCryptographicHash::Sha256);
    forEachPieceWithoutCr(raw, [&](const char* data, std::size_t size) {
        hash.addData(QByteArrayView(data, qsizetype(size)));
    });
    return hash.result();
}

qint64 LearnStore::tokenHash(QStringView token) {
    // FNV-1a, 64 bits: stable across versions and builds, and among a million tokens two share a
    // hash with a chance of about one in thirty million.
    quint64 h = 14695981039346656037ull;
    for (QChar c : token) {
        h = (h ^ (c.unicode() & 0xFF)) * 1099511628211ull;
        h = (h ^ (c.unicode() >> 8)) * 1099511628211ull;
    }
    return static_cast<qint64>(h);
}

bool LearnStore::fail(const QSqlError& e) {
    m_error = errorOf(e);
    return false;
}

bool LearnStore::exec(const QString& sql) {
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    return q.exec(sql) || fail(q.lastError());
}

bool LearnStore::begin() {
    // IMMEDIATE: the write lock is taken (or waited for) at once, never half-way through.
    return exec(QStringLiteral("BEGIN IMMEDIATE"));
}
bool LearnStore::commit() {
    if (exec(QStringLiteral("COMMIT")))
        return true;
    rollback();
    return false;
}
void LearnStore::rollback() {
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.exec(QStringLiteral("ROLLBACK"));
}

bool LearnStore::open() {
    m_error = StoreError::None;
    const QFileInfo info(m_path);
    if (!info.exists()) {
        if (!info.absoluteDir().exists()) {
            m_error = StoreError::Unavailable;
            return false;
        }
        QFile file(m_path);
        // Only the user reads what they marked as wanted or junk.
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly,
                       QFileDevice::ReadOwner | QFileDevice::WriteOwner) &&
            !QFileInfo::exists(m_path)) {
            m_error = info.absoluteDir().exists() && !QFileInfo(info.absolutePath()).isWritable()
                          ? StoreError::ReadOnly
                          : StoreError::Unavailable;
            return false;
        }
    } else if (info.size() > 0) {
        // Anything but an SQLite file is left alone: a fresh store made over it would lose what it held.
        QFile file(m_path);
        if (!file.open(QIODevice::ReadOnly)) {
            m_error = StoreError::Unavailable;
            return false;
        }
        if (file.read(16) != QByteArrayView("SQLite format 3\0", 16)) {
            m_error = StoreError::Corrupt;
            return false;
        }
    }
    if (!QFileInfo(m_path).isWritable() || !QFileInfo(info.absolutePath()).isWritable()) {
        m_error = StoreError::ReadOnly; // WAL needs its files beside the store
        return false;
    }
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE"))) {
        m_error = StoreError::Unavailable;
        return false;
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    db.setDatabaseName(m_path);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(m_busyTimeoutMs));
    if (!db.open())
        return fail(db.lastError());

    QSqlQuery q(db);
    // FULL: a committed message stays learned through a kill and through a power cut.
    if (!exec(QStringLiteral("PRAGMA synchronous=FULL")))
        return false;
    // The write-ahead log is cut back to this after each checkpoint, so that it adds at most a few
    // megabytes to the store's room on disk.
    if (!exec(QStringLiteral("PRAGMA journal_size_limit=%1").arg(kMaxLogBytes)))
        return false;
    // A store made before needs no write (its WAL mode is kept in the file): open() then works
    // while another program writes.
    if (!q.exec(QStringLiteral(
            "SELECT count(*) FROM sqlite_master WHERE name IN ('meta', 'tokens', 'messages')")))
        return fail(q.lastError());
    const bool complete = q.next() && q.value(0).toInt() == 3;
    q.finish();
    if (!q.exec(QStringLiteral("PRAGMA quick_check(1)")))
        return fail(q.lastError());
    if (!q.next() || q.value(0).toString() != u"ok") {
        m_error = StoreError::Corrupt;
        return false;
    }
    q.finish();
    if (complete) {
        m_open = true;
        return true;
    }
    // Before any table: freed pages go back to the disk after pruning.
    if (!exec(QStringLiteral("PRAGMA auto_vacuum=INCREMENTAL")))
        return false;
    if (!q.exec(QStringLiteral("PRAGMA journal_mode=WAL")))
        return fail(q.lastError());
    q.finish();
    if (!begin())
        return false;
    const bool made =
        exec(QStringLiteral(
            "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL) WITHOUT ROWID")) &&
        exec(QStringLiteral("CREATE TABLE IF NOT EXISTS tokens(h INTEGER PRIMARY KEY, junk INTEGER NOT NULL, "
                            "wanted INTEGER NOT NULL)")) &&
        exec(QStringLiteral(
            "CREATE TABLE IF NOT EXISTS messages(digest BLOB PRIMARY KEY, class INTEGER NOT NULL, "
            "learned INTEGER NOT NULL) WITHOUT ROWID")) &&
        exec(QStringLiteral("CREATE INDEX IF NOT EXISTS messages_by_time ON messages(learned)")) &&
        exec(QStringLiteral("INSERT OR IGNORE INTO meta VALUES('schema', %1), ('generation', 0)")
                 .arg(kSchemaVersion));
    if (!made) {
        rollback();
        return false;
    }
    if (!commit())
        return false;
    m_open = true;
    return true;
}

bool LearnStore::applyDeltas(const QHash<qint64, std::pair<qint64, qint64>>& deltas) {
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(QStringLiteral(
        "INSERT INTO tokens(h, junk, wanted) VALUES(?1, max(0, ?2), max(0, ?3)) "
        "ON CONFLICT(h) DO UPDATE SET junk = max(0, junk + ?2), wanted = max(0, wanted + ?3)"));
    bool lowered = false;
    for (auto it = deltas.cbegin(); it != deltas.cend(); ++it) {
        if (it->first == 0 && it->second == 0)
            continue;
        lowered = lowered || it->first < 0 || it->second < 0;
        q.bindValue(0, it.key());
        q.bindValue(1, it->first);
        q.bindValue(2, it->second);
        q.bindValue(3, it->first);
        q.bindValue(4, it->second);
        if (!q.exec())
            return fail(q.lastError());
    }
    return !lowered || exec(QStringLiteral("DELETE FROM tokens WHERE junk = 0 AND wanted = 0"));
}

bool LearnStore::bumpGeneration() {
    m_generationRead.invalidate(); // what this object judges next sees its own change
    return exec(QStringLiteral("UPDATE meta SET value = value + 1 WHERE key = 'generation'"));
}

std::optional<QList<LearnResult>> LearnStore::learn(const QList<LearnItem>& items, qint64 nowSecs) {
    if (!m_open)
        return std::nullopt;
    const qint64 when = now(nowSecs);
    QList<LearnResult> results;
    QHash<qint64, std::pair<qint64, qint64>> deltas;
    auto add = [&](const std::vector<qint64>& hashes, MessageClass cls, int sign) {
        for (qint64 h : hashes) {
            auto& d = deltas[h];
            (cls == MessageClass::Junk ? d.first : d.second) += sign;
        }
    };
    if (!begin())
        return std::nullopt;
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery find(db), insert(db), move(db);
    find.prepare(QStringLiteral("SELECT class FROM messages WHERE digest = ?"));
    insert.prepare(QStringLiteral("INSERT INTO messages(digest, class, learned) VALUES(?, ?, ?)"));
    move.prepare(QStringLiteral("UPDATE messages SET class = ?, learned = ? WHERE digest = ?"));
    bool ok = true;
    for (const LearnItem& item : items) {
        const QByteArray digest = digestOf(item.raw);
        find.bindValue(0, digest);
        if (!find.exec()) {
            ok = fail(find.lastError());
            break;
        }
        const int was = find.next() ? find.value(0).toInt() : 0; // 0: never learned
        find.finish();
        if (was == int(item.cls)) {
            results << LearnResult::AlreadyLearned;
            continue;
        }
        const TokenList tokens = tokenList(item.raw);
        add(tokens.hashes(), item.cls, +1);
        QSqlQuery& q = was != 0 ? move : insert;
        if (was != 0) {
            add(tokens.hashes(), MessageClass(was), -1);
            move.bindValue(0, int(item.cls));
            move.bindValue(1, when);
            move.bindValue(2, digest);
        } else {
            insert.bindValue(0, digest);
            insert.bindValue(1, int(item.cls));
            insert.bindValue(2, when);
        }
        if (!q.exec()) {
            ok = fail(q.lastError());
            break;
        }
        results << (was != 0 ? LearnResult::Moved : LearnResult::Learned);
    }
    ok = ok && applyDeltas(deltas) && (deltas.isEmpty() || bumpGeneration());
    if (!ok) {
        rollback();
        return std::nullopt;
    }
    if (!commit())
        return std::nullopt;
    // A checkpoint that readers kept from finishing leaves a long log: it is cut back here.
    if (QFileInfo(m_path + QStringLiteral("-wal")).size() > kMaxLogBytes)
        exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
    // Pruning is a transaction of its own: what was just learned stays learned if it fails.
    if (const std::optional<Totals> t = totals();
        t && (qint64(t->junk) + t->wanted > kMaxLearnedMessages + kPruneSlack ||
              QFileInfo(m_path).size() > kMaxStoreBytes))
        prune(kMaxLearnedMessages, kMaxLearnedAgeDays, when);
    return results;
}

std::optional<LearnResult> LearnStore::learn(const QByteArray& raw, MessageClass cls, qint64 nowSecs) {
    const std::optional<QList<LearnResult>> r = learn(QList<LearnItem>{{raw, cls}}, nowSecs);
    return r ? std::optional(r->front()) : std::nullopt;
}

std::optional<LearnResult> LearnStore::forget(const QByteArray& raw) {
    if (!m_open || !begin())
        return std::nullopt;
    const QByteArray digest = digestOf(raw);
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(QStringLiteral("SELECT class FROM messages WHERE digest = ?"));
    q.bindValue(0, digest);
    if (!q.exec()) {
        fail(q.lastError());
        rollback();
        return std::nullopt;
    }
    if (!q.next()) {
        rollback();
        return LearnResult::NotLearned;
    }
    const auto cls = MessageClass(q.value(0).toInt());
    q.finish();
    QHash<qint64, std::pair<qint64, qint64>> deltas;
    const TokenList tokens = tokenList(raw);
    for (qint64 h : tokens.hashes()) {
        auto& d = deltas[h];
        (cls == MessageClass::Junk ? d.first : d.second) -= 1;
    }
    QSqlQuery del(QSqlDatabase::database(m_connection, false));
    del.prepare(QStringLiteral("DELETE FROM messages WHERE digest = ?"));
    del.bindValue(0, digest);
    if (!(del.exec() || fail(del.lastError())) || !applyDeltas(deltas) || !bumpGeneration()) {
        rollback();
        return std::nullopt;
    }
    if (!commit())
        return std::nullopt;
    return LearnResult::Forgotten;
}

std::optional<LearnStore::Totals> LearnStore::totals() {
    if (!m_open)
        return std::nullopt;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    if (!q.exec(QStringLiteral("SELECT (SELECT count(*) FROM messages WHERE class = 1), "
                               "(SELECT count(*) FROM messages WHERE class = 2), "
                               "(SELECT value FROM meta WHERE key = 'generation')"))) {
        fail(q.lastError());
        return std::nullopt;
    }
    if (!q.next())
        return std::nullopt;
    return Totals{q.value(0).toUInt(), q.value(1).toUInt(), q.value(2).toLongLong()};
}

QSqlQuery* LearnStore::prepared(std::optional<QSqlQuery>& query, const QString& sql) {
    if (!query) {
        query.emplace(QSqlDatabase::database(m_connection, false));
        query->setForwardOnly(true);
        if (!query->prepare(sql)) {
            fail(query->lastError());
            query.reset();
            return nullptr;
        }
    }
    return &*query;
}

bool LearnStore::runPrepared(std::optional<QSqlQuery>& query, const QString& sql) {
    QSqlQuery* q = prepared(query, sql);
    if (q == nullptr)
        return false;
    const bool ok = q->exec() || fail(q->lastError());
    q->finish();
    return ok;
}

std::optional<qint64> LearnStore::generation() {
    QSqlQuery* q =
        prepared(m_generationQuery, QStringLiteral("SELECT value FROM meta WHERE key = 'generation'"));
    if (q == nullptr)
        return std::nullopt;
    if (!q->exec()) {
        fail(q->lastError());
        return std::nullopt;
    }
    const std::optional<qint64> g = q->next() ? std::optional(q->value(0).toLongLong()) : std::nullopt;
    q->finish(); // a statement left open would hold its read snapshot
    return g;
}

std::optional<QList<TokenCounts>> LearnStore::countsOf(const QStringList& tokens) {
    const std::optional<Totals> t = totals();
    if (!t)
        return std::nullopt;
    std::vector<qint64> hashes;
    hashes.reserve(tokens.size());
    for (const QString& token : tokens)
        hashes.push_back(tokenHash(token));
    return countsOf(hashes, t->generation);
}

std::optional<QList<TokenCounts>> LearnStore::countsOf(const std::vector<qint64>& hashes, qint64 generation) {
    if (generation != m_cacheGeneration) {
        m_countCache.clear(); // learnt or forgotten since, here or in another program
        m_cacheGeneration = generation;
        m_wholeTable = false;
        m_lookups = 0;
        m_tokenRows = -1;
    }
    QList<qint64> missing;
    if (!m_wholeTable) {
        for (qint64 h : hashes) {
            if (m_countCache.find(h) == nullptr)
                missing << h;
        }
    }
    if (!missing.isEmpty() && m_tokenRows < 0) {
        QSqlQuery rows(QSqlDatabase::database(m_connection, false));
        if (!rows.exec(QStringLiteral("SELECT count(*) FROM tokens")) || !rows.next()) {
            fail(rows.lastError());
            return std::nullopt;
        }
        m_tokenRows = rows.value(0).toLongLong();
    }
    // Read one by one, the tokens of a check cost more than the whole table once they are more than
    // an eighth of it (a row read in a scan costs about an eighth of a lookup): then the table is
    // read into memory, if it fits in the cache.
    if (!missing.isEmpty() && (m_lookups + missing.size()) * kLookupsPerScannedRow >= m_tokenRows &&
        m_tokenRows <= kMaxCachedCounts) {
        QSqlQuery all(QSqlDatabase::database(m_connection, false));
        all.setForwardOnly(true);
        if (!all.exec(QStringLiteral("SELECT h, junk, wanted FROM tokens"))) {
            fail(all.lastError());
            return std::nullopt;
        }
        m_countCache.clear();
        m_countCache.reserve(m_tokenRows);
        while (all.next())
            m_countCache.insert(all.value(0).toLongLong(),
                                TokenCounts{all.value(1).toUInt(), all.value(2).toUInt()});
        m_wholeTable = true; // a token not in it was never learned
        missing.clear();
    }
    if (m_countCache.size() + missing.size() > kMaxCachedCounts)
        m_countCache.clear();
    if (!missing.isEmpty()) {
        // One prepared lookup per token not yet read: after the first messages of a check only a
        // message's own words (names, numbers) are new, and a statement parsed per message would cost
        // more than these few lookups.
        QSqlQuery* q = prepared(m_countQuery, QStringLiteral("SELECT junk, wanted FROM tokens WHERE h = ?"));
        if (q == nullptr)
            return std::nullopt;
        m_lookups += missing.size();
        for (qint64 h : missing) {
            q->bindValue(0, h);
            if (!q->exec()) {
                fail(q->lastError());
                q->finish();
                return std::nullopt;
            }
            TokenCounts c; // a token never learned counts as zero
            if (q->next())
                c = {q->value(0).toUInt(), q->value(1).toUInt()};
            q->finish();
            m_countCache.insert(h, c);
        }
    }
    QList<TokenCounts> counts;
    counts.reserve(hashes.size());
    for (qint64 h : hashes) {
        const TokenCounts* c = m_countCache.find(h);
        counts << (c != nullptr ? *c : TokenCounts{});
    }
    return counts;
}

std::optional<Judgement> LearnStore::judgeTokens(const QStringList& tokens,
                                                 const ClassifierSettings& settings) {
    std::vector<qint64> hashes;
    hashes.reserve(tokens.size());
    for (const QString& token : tokens)
        hashes.push_back(tokenHash(token));
    return judgeHashes(
        hashes, [&](qsizetype i) { return tokens[i]; }, settings);
}

std::optional<Judgement> LearnStore::judgeHashes(const std::vector<qint64>& hashes,
                                                 const std::function<QString(qsizetype)>& tokenText,
                                                 const ClassifierSettings& settings, int reasonCount) {
    if (!m_open)
        return std::nullopt;
    const auto fromMemory = [&]() -> Judgement {
        const Totals& t = *m_cachedTotals;
        if (t.junk < kMinLearnedPerClass || t.wanted < kMinLearnedPerClass)
            return Judgement{};
        std::vector<TokenWeight> weights;
        weights.reserve(hashes.size());
        for (qint64 h : hashes)
            weights.push_back(m_countCache.weightOf(h, t.junk, t.wanted, settings));
        return learn::combine(tokenText, weights, t.junk, t.wanted, settings, reasonCount);
    };
    // The store as it was when the totals were last counted, with every token already read: judged
    // from memory, after one look at the generation (the messages of one check share most tokens).
    const bool cached = m_cachedTotals && m_cacheGeneration == m_cachedTotals->generation;
    // With the whole table read, a token not in it was never learned.
    if (cached && (m_wholeTable || std::all_of(hashes.begin(), hashes.end(), [this](qint64 h) {
                       return m_countCache.find(h) != nullptr;
                   }))) {
        // The generation was read a moment ago: another program's learning since is seen within
        // kGenerationRecheckMs, and always before a junk verdict deletes.
        if (m_generationRead.isValid() && !m_generationRead.hasExpired(kGenerationRecheckMs)) {
            Judgement j = fromMemory();
            if (j.verdict != Verdict::Junk)
                return j;
        }
        const std::optional<qint64> g = generation();
        if (!g)
            return std::nullopt;
        m_generationRead.start();
        if (*g == m_cachedTotals->generation)
            return fromMemory();
    }
    // One read transaction: the totals and the counts come from the same moment.
    if (!runPrepared(m_beginQuery, QStringLiteral("BEGIN")))
        return std::nullopt;
    const auto end = [this] { runPrepared(m_endQuery, QStringLiteral("ROLLBACK")); };
    // The totals count every learned message: counted once per generation, not per message judged.
    const std::optional<qint64> g = generation();
    if (g && (!m_cachedTotals || m_cachedTotals->generation != *g))
        m_cachedTotals = totals();
    if (!g || !m_cachedTotals || m_cachedTotals->generation != *g) {
        m_cachedTotals.reset();
        end();
        return std::nullopt;
    }
    m_generationRead.start();
    const Totals t = *m_cachedTotals;
    if (t.junk < kMinLearnedPerClass || t.wanted < kMinLearnedPerClass) {
        end();
        return Judgement{};
    }
    const bool read = countsOf(hashes, t.generation).has_value();
    end();
    if (!read)
        return std::nullopt;
    return fromMemory();
}

std::optional<std::optional<MessageClass>> LearnStore::learnedClass(const QByteArray& raw) {
    if (!m_open)
        return std::nullopt;
    QSqlQuery* q = prepared(m_classQuery, QStringLiteral("SELECT class FROM messages WHERE digest = ?"));
    if (q == nullptr)
        return std::nullopt;
    q->bindValue(0, digestOf(raw));
    if (!q->exec()) {
        fail(q->lastError());
        q->finish();
        return std::nullopt;
    }
    const std::optional<MessageClass> cls =
        q->next() ? std::optional(MessageClass(q->value(0).toInt())) : std::nullopt;
    q->finish();
    return cls;
}

std::optional<Judgement> LearnStore::judge(const QByteArray& raw, const ClassifierSettings& settings) {
    const TokenList tokens = tokenList(raw);
    return judged(raw, judgeHashes(
                           tokens.hashes(), [&](qsizetype i) { return tokens.text(i); }, settings));
}

std::optional<Judgement> LearnStore::judge(const QByteArray& raw, const DecodedMessage& decoded,
                                           const ClassifierSettings& settings) {
    const TokenList tokens = tokenList(decoded, raw);
    return judged(raw, judgeHashes(
                           tokens.hashes(), [&](qsizetype i) { return tokens.text(i); }, settings));
}

std::optional<Judgement> LearnStore::judgeForDeletion(const QByteArray& raw, const DecodedMessage& decoded,
                                                      const ClassifierSettings& settings) {
    const TokenList tokens = tokenList(decoded, raw);
    return judged(raw,
                  judgeHashes(
                      tokens.hashes(), [&](qsizetype i) { return tokens.text(i); }, settings, 0),
                  false);
}

std::optional<Judgement> LearnStore::judged(const QByteArray& raw, std::optional<Judgement> j,
                                            bool unsureToo) {
    if (!j || j->verdict == Verdict::NotReady || j->verdict == Verdict::Wanted ||
        (!unsureToo && j->verdict == Verdict::Unsure))
        return j;
    // A message the user said is wanted stays wanted, whatever its tokens weigh: one such mail among
    // many alike junk would otherwise be deleted again the next time it comes.
    const std::optional<std::optional<MessageClass>> said = learnedClass(raw);
    if (!said)
        return std::nullopt;
    if (*said == MessageClass::Wanted) {
        j->verdict = Verdict::Wanted;
        j->score = 0;
        j->reasons = {WeighedToken{QStringLiteral("learned:wanted"), 0}};
    }
    return j;
}

bool LearnStore::prune(qint64 maxMessages, qint64 maxAgeDays, qint64 nowSecs, qint64 maxBytes) {
    if (!m_open)
        return false;
    const std::optional<Totals> before = totals();
    if (!before || !begin())
        return false;
    const qint64 cutoff = now(nowSecs) - maxAgeDays * 86400;
    bool ok = exec(QStringLiteral("DELETE FROM messages WHERE learned < %1").arg(cutoff)) &&
              exec(QStringLiteral("DELETE FROM messages WHERE digest IN (SELECT digest FROM messages "
                                  "ORDER BY learned DESC, digest LIMIT -1 OFFSET %1)")
                       .arg(maxMessages));
    const std::optional<Totals> after = ok ? totals() : std::nullopt;
    ok = ok && after;
    if (ok && (after->junk != before->junk || after->wanted != before->wanted)) {
        // Each class's counts scaled by the share of its messages kept, rounded to the nearest.
        auto scaled = [](const char* column, quint32 kept, quint32 total) {
            return total == 0 ? QStringLiteral("%1").arg(QLatin1String(column))
                              : QStringLiteral("(%1 * %2 + %3) / %4")
                                    .arg(QLatin1String(column))
                                    .arg(kept)
                                    .arg(total / 2)
                                    .arg(total);
        };
        ok = exec(QStringLiteral("UPDATE tokens SET junk = %1, wanted = %2")
                      .arg(scaled("junk", after->junk, before->junk),
                           scaled("wanted", after->wanted, before->wanted))) &&
             exec(QStringLiteral("DELETE FROM tokens WHERE junk = 0 AND wanted = 0")) && bumpGeneration();
    }
    if (!ok) {
        rollback();
        return false;
    }
    if (!commit())
        return false;
    exec(QStringLiteral("PRAGMA incremental_vacuum"));
    // The rarest tokens go first, until the file is a quarter below the limit (so that the next
    // pruning is not one message away).
    for (int seen = 1; seen <= 3 && QFileInfo(m_path).size() > maxBytes; ++seen) {
        if (!begin())
            return false;
        if (!exec(QStringLiteral("DELETE FROM tokens WHERE junk + wanted <= %1").arg(seen)) ||
            !bumpGeneration()) {
            rollback();
            return false;
        }
        if (!commit())
            return false;
        exec(QStringLiteral("PRAGMA incremental_vacuum"));
        exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
        if (QFileInfo(m_path).size() <= maxBytes * 3 / 4)
            break;
    }
    return true;
}

} // namespace brindle::learn
