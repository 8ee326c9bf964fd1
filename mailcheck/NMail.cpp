#include "mailcheck/NMail.h"

#include "mailcheck/mime/MimeDecode.h"
#include "mailcheck/ServerText.h"
#include "platform/Cp932.h"

namespace brindle {

namespace {

// Text for the server in code page 932 where it can be said so, else in UTF-8.
QByteArray commandBytes(const QString& text) {
    const QByteArray bytes = toCp932(text);
    return fromCp932(bytes) == text ? bytes : text.toUtf8();
}

bool unsafeForCommand(const QString& s) {
    return s.contains(QLatin1Char('\r')) || s.contains(QLatin1Char('\n')) || s.contains(QChar(0));
}

MailError::Refusal addressRefusal(Pop3AddressError::Problem problem) {
    switch (problem) {
    case Pop3AddressError::Problem::Missing:
        return MailError::Refusal::NoServer;
    case Pop3AddressError::Problem::BadForm:
        return MailError::Refusal::AddressForm;
    case Pop3AddressError::Problem::BadHost:
        return MailError::Refusal::AddressHost;
    case Pop3AddressError::Problem::BadPort:
        break;
    }
    return MailError::Refusal::AddressPort;
}

} // namespace

struct NMailLibrary::Handle {
    std::unique_ptr<Pop3Session> session;
    QString host;
    QString hostAndPort;    // "host:port", "[v6]:port": where a connection was tried
    QString user, password; // kept only to keep them out of failure texts
    bool busy = false;
    bool localError = false; // the failure of the current call was recorded without the session
};

// Marks a handle busy for the length of one entry point. A handle closed meanwhile (from an event
// that ran during the wait) is kept until the outermost call has returned.
struct NMailLibrary::Call {
    NMailLibrary& lib;
    Handle& h;
    Call(NMailLibrary& l, Handle& handle) : lib(l), h(handle) {
        ++lib.m_depth;
        h.busy = true;
        h.localError = false;
    }
    ~Call() {
        h.busy = false;
        if (--lib.m_depth == 0)
            lib.m_graveyard.clear();
    }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
};

NMailLibrary::NMailLibrary(NMailOptions options) : m_options(std::move(options)) {
    if (m_options.connectTimeoutMs <= 0)
        m_options.connectTimeoutMs = kPop3DefaultConnectTimeoutMs;
    if (m_options.replyTimeoutMs <= 0)
        m_options.replyTimeoutMs = kPop3DefaultReplyTimeoutMs;
    if (m_options.sessionLimitMs <= 0)
        m_options.sessionLimitMs = kPop3DefaultSessionLimitMs;
}

NMailLibrary::~NMailLibrary() = default;

void NMailLibrary::NMailSetOption(int option, int value) {
    if (option == kNMailOptionFieldBuffer && value > 1)
        m_fieldBuffer = value;
    else if (option == kNMailOptionPlan && value >= int(MailPlan::HeadersFirst) &&
             value <= int(MailPlan::SizesOnly))
        m_plan = MailPlan(value);
    else if (option == kNMailOptionPipelining)
        m_pipelining = value != 0;
    else if (option == kNMailOptionUidls)
        m_readUidls = value != 0;
    else if (option == kNMailOptionOpenWindow)
        m_openWindow = value != 0;
}

// The one prologue of the entry points that take a handle: the handle looked up and marked busy,
// the message number checked, and a failure of the session put into words.
template <typename R, typename Body> Task<R> NMailLibrary::run(int handle, Step step, int n, Body body) {
    Handle* h = find(handle);
    if (!h)
        co_return R(-1);
    const Call call(*this, *h);
    if (n != 0 && !checkMessage(*h, n))
        co_return R(-1);
    const R result = co_await body(*h);
    settle(*h, step, n, result < 0);
    co_return result;
}

// The one epilogue: what the session found (CAPA read with the login, a quirk) is kept for the
// memory, and a failure of the session is recorded where it happened.
void NMailLibrary::settle(const Handle& h, Step step, int n, bool failed) {
    m_security.tlsOffered = m_security.tlsOffered || h.session->tlsOffered();
    m_security.known = h.session->learnt();
    if (failed && !h.localError)
        record(h, step, n);
}

NMailLibrary::Handle* NMailLibrary::find(int handle, bool evenBusy) {
    auto it = m_handles.find(handle);
    if (it == m_handles.end()) {
        local(nullptr, Pop3ErrorKind::CannotConnect, Refusal::NotConnected);
        return nullptr;
    }
    if (it->second->busy && !evenBusy) {
        local(nullptr, Pop3ErrorKind::CommandRefused, Refusal::HandleBusy);
        return nullptr;
    }
    return it->second.get();
}

bool NMailLibrary::checkMessage(Handle& h, int n) {
    const Pop3Session& s = *h.session;
    if (s.broken())
        return true; // the session says what broke it
    if (!s.loggedIn())
        return local(&h, Pop3ErrorKind::CommandRefused, Refusal::NotLoggedIn) == 0;
    if (n < 1 || n > s.messageCount())
        return local(&h, Pop3ErrorKind::CommandRefused, Refusal::NoSuchMessage, n) == 0;
    if (s.isDeleted(n))
        return local(&h, Pop3ErrorKind::CommandRefused, Refusal::MessageDeleted, n) == 0;
    return true;
}

int NMailLibrary::local(Handle* h, Pop3ErrorKind kind, Refusal refusal, int n, const QString& part) {
    if (h)
        h->localError = true;
    m_error = MailError();
    m_error.kind = kind;
    m_error.refusal = refusal;
    m_error.number = n;
    m_error.part = part;
    return -1;
}

void NMailLibrary::record(const Handle& h, Step step, int n) {
    MailError e;
    static_cast<Pop3Error&>(e) = h.session->error();
    // The server's words, and the socket's and TLS layer's (which quote the server), leave the library
    // only cleaned of controls and escapes, cut to a reason's length and without the password.
    e.detail = sanitizeServerText(e.detail, h.password, kMaxServerTextChars, h.user);
    e.step = step;
    e.number = n;
    e.host = h.host;
    e.hostAndPort = h.hostAndPort;
    e.certificate = h.session->certificateCheck();
    if (h.session->aborted())
        e.refusal = Refusal::Aborted;
    if (e.wait == Pop3Wait::Session)
        e.limitMs = m_options.sessionLimitMs;
    else if (step == Step::Connect)
        e.limitMs = m_options.connectTimeoutMs;
    else
        e.limitMs = m_options.replyTimeoutMs;
    m_error = std::move(e);
}

void NMailLibrary::NMailSetEarlyLogin(const QString& id, const QString& password) {
    m_earlyId = id;
    m_earlyPassword = password;
}

Task<int> NMailLibrary::NMailPop3Connect(QString host) {
    m_security = ConnectionSecurity();
    Pop3AddressError why;
    const auto address = parsePop3Address(host, &why);
    if (!address)
        co_return local(nullptr, Pop3ErrorKind::CannotConnect, addressRefusal(why.problem), 0, why.part);
    Pop3SessionOptions o;
    o.connectTimeoutMs = m_options.connectTimeoutMs;
    o.replyTimeoutMs = m_options.replyTimeoutMs;
    o.sessionLimitMs = m_options.sessionLimitMs;
    o.trust = m_trust;
    o.transportFactory = m_options.transportFactory;
    o.clockFactory = m_options.clockFactory;
    o.plan = m_plan;
    o.pipelining = m_pipelining;
    o.readUidls = m_readUidls;
    o.openWindow = m_openWindow;
    // Only a login NMailPop3Authenticate would send as it stands goes out early.
    const QString earlyId = std::exchange(m_earlyId, {}), earlyPassword = std::exchange(m_earlyPassword, {});
    if (!earlyId.isEmpty() && !earlyPassword.isEmpty() && !unsafeForCommand(earlyId) &&
        !unsafeForCommand(earlyPassword))
        o.earlyLogin = Pop3Credentials{commandBytes(earlyId), commandBytes(earlyPassword)};
    o.legacyText = [](QByteArrayView bytes) { return fromCp932(bytes); };
    auto handle = std::make_unique<Handle>();
    handle->host = address->host;
    handle->hostAndPort =
        (address->host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]:%2") : QStringLiteral("%1:%2"))
            .arg(address->host)
            .arg(address->port);
    handle->session = std::make_unique<Pop3Session>(std::move(o));
    const bool opened = co_await handle->session->open(*address);
    m_security = {handle->session->tlsOffered(), handle->session->encrypted(),
                  handle->session->certificateCheck(), handle->session->learnt()};
    if (!opened) {
        record(*handle, Step::Connect, 0);
        m_lastStats = handle->session->stats();
        co_return -1;
    }
    const int id = m_nextHandle++;
    m_handles.emplace(id, std::move(handle));
    co_return id;
}

Task<int> NMailLibrary::NMailPop3Authenticate(int handle, QString id, QString password, int apopFlag) {
    co_return co_await run<int>(handle, Step::Login, 0, [&](Handle& h) -> Task<int> {
        const bool apop = apopFlag != 0;
        if (h.session->broken())
            co_return -1;
        if (h.session->loggedIn())
            co_return local(&h, Pop3ErrorKind::LoginRefused, Refusal::AlreadyLoggedIn);
        h.user = id;
        h.password = password;
        if (id.isEmpty() || password.isEmpty() || unsafeForCommand(id) || unsafeForCommand(password) ||
            (apop && id.contains(QLatin1Char(' '))))
            co_return local(&h, Pop3ErrorKind::LoginRefused, Refusal::UnusableAccount);
        // The server offers no APOP login: the login this account is set to is refused.
        if (apop && h.session->apopTimestamp().isEmpty())
            co_return local(&h, Pop3ErrorKind::LoginRefused, Refusal::NoApop);
        co_return co_await h.session->login(commandBytes(id), commandBytes(password), apop);
    });
}

namespace {
void fill(MailFields& fields, const DecodedHeader& head, int fieldBuffer) {
    const qsizetype max = fieldBuffer - 1; // room for the NUL
    fields.subject = cutToCp932Bytes(head.subject, max);
    fields.second = cutToCp932Bytes(head.date, max);
    fields.fromAddress = cutToCp932Bytes(head.fromAddress, max);
    fields.header = cutToCp932Bytes(head.header, max);
}
} // namespace

Task<int> NMailLibrary::NMailPop3GetMailStatus(int handle, int n, MailFields& fields) {
    co_return co_await run<int>(handle, Step::Status, n, [&](Handle& h) -> Task<int> {
        const auto header = co_await h.session->header(n);
        if (!header)
            co_return -1;
        fill(fields, decodeHeader(*header), m_fieldBuffer);
        co_return 0;
    });
}

Task<qint64> NMailLibrary::NMailPop3GetMailSize(int handle, int n) {
    co_return co_await run<qint64>(handle, Step::Size, n,
                                   [&](Handle& h) -> Task<qint64> { co_return co_await h.session->size(n); });
}

Task<int> NMailLibrary::NMailPop3GetMail(int handle, int n, MailFields& fields, QString& body) {
    co_return co_await run<int>(handle, Step::Mail, n, [&](Handle& h) -> Task<int> {
        // The caller sizes its body buffer by the listed size (plus its NUL).
        const qint64 listed = co_await h.session->size(n);
        if (listed < 0)
            co_return -1;
        if (listed > kPop3MaxMessageBytes)
            co_return local(&h, Pop3ErrorKind::CommandRefused, Refusal::TooLarge, n);
        m_decoded.reset();
        const auto raw = co_await h.session->message(n);
        if (!raw)
            co_return -1;
        auto message = std::make_shared<const DecodedMessage>(decodeMessage(*raw));
        fill(fields, message->head, m_fieldBuffer);
        fields.leftOutBytes = message->leftOutBytes;
        body = cutToCp932Bytes(message->body, listed);
        m_decodedHandle = handle;
        m_decodedNumber = n;
        m_decoded = std::move(message);
        co_return 0;
    });
}

std::shared_ptr<const DecodedMessage> NMailLibrary::NMailPop3LastDecoded(int handle, int n) {
    if (m_decoded && m_decodedHandle == handle && m_decodedNumber == n && m_handles.count(handle) != 0)
        return m_decoded;
    return nullptr;
}

Task<int> NMailLibrary::NMailPop3GetUidl(int handle, int n, QString& uidl) {
    co_return co_await run<int>(handle, Step::Uidl, n, [&](Handle& h) -> Task<int> {
        const std::optional<QByteArray> id = co_await h.session->uidl(n);
        if (!id)
            co_return -1;
        uidl = QString::fromLatin1(*id); // printable ASCII only
        co_return 0;
    });
}

Task<int> NMailLibrary::NMailPop3GetRawMail(int handle, int n, int bodyLines, QByteArray& raw) {
    co_return co_await run<int>(handle, Step::Mail, n, [&](Handle& h) -> Task<int> {
        std::optional<QByteArray> text;
        if (bodyLines < 0)
            text = co_await h.session->message(n);
        else
            text = co_await h.session->top(n, bodyLines);
        if (!text)
            co_return -1;
        raw = *text;
        co_return 0;
    });
}

Task<int> NMailLibrary::deleteNow(Handle& h, int n) {
    const bool removed = co_await h.session->remove(n);
    co_return removed ? 0 : -1;
}

Task<int> NMailLibrary::NMailPop3DeleteMail(int handle, int n) {
    co_return co_await run<int>(handle, Step::Delete, n,
                                [&](Handle& h) -> Task<int> { co_return co_await deleteNow(h, n); });
}

Task<int> NMailLibrary::NMailPop3DeleteMailNoWait(int handle, int n) {
    co_return co_await run<int>(handle, Step::Delete, n, [&](Handle& h) -> Task<int> {
        if (!h.session->pipelining())
            co_return co_await deleteNow(h, n);
        co_return h.session->removeNoWait(n) ? 1 : -1;
    });
}

Task<int> NMailLibrary::NMailPop3DeleteResult(int handle, int n, bool wait) {
    co_return co_await run<int>(handle, Step::Delete, 0, [&](Handle& h) -> Task<int> {
        if (!h.session->removePending(n))
            co_return local(&h, Pop3ErrorKind::CommandRefused, Refusal::DeletionNotAsked, n);
        co_return co_await h.session->removeResult(n, wait);
    });
}

void NMailLibrary::NMailPop3Skip(int handle, int n) {
    if (Handle* h = find(handle))
        h->session->skip(n);
}

int NMailLibrary::NMailPop3SendQuit(int handle) {
    // Nothing is waited for: the same prologue as the others, without a suspension.
    Handle* h = find(handle);
    if (!h)
        return -1;
    const Call call(*this, *h);
    const int result = h->session->sendQuit() ? 0 : -1;
    settle(*h, Step::Close, 0, result < 0);
    return result;
}

Task<int> NMailLibrary::NMailPop3Close(int handle) {
    Handle* h = find(handle, true);
    if (!h)
        co_return -1;
    if (h->busy) {
        // Asked from inside a call of this handle that is waiting for the server.
        h->session->abort();
        m_lastStats = h->session->stats();
        bury(handle);
        co_return local(nullptr, Pop3ErrorKind::ConnectionLost, Refusal::Aborted);
    }
    const int result = co_await run<int>(handle, Step::Close, 0, [&](Handle& h) -> Task<int> {
        const bool ok = co_await h.session->quit();
        m_lastStats = h.session->stats();
        co_return ok ? 0 : -1;
    });
    bury(handle);
    co_return result;
}

void NMailLibrary::NMailEndWinSock() {
    while (!m_handles.empty()) {
        const int id = m_handles.begin()->first;
        m_handles.begin()->second->session->abort();
        bury(id);
    }
}

void NMailLibrary::bury(int handle) {
    auto it = m_handles.find(handle);
    if (it == m_handles.end())
        return;
    if (handle == m_decodedHandle)
        m_decoded.reset();
    if (m_depth > 0)
        m_graveyard.push_back(std::move(it->second));
    m_handles.erase(it);
}

} // namespace brindle
