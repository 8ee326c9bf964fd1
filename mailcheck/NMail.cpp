#include "mailcheck/NMail.h"

#include "mailcheck/mime/MimeDecode.h"
#include "platform/Cp932.h"

#include <deque>
#include <memory>
#include <QMap>
#include <vector>

namespace brindle {

namespace {

struct Settings {
    int connectMs = kPop3DefaultConnectTimeoutMs;
    int replyMs = kPop3DefaultReplyTimeoutMs;
    QList<QSslCertificate> extraCas;
    Pop3TransportFactory factory;
    Pop3SessionStats lastStats;
};

Settings& settings() {
    static Settings s;
    return s;
}

class NMailLibrary final : public MailLibrary {
public:
    bool NMailInitializeWinSock() override { return true; }

    void NMailSetOption(int option, int value) override {
        if (option == 1 && value > 1)
            m_fieldBuffer = value;
    }

    int NMailPop3Connect(const QString& host) override {
        Pop3SessionOptions o;
        o.connectTimeoutMs = settings().connectMs;
        o.replyTimeoutMs = settings().replyMs;
        o.extraTrustedCas = settings().extraCas;
        o.transportFactory = settings().factory;
        auto handle = std::make_unique<Handle>();
        handle->session = std::make_unique<Pop3Session>(std::move(o));
        if (!handle->session->open(host)) {
            setError(handle->session->errorText());
            return -1;
        }
        const int id = m_nextHandle++;
        m_handles.emplace(id, std::move(handle));
        return id;
    }

    int NMailPop3Authenticate(int handle, const QString& id, const QString& password, int apopFlag) override {
        Handle* h = find(handle);
        if (!h)
            return -1;
        const Call call(*this, h);
        h->password = password;
        const int count = h->session->login(id, password, apopFlag != 0);
        if (count < 0) {
            setError(h->session->errorText(), h);
            return -1;
        }
        return count;
    }

    QString NMailGetMessage() override { return cutToCp932Bytes(m_error, m_fieldBuffer - 1); }

    int NMailPop3GetMailStatus(int handle, int n, MailFields& fields) override {
        Handle* h = find(handle);
        if (!h)
            return -1;
        const Call call(*this, h);
        if (const Cached* c = h->cached(n)) {
            fill(fields, c->message.head);
            return 0;
        }
        if (h->session->headerComesWithMessage(n)) {
            // The caller reads bodies: one RETR serves this call and the GetMail that follows.
            if (const Cached* whole = fetch(h, n)) {
                fill(fields, whole->message.head);
                return 0;
            }
            // The whole text was refused or too large; the header alone may still come.
        }
        auto header = h->session->header(n);
        if (!header && h->session->topRefused()) {
            // Without TOP the header comes with the whole message, which GetMail then reuses.
            const Cached* whole = fetch(h, n);
            if (!whole)
                return -1;
            fill(fields, whole->message.head);
            return 0;
        }
        if (!header) {
            setError(h->session->errorText(), h);
            return -1;
        }
        fill(fields, decodeHeader(*header));
        return 0;
    }

    qint64 NMailPop3GetMailSize(int handle, int n) override {
        Handle* h = find(handle);
        if (!h)
            return -1;
        const Call call(*this, h);
        const qint64 size = h->session->size(n);
        if (size < 0)
            setError(h->session->errorText(), h);
        return size;
    }

    int NMailPop3GetMail(int handle, int n, MailFields& fields, QString& body) override {
        Handle* h = find(handle);
        if (!h)
            return -1;
        const Call call(*this, h);
        const Cached* c = fetch(h, n);
        if (!c)
            return -1;
        fill(fields, c->message.head);
        if (!c->bodyFitted) {
            // The caller sizes its body buffer by the listed size (plus its NUL). Fitted once:
            // the keyword rule asks again for every keyword.
            const qint64 listed = h->session->size(n);
            if (listed >= 0)
                c->message.body = cutToCp932Bytes(c->message.body, listed);
            c->bodyFitted = true;
        }
        body = c->message.body;
        return 0;
    }

    int NMailPop3DeleteMail(int handle, int n) override {
        Handle* h = find(handle);
        return h ? deleteNow(h, n) : -1;
    }

    int NMailPop3DeleteMailNoWait(int handle, int n) override {
        Handle* h = find(handle);
        if (!h)
            return -1;
        if (!h->session->pipelining())
            return deleteNow(h, n);
        const Call call(*this, h);
        if (!h->session->removeNoWait(n)) {
            setError(h->session->errorText(), h);
            return -1;
        }
        h->forget(n);
        return 1;
    }

    int NMailPop3DeleteResult(int handle, int n, bool wait) override {
        Handle* h = find(handle);
        if (!h)
            return -1;
        const Call call(*this, h);
        const int result = h->session->removeResult(n, wait);
        if (result < 0)
            setError(h->session->errorText(), h);
        return result;
    }

    int NMailPop3Close(int handle) override {
        Handle* h = find(handle, true);
        if (!h)
            return -1;
        if (h->busy) {
            // Asked from inside a call of this handle that is waiting for the server.
            h->session->abort();
            settings().lastStats = h->session->stats();
            bury(handle);
            setError(QStringLiteral("接続を中断しました"));
            return -1;
        }
        const Call call(*this, h);
        const bool ok = h->session->quit();
        if (!ok)
            setError(h->session->errorText(), h);
        settings().lastStats = h->session->stats();
        bury(handle);
        return ok ? 0 : -1;
    }

    void NMailEndWinSock() override {
        while (!m_handles.empty()) {
            const int id = m_handles.begin()->first;
            m_handles.begin()->second->session->abort();
            bury(id);
        }
    }

private:
    struct Cached {
        int n;
        mutable DecodedMessage message;
        qsizetype bytes;
        mutable bool bodyFitted = false;
    };
    struct Handle {
        std::unique_ptr<Pop3Session> session;
        QString password;
        std::deque<Cached> cache; // newest first
        bool busy = false;
        qsizetype cacheBytes = 0;

        const Cached* cached(int n) const {
            for (const Cached& c : cache)
                if (c.n == n)
                    return &c;
            return nullptr;
        }
        const Cached* remember(int n, DecodedMessage message, qsizetype bytes) {
            forget(n);
            cache.push_front({n, std::move(message), bytes, false});
            cacheBytes += bytes;
            while (cache.size() > 1 &&
                   (int(cache.size()) > kNMailCachedMessages || cacheBytes > kNMailCacheBytes)) {
                cacheBytes -= cache.back().bytes;
                cache.pop_back();
            }
            return &cache.front();
        }
        void forget(int n) {
            for (auto it = cache.begin(); it != cache.end(); ++it) {
                if (it->n == n) {
                    cacheBytes -= it->bytes;
                    cache.erase(it);
                    return;
                }
            }
        }
    };

    // Marks a handle busy for the length of one entry point. A handle closed meanwhile (from an
    // event that ran during the wait) is kept until the outermost call has returned.
    struct Call {
        NMailLibrary& lib;
        Handle* h;
        Call(NMailLibrary& l, Handle* handle) : lib(l), h(handle) {
            ++lib.m_depth;
            h->busy = true;
        }
        ~Call() {
            h->busy = false;
            if (--lib.m_depth == 0)
                lib.m_graveyard.clear();
        }
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;
    };

    Handle* find(int handle, bool evenBusy = false) {
        auto it = m_handles.find(handle);
        if (it == m_handles.end()) {
            setError(QStringLiteral("接続されていません"));
            return nullptr;
        }
        if (it->second->busy && !evenBusy) {
            setError(QStringLiteral("この接続は別の処理の途中です"));
            return nullptr;
        }
        return it->second.get();
    }

    void bury(int handle) {
        auto it = m_handles.find(handle);
        if (it == m_handles.end())
            return;
        if (m_depth > 0)
            m_graveyard.push_back(std::move(it->second));
        m_handles.erase(it);
    }

    int deleteNow(Handle* h, int n) {
        const Call call(*this, h);
        if (!h->session->remove(n)) {
            setError(h->session->errorText(), h);
            return -1;
        }
        h->forget(n);
        return 0;
    }

    const Cached* fetch(Handle* h, int n) {
        if (const Cached* c = h->cached(n))
            return c;
        auto raw = h->session->message(n);
        if (!raw) {
            setError(h->session->errorText(), h);
            return nullptr;
        }
        const qsizetype bytes = raw->size();
        return h->remember(n, decodeMessage(*raw), bytes);
    }

    void setError(const QString& text, const Handle* h = nullptr) {
        m_error = text.isEmpty() ? QStringLiteral("原因不明のエラーです") : text;
        if (h && !h->password.isEmpty())
            m_error.replace(h->password, QStringLiteral("***"));
    }

    void fill(MailFields& fields, const DecodedHeader& head) const {
        const qsizetype max = m_fieldBuffer - 1; // room for the NUL
        fields.subject = cutToCp932Bytes(head.subject, max);
        fields.second = cutToCp932Bytes(head.date, max);
        fields.fromAddress = cutToCp932Bytes(head.fromAddress, max);
        fields.header = cutToCp932Bytes(head.header, max);
    }

    std::map<int, std::unique_ptr<Handle>> m_handles;
    std::vector<std::unique_ptr<Handle>> m_graveyard;
    int m_depth = 0;
    int m_nextHandle = 1;
    int m_fieldBuffer = kNMailDefaultFieldBuffer;
    QString m_error;
};

} // namespace

QString cutToCp932Bytes(const QString& text, qsizetype maxBytes) {
    if (maxBytes <= 0)
        return {};
    // Every character takes one or two bytes: short texts need no measuring.
    if (text.size() * 2 <= maxBytes || cp932Length(text) <= maxBytes)
        return text;
    qsizetype lo = 0, hi = qMin(text.size(), maxBytes);
    while (lo < hi) {
        const qsizetype mid = (lo + hi + 1) / 2;
        if (cp932Length(QStringView(text).left(mid)) <= maxBytes)
            lo = mid;
        else
            hi = mid - 1;
    }
    if (lo > 0 && text.at(lo - 1).isHighSurrogate())
        --lo;
    return text.left(lo);
}

void setPop3Timeouts(int connectMs, int replyMs) {
    settings().connectMs = connectMs > 0 ? connectMs : kPop3DefaultConnectTimeoutMs;
    settings().replyMs = replyMs > 0 ? replyMs : kPop3DefaultReplyTimeoutMs;
}

void setExtraTrustedCertificates(const QList<QSslCertificate>& certificates) {
    settings().extraCas = certificates;
}

void setPop3TransportFactory(Pop3TransportFactory factory) {
    settings().factory = std::move(factory);
}

Pop3SessionStats lastPop3SessionStats() {
    return settings().lastStats;
}

MailLibrary& nmail() {
    static NMailLibrary library;
    return library;
}

} // namespace brindle
