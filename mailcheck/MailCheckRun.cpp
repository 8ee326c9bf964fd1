#include "mailcheck/MailCheckRun.h"

#include "keywords/AllowList.h"
#include "learn/LearnStore.h"
#include "mailcheck/CheckMemories.h"
#include "mailcheck/DeletionRules.h"
#include "mailcheck/mime/MimeDecode.h"
#include "mailcheck/Quarantine.h"
#include "mailcheck/ServerText.h"
#include "mailcheck/TlsMemory.h"
#include "mailcheck/VerdictMemory.h"
#include "platform/NumberText.h"

#include <algorithm>
#include <deque>
#include <memory>
#include <optional>
#include <QCryptographicHash>
#include <QDateTime>
#include <QHash>
#include <QSet>

namespace brindle {

using Field = CheckHost::Field;

// Holds the host's guard for the length of one pass, released on every way out.
class RunningGuard {
public:
    RunningGuard(CheckHost& host, MailCheckRun* run) : m_host(host) { m_host.m_running = run; }
    ~RunningGuard() { m_host.m_running = nullptr; }
    RunningGuard(const RunningGuard&) = delete;
    RunningGuard& operator=(const RunningGuard&) = delete;

private:
    CheckHost& m_host;
};

namespace {

// What the session should read ahead for the rule. The learned judgement reads every message it
// judges whole; a preview reads its own TOPs, one message at a time.
MailPlan planFor(const SpamRule* rule, bool learning, bool preview) {
    if (preview)
        return MailPlan::SizesOnly;
    if (learning)
        return MailPlan::WholeMessages;
    if (rule == nullptr)
        return MailPlan::SizesOnly;
    return rule->judgesHeaderFirst() ? MailPlan::HeadersFirst : MailPlan::WholeMessages;
}

// A check waits this long for a program that is learning (the window, brindle-check) before it
// goes on without the learned judgement: learning commits in short transactions, and a longer
// wait would hold the server's session open for nothing.
constexpr int kCheckStoreBusyTimeoutMs = 2000;
// A learning problem, a preview's texts and an explained token are cut to this many characters.
constexpr qsizetype kLearningProblemMaxChars = 300;
constexpr qsizetype kReportTextMaxChars = 300;
constexpr qsizetype kReasonTokenMaxChars = 60;

// The score as the deletion log's keyword field keeps it for the learned judgement: "0.998".
QString scoreText(double score) {
    return QString::number(score, 'f', 3);
}

// One pass: the values that live for its length and the steps the rules call back into.
class Pass final : public RuleContext {
public:
    Pass(MailCheckRun& run, CheckHost& host, MailLibrary& library, const CheckInputs& inputs, bool dryRun,
         MailCheckRun::StartKind startKind)
        : m_run(run), m_host(host), m_library(library), m_inputs(inputs), m_preview(inputs.previewLines >= 0),
          m_dryRun(dryRun || m_preview), m_startKind(startKind) {
        if (!inputs.dataFolder.isEmpty())
            m_quarantine.emplace(inputs.dataFolder, inputs.quarantineLimits);
        m_memories = checkMemoriesOf(inputs);
    }

    Task<CheckOutcome> execute();
    QDateTime now() const { return m_inputs.clock ? m_inputs.clock() : QDateTime::currentDateTime(); }

    // RuleContext
    CheckHost& host() override { return m_host; }
    const MailFields& fields() const override { return m_fields; }
    const QString& body() const override { return m_body; }
    Task<bool> fetchBody(int n) override;
    Task<qint64> serverSize(int n) override;
    Task<void> deleteCaught(int n, QString word, QString keyword) override;
    const KeywordMatcher& keywords() override;
    std::optional<double> sizeLimit() const override { return sizeLimitFrom(m_settings.sizeLimit); }
    Task<void> sizeLimitMissing() override;
    QString sizeProbePath() const override { return sizeProbeFilePath(m_inputs.probeFolder); }

private:
    // A notice for the user, the run waiting until it was shown; a preview shows none (its window
    // reports the outcome). Awaited with a notice made in a statement of its own (Task.h).
    Task<void> tell(CheckNotice notice) {
        if (!m_preview)
            co_await m_host.showNotice(std::move(notice));
    }
    static CheckNotice notice(CheckNotice::Kind kind, MailError error = {}) {
        CheckNotice n;
        n.kind = kind;
        n.error = std::move(error);
        return n;
    }
    // The library's last failure, its words as far as a C string would carry them.
    MailError lastError() {
        MailError e = m_library.NMailGetError();
        e.detail = CutAtNul(e.detail);
        return e;
    }
    void openLearning();
    void learningFailed(const QString& problem);
    bool learning() const { return m_store.has_value(); }
    Task<bool> readRaw(int n, QByteArray& raw, std::shared_ptr<const DecodedMessage>& decoded);
    Task<bool> previewText(int n);
    Task<void> judgeLearned(int n, bool actOnIt);
    Task<void> judgeOne(int n, SpamRule* rule);
    Task<void> reportMessage(int n, CheckOutcome::MessageReport::Verdict verdict);
    QString uidlOf(int n) const { return n < m_uidlOf.size() ? m_uidlOf[n] : QString(); }
    bool needsUidls() const {
        return m_preview || m_inputs.onlyUidls || !m_inputs.marks.junk.isEmpty() ||
               !m_inputs.marks.wanted.isEmpty();
    }
    Task<int> connectTrusted();
    Task<bool> askPlainLogin();
    // A call of the judging failed: a garbled pipeline ends the pass.
    void noteFailure();
    bool stopping();
    void clearWorkingBoxes();
    Task<void> judgeMessages(SpamRule* rule);
    Task<void> decideWithoutFetching(const SpamRule* rule);
    void rememberKeep(int n);
    void rememberCatch(const CheckOutcome::Caught& caught);
    Task<bool> reportRemembered(int n);
    Task<bool> readUidls();
    Task<void> finishDeletion(CheckOutcome::Caught caught, int result);
    bool allowed() const;
    Task<std::optional<QString>> keepCopy(CheckOutcome::Caught& caught, bool& partial, bool synced);
    Task<void> sendDeferredDeletions();
    Task<void> copyFailed(CheckOutcome::Caught caught);
    Task<void> resumePendingDeletions();
    void savePending();
    Task<void> recordDeletions();
    DeletionRecord recordOf(const CheckOutcome::Caught& caught) const;
    Task<void> settleDeletions(bool wait);
    Task<void> closeConnection();
    Task<void> report();
    bool byHand() const { return m_startKind == MailCheckRun::StartKind::ByHand; }

    MailCheckRun& m_run;
    CheckHost& m_host;
    MailLibrary& m_library;
    const CheckInputs& m_inputs;
    const CheckSettings& m_settings = *m_inputs.settings; // MailCheckRun::run fills it
    const bool m_preview;
    const bool m_dryRun; // a preview is one too
    const MailCheckRun::StartKind m_startKind;

    // The learned judgement's store, opened once per check; none when learning is off or the store
    // could not be used (then CheckOutcome::learningProblem says why).
    std::optional<learn::LearnStore> m_store;
    double m_scoreCurrent = -1; // the learned judgement of the current message
    QList<learn::WeighedToken> m_reasonsCurrent;
    QByteArray m_previewRaw;                                // the preview's text of message m_bodyOf
    std::shared_ptr<const DecodedMessage> m_previewDecoded; // and that text decoded
    std::optional<CheckOutcome::Caught> m_caughtReport;     // the current message's catch, for its report

    CheckOutcome m_outcome;
    int m_handle = -1;
    MailFields m_fields;
    QString m_body;
    int m_bodyOf = 0; // the message m_body belongs to, 0 for none
    int m_sizeOf = 0; // the message m_size belongs to, 0 for none
    qint64 m_size = -1;
    std::optional<KeywordMatcher> m_keywords;
    bool m_toldSizeLimit = false;
    std::deque<CheckOutcome::Caught> m_unanswered; // DELEs sent, answers to come, in order
    // Where nobody watches, catches whose copies are written but not yet synced: one sync and one
    // pending file for all of them, then their DELEs together, in the flight of QUIT.
    QList<CheckOutcome::Caught> m_deferred;

    std::optional<Quarantine> m_quarantine; // none without a data folder: then nothing is deleted
    // The pending deletions and verdicts of earlier checks; set whenever m_quarantine is.
    std::shared_ptr<CheckMemories> m_memories;
    const QDateTime m_started = now();
    bool m_toldCopyFailure = false;
    // Deletions sent with a UIDL, kept in the pending file until QUIT's +OK; false when the pending
    // file belongs to another server or account (then it is left alone).
    bool m_keepPending = true;
    PendingDeletions m_pending;
    QHash<QString, DeletionRecord> m_recordByCopy; // what each deletion of this pass logs
    QList<DeletionRecord> m_resumed;               // deletions of an earlier pass, sent again
    QSet<int> m_resumedNumbers;
    QSet<QString> m_refusedCopies; // copies of messages whose DELE the server refused

    // Verdicts of earlier checks by UIDL; none without a data folder, or when the UIDLs could not
    // be read.
    std::optional<VerdictMemory> m_memory;
    QList<QString> m_uidlOf; // index n, read once by readUidls
    bool m_uidlsFailed = false;
    QSet<int> m_decided;         // kept without being fetched (remembered, or small by LIST)
    QSet<int> m_untouched;       // not named by onlyUidls: left alone unread
    bool m_learningLost = false; // the store failed during the judging: its keeps are not remembered
    CheckOutcome::MessageReport::Verdict m_verdictCurrent = CheckOutcome::MessageReport::Verdict::Keep;
    bool m_judgedCleanly = true;  // nothing failed while the current message was judged
    bool m_failedCurrent = false; // the mail library failed on the current message
    MailError m_failureReason;    // why
    bool m_caughtCurrent = false;
    bool m_askedCertificate = false; // the certificate question is put once per pass
    bool m_declined = false;         // the user said no to a question of trust
    const QString m_trustKey = serverTrustKey(m_inputs.server.pop3Server);
};

void Pass::clearWorkingBoxes() {
    for (Field f : {Field::Subject, Field::Sender, Field::Body, Field::DeletionCount}) {
        m_host.setText(f, QString());
    }
}

// Connects under what is remembered of the server. A certificate that only the user can vouch for
// is put to them, once per check; trusted, it is pinned and the connection made again.
Task<int> Pass::connectTrusted() {
    while (true) {
        m_library.NMailSetServerTrust(m_outcome.trust);
        const int handle = co_await m_library.NMailPop3Connect(m_inputs.server.pop3Server);
        const ConnectionSecurity security = m_library.NMailGetSecurity();
        if (security.tlsOffered && !m_outcome.trust.tlsSeen) {
            m_outcome.trust.tlsSeen = true;
            m_outcome.trustLearnt = true;
        }
        const CertificateCheck& c = security.certificate;
        if (handle >= 0) {
            if (c.pinned && c.outOfDate && byHand()) {
                CheckNotice n = notice(CheckNotice::Kind::PinnedOutOfDate);
                n.server = m_trustKey;
                n.validFrom = c.certificate.effectiveDate();
                n.validUntil = c.certificate.expiryDate();
                co_await tell(n);
            }
            co_return handle;
        }
        const Pop3ErrorKind kind = m_library.NMailGetError().kind;
        if (m_askedCertificate || c.certificate.isNull() ||
            (kind != Pop3ErrorKind::CertificateUnknown && kind != Pop3ErrorKind::CertificateChanged))
            co_return -1;
        m_askedCertificate = true;
        CheckHost::TrustQuestion q;
        q.server = m_trustKey;
        q.sha256 = c.certificate.digest(QCryptographicHash::Sha256);
        q.byHand = byHand();
        q.certificate = c.certificate;
        if (kind == Pop3ErrorKind::CertificateUnknown) {
            q.kind = CheckHost::TrustQuestion::Kind::Certificate;
            q.wrongName = c.wrongName;
        } else {
            q.kind = CheckHost::TrustQuestion::Kind::ChangedCertificate;
            q.pinnedSha256 = m_outcome.trust.pinnedSha256;
        }
        const auto trusted = co_await m_host.putTrustQuestion(q);
        if (!trusted) {
            m_declined = true;
            co_return -1;
        }
        m_outcome.trust.pinnedSha256 = q.sha256;
        m_outcome.trustLearnt = true;
    }
}

// USER/PASS would go in clear: the user is asked once; yes is remembered for the server.
Task<bool> Pass::askPlainLogin() {
    CheckHost::TrustQuestion q;
    q.kind = CheckHost::TrustQuestion::Kind::PlainLogin;
    q.server = m_trustKey;
    q.byHand = byHand();
    const auto trusted = co_await m_host.putTrustQuestion(q);
    if (!trusted) {
        m_declined = true;
        co_return false;
    }
    m_outcome.trust.plainAgreed = true;
    m_outcome.trustLearnt = true;
    co_return true;
}

Task<CheckOutcome> Pass::execute() {
    clearWorkingBoxes();
    m_outcome.status = CheckOutcome::Status::NoServer;
    if (m_inputs.server.pop3Server.isEmpty()) {
        co_await report();
        co_return m_outcome;
    }

    SpamRule* const rule = ruleFor(m_settings.rule);
    openLearning();
    m_library.NMailSetOption(kNMailOptionPlan, int(planFor(rule, learning(), m_preview)));
    m_library.NMailSetOption(kNMailOptionPipelining, m_inputs.pipelining ? 1 : 0);
    m_library.NMailSetOption(kNMailOptionUidls, m_quarantine || needsUidls() ? 1 : 0);
    m_library.NMailSetOption(kNMailOptionFieldBuffer, kCheckFieldBufferBytes);
    m_library.NMailSetOption(kNMailOptionOpenWindow, m_host.deletionsMayBeAnnouncedLate() ? 1 : 0);
    if (stopping()) {
        m_outcome.status = CheckOutcome::Status::NotStarted;
        co_return m_outcome;
    }
    m_outcome.trust = m_inputs.trust;
    // The login as it will be made, for a server that takes it before its greeting has come.
    if (m_inputs.server.useApop == 0)
        m_library.NMailSetEarlyLogin(m_inputs.account.id, m_inputs.account.password);
    m_handle = co_await connectTrusted();
    if (m_handle < 0) {
        m_outcome.status = CheckOutcome::Status::NoConnection;
        m_outcome.failure = lastError();
        // A refusal of ours is told even to a check nobody started by hand: it may be an attack.
        const Pop3ErrorKind kind = m_outcome.failure.kind;
        const bool refused = kind == Pop3ErrorKind::TlsDowngraded || kind == Pop3ErrorKind::TlsRefused ||
                             kind == Pop3ErrorKind::CertificateChanged;
        if (byHand() || (refused && !m_declined)) {
            const CheckNotice said = notice(CheckNotice::Kind::NoConnection, m_outcome.failure);
            co_await tell(said);
        }
        co_await report();
        co_return m_outcome;
    }

    // The caller chose the account (readCheckInputs: the one confirmed in this run, else the stored
    // one); the account window shows it.
    m_outcome.account = m_inputs.account;
    const QString id = m_inputs.account.id;
    const QString password = m_inputs.account.password;
    m_host.setAccountBoxes(id, password);
    if (stopping()) {
        m_outcome.status = CheckOutcome::Status::NotStarted;
        co_await m_library.NMailPop3Close(m_handle);
        co_return m_outcome;
    }
    if (id.isEmpty() || password.isEmpty()) {
        m_outcome.status = CheckOutcome::Status::AccountMissing;
        m_host.showSetForm();
        co_await m_library.NMailPop3Close(m_handle);
        co_await report();
        co_return m_outcome;
    }

    const int apopFlag = m_inputs.server.useApop != 0 ? -1 : 0;
    int count = co_await m_library.NMailPop3Authenticate(m_handle, id, password, apopFlag);
    const bool plainRefused = count < 0 && m_library.NMailGetError().kind == Pop3ErrorKind::PlainLoginRefused;
    bool agreed = false;
    if (plainRefused)
        agreed = co_await askPlainLogin();
    if (agreed) {
        // Nothing was sent yet: a fresh connection, now allowed to log in in clear.
        co_await m_library.NMailPop3Close(m_handle);
        m_handle = co_await connectTrusted();
        count = -1;
        if (m_handle >= 0)
            count = co_await m_library.NMailPop3Authenticate(m_handle, id, password, apopFlag);
    }
    m_outcome.mailCount = count;
    if (count < 0) {
        // Only the server's own refusal is a refused login; a connection that broke or went silent
        // meanwhile, or a server that is not speaking POP3, is a failed connection.
        const Pop3ErrorKind kind = m_library.NMailGetError().kind;
        m_outcome.status = kind == Pop3ErrorKind::LoginRefused ? CheckOutcome::Status::LoginRefused
                                                               : CheckOutcome::Status::NoConnection;
        m_outcome.failure = lastError();
        // A server that garbles the login sent in one flight is sent one command at a time from
        // the next check on (rememberOutcome).
        m_outcome.pipeliningGarbled = m_outcome.failure.pipeliningGarbled;
        if (kind != Pop3ErrorKind::PlainLoginRefused || byHand()) {
            const CheckNotice said = notice(CheckNotice::Kind::LoginFailed, m_outcome.failure);
            co_await tell(said);
        }
        if (m_handle >= 0)
            co_await m_library.NMailPop3Close(m_handle);
        co_await report();
        co_return m_outcome;
    }

    m_outcome.status = CheckOutcome::Status::Done;
    m_pending.server = m_inputs.server.pop3Server;
    m_pending.account = id;
    if (count == 0 && !(m_quarantine && m_memories->pendingDeletions())) {
        co_await m_library.NMailPop3Close(m_handle); // nothing was judged, so nothing can be lost
        if (m_quarantine) // an empty mailbox: nothing remembered for it is on the server any more
            m_memories->keepVerdicts(VerdictMemory(m_pending.server, m_pending.account, {}));
    } else {
        if (!m_dryRun && m_quarantine)
            co_await resumePendingDeletions();
        if (!stopping())
            co_await decideWithoutFetching(rule);
        co_await judgeMessages(rule);
        co_await closeConnection();
        if (m_memory && !m_preview) { // a preview's partial texts decide nothing for the checks to come
            // Catches left on the server, for the dry runs to come (a real check judges them again).
            for (const CheckOutcome::Caught& c : std::as_const(m_outcome.caught)) {
                if (!c.deleted && !c.resumed)
                    rememberCatch(c);
            }
            if (!m_learningLost)
                m_memories->keepVerdicts(*m_memory); // a failure only costs the next check its shortcut
        }
    }
    if (!m_dryRun && m_quarantine)
        m_quarantine->prune(now());
    co_await report();
    co_return m_outcome;
}

Task<void> Pass::judgeMessages(SpamRule* rule) {
    if (rule == nullptr && !learning() && m_inputs.marks.junk.isEmpty() && !m_preview) {
        co_return; // every message stays
    }
    using Verdict = CheckOutcome::MessageReport::Verdict;
    const bool reporting = m_preview || m_inputs.reportMessages;
    // The numbers are those of the login: a deletion renumbers nothing.
    for (int n = 1; n <= m_outcome.mailCount && !stopping(); ++n) {
        m_host.progress(n, m_outcome.mailCount);
        co_await settleDeletions(false);
        if (m_resumedNumbers.contains(n))
            continue; // deleted again already
        m_fields = MailFields{};
        m_scoreCurrent = -1;
        m_reasonsCurrent.clear();
        m_caughtReport.reset();
        if (m_untouched.contains(n) || m_decided.contains(n)) {
            // Left alone, or kept without a look: a preview still lists its header.
            if (reporting && !m_untouched.contains(n))
                co_await m_library.NMailPop3GetMailStatus(m_handle, n, m_fields);
            if (reporting)
                co_await reportMessage(n, m_untouched.contains(n) ? Verdict::Unjudged : Verdict::Keep);
            continue;
        }
        m_bodyOf = 0;
        m_body.clear();
        m_judgedCleanly = true;
        m_failedCurrent = false;
        m_caughtCurrent = false;
        m_verdictCurrent = Verdict::Keep;
        co_await judgeOne(n, rule);
        if (!m_caughtCurrent && !stopping()) {
            if (m_judgedCleanly)
                rememberKeep(n);
            else if (m_failedCurrent)
                m_outcome.unjudged.append(UnjudgedMessage{n, m_failureReason});
        }
        if (reporting)
            co_await reportMessage(n, m_caughtCurrent                       ? Verdict::Caught
                                      : m_failedCurrent && !m_judgedCleanly ? Verdict::Unjudged
                                                                            : m_verdictCurrent);
    }
    co_await sendDeferredDeletions();
    // The server may end the session as soon as it has answered the last DELE.
    if (!m_unanswered.empty())
        m_library.NMailPop3SendQuit(m_handle);
    co_await settleDeletions(true);
    if (m_outcome.pipeliningGarbled) {
        const CheckNotice said = notice(CheckNotice::Kind::RepliesGarbled);
        co_await tell(said);
    }
}

// One message: the allow list and the marks first, then the selected rule, then, for what the rule
// keeps, the learned judgement.
Task<void> Pass::judgeOne(int n, SpamRule* rule) {
    const QString uidl = uidlOf(n);
    const bool markedJunk = !uidl.isEmpty() && m_inputs.marks.junk.contains(uidl);
    const bool markedWanted = !uidl.isEmpty() && m_inputs.marks.wanted.contains(uidl);
    // The learned judgement needs the fields only where the rule reads no body (whose reading fills
    // them), and a listing of every message needs them whatever happens to it.
    const bool bodyRule = rule != nullptr && rule->storedNumber() != 4;
    const bool haveFields = !m_inputs.allowList.isEmpty() || (rule != nullptr && rule->judgesHeaderFirst()) ||
                            markedJunk || (learning() && (!bodyRule || m_inputs.reportMessages));
    if (m_preview) {
        const auto fetched = co_await fetchBody(n);
        if (!fetched)
            co_return; // nothing to judge by: the message stays
    } else if (haveFields) {
        // (No co_await inside &&, || or ?: in this file: g++ 12 mistranslates their temporaries.)
        const auto status = co_await m_library.NMailPop3GetMailStatus(m_handle, n, m_fields);
        if (status < 0) {
            noteFailure();
            co_return;
        }
    }
    if (allowed()) {
        m_verdictCurrent = CheckOutcome::MessageReport::Verdict::Allowed; // no rule deletes it
        co_return;
    }
    if (markedWanted) {
        m_verdictCurrent = CheckOutcome::MessageReport::Verdict::MarkedWanted;
        co_return;
    }
    if (markedJunk) {
        co_await deleteCaught(n, QString::fromUtf16(RuleWord::MarkedJunk), QString());
        co_return;
    }
    if (rule != nullptr)
        co_await rule->judge(n, *this);
    // --explain also weighs what the rule caught, for its report; it deletes nothing.
    if (learning() && m_judgedCleanly && !stopping() &&
        (!m_caughtCurrent || (m_inputs.reportMessages && m_dryRun)))
        co_await judgeLearned(n, !m_caughtCurrent);
}

// The whole text of message n, and when the rule had it decoded already, that decoded text.
Task<bool> Pass::readRaw(int n, QByteArray& raw, std::shared_ptr<const DecodedMessage>& decoded) {
    if (m_preview) {
        const auto fetched = co_await fetchBody(n);
        if (!fetched)
            co_return false;
        raw = m_previewRaw;
        decoded = m_previewDecoded;
        co_return true;
    }
    const auto got = co_await m_library.NMailPop3GetRawMail(m_handle, n, -1, raw);
    if (got < 0) {
        noteFailure();
        co_return false;
    }
    decoded = m_library.NMailPop3LastDecoded(m_handle, n);
    co_return true;
}

// The learned judgement of message n; a confident junk verdict deletes it when act is set.
Task<void> Pass::judgeLearned(int n, bool act) {
    // What a deletion logs and copies: read with the body, else read now.
    if (!m_preview && m_bodyOf != n && m_fields.header.isEmpty()) {
        const auto status = co_await m_library.NMailPop3GetMailStatus(m_handle, n, m_fields);
        if (status < 0) {
            noteFailure();
            co_return;
        }
    }
    QByteArray raw;
    std::shared_ptr<const DecodedMessage> decoded;
    const auto read = co_await readRaw(n, raw, decoded);
    if (!read)
        co_return;
    // Decoded once: what the rule read is what is weighed. The score of a kept message is shown only
    // where messages are listed.
    const bool listed = m_preview || m_inputs.reportMessages;
    std::optional<learn::Judgement> j;
    if (listed)
        j = decoded ? m_store->judge(raw, *decoded) : m_store->judge(raw);
    else if (decoded)
        j = m_store->judgeForDeletion(raw, *decoded);
    else
        j = m_store->judgeForDeletion(raw, decodeMessage(raw));
    if (!j) {
        learningFailed(m_store->errorText());
        co_return;
    }
    if (j->verdict == learn::Verdict::NotReady)
        co_return; // too little learned: it judges nothing
    m_scoreCurrent = j->score;
    for (const learn::WeighedToken& t : j->reasons)
        m_reasonsCurrent.append(
            {sanitizeServerText(t.token, QString(), kReasonTokenMaxChars), t.probability});
    if (act && j->verdict == learn::Verdict::Junk)
        co_await deleteCaught(n, QString::fromUtf16(RuleWord::Learned), scoreText(j->score));
}

Task<void> Pass::reportMessage(int n, CheckOutcome::MessageReport::Verdict verdict) {
    CheckOutcome::MessageReport r;
    r.number = n;
    r.uidl = uidlOf(n);
    r.date = sanitizeServerText(CutAtNul(m_fields.second), QString(), kReportTextMaxChars);
    r.sender = sanitizeServerText(CutAtNul(m_fields.fromAddress), QString(), kReportTextMaxChars);
    r.subject = sanitizeServerText(CutAtNul(m_fields.subject), QString(), kReportTextMaxChars);
    r.size = co_await m_library.NMailPop3GetMailSize(m_handle, n);
    r.verdict = verdict;
    if (verdict == CheckOutcome::MessageReport::Verdict::Caught && m_caughtReport) {
        r.ruleWord = m_caughtReport->ruleWord;
        if (r.ruleWord != QStringView(RuleWord::Learned))
            r.keyword = sanitizeServerText(m_caughtReport->keyword, QString(), kReportTextMaxChars);
    }
    r.learnedScore = m_scoreCurrent;
    r.reasons = m_reasonsCurrent;
    if (m_preview && m_bodyOf == n)
        r.text = m_previewRaw; // what the windows learn from when the user marks the message
    m_outcome.messages.append(r);
}

void Pass::openLearning() {
    if (!m_inputs.learning.enabled)
        return;
    m_store.emplace(m_inputs.learning.storePath.isEmpty() ? learn::LearnStore::defaultPath()
                                                          : m_inputs.learning.storePath);
    m_store->setBusyTimeout(kCheckStoreBusyTimeoutMs);
    std::optional<learn::LearnStore::Totals> totals;
    if (!m_store->open() || !(totals = m_store->totals())) {
        learningFailed(m_store->errorText());
        return;
    }
    m_outcome.learnedJunk = int(totals->junk);
    m_outcome.learnedWanted = int(totals->wanted);
}

// The store cannot be used: the check goes on with the selected rule alone, and says so once.
void Pass::learningFailed(const QString& problem) {
    if (m_outcome.learningProblem.isEmpty())
        m_outcome.learningProblem = sanitizeServerText(problem, QString(), kLearningProblemMaxChars);
    if (m_memory)
        m_learningLost = true; // the keeps judged so far under learning are not remembered
    m_store.reset();
    m_outcome.learnedJunk = 0;
    m_outcome.learnedWanted = 0;
}

// Before anything is fetched: with onlyUidls, the messages not named are left alone; the messages an
// earlier check judged "keep" under the same judgement, and with the size rule (without the learned
// judgement, which reads every message) those whose listed size decides, are taken off the read-ahead.
Task<void> Pass::decideWithoutFetching(const SpamRule* rule) {
    if (needsUidls())
        co_await readUidls(); // without them no mark applies, and onlyUidls leaves every message alone
    if (m_inputs.onlyUidls) {
        for (int n = 1; n <= m_outcome.mailCount; ++n) {
            if (m_resumedNumbers.contains(n) ||
                (!uidlOf(n).isEmpty() && m_inputs.onlyUidls->contains(uidlOf(n))))
                continue;
            m_untouched.insert(n);
            if (!m_preview)
                m_library.NMailPop3Skip(m_handle, n);
        }
    }
    if (rule == nullptr && !learning())
        co_return; // nothing is judged but the marks: nothing to remember
    const bool sizeRule = rule != nullptr && rule->storedNumber() == 4;
    const std::optional<double> limit = sizeRule ? sizeLimit() : std::optional<double>();
    if (m_quarantine) {
        const QByteArray judgement = judgementDigest(
            rule != nullptr ? rule->storedNumber() : 0,
            rule != nullptr && rule->judgesHeaderFirst() ? m_inputs.keywords : QStringList(),
            m_inputs.allowList, sizeRule ? trimSpaces(m_settings.sizeLimit) : QString(), learning());
        m_memory = m_memories->verdicts(m_pending.server, m_pending.account, judgement);
        const auto uidlsRead = co_await readUidls();
        if (!uidlsRead)
            m_memory.reset(); // without the UIDLs nothing is remembered, and all is judged
        for (int n = 1; m_memory && n <= m_outcome.mailCount; ++n) {
            if (m_resumedNumbers.contains(n))
                continue; // deleted again already
            const QString& uidl = m_uidlOf[n];
            if (m_untouched.contains(n)) {
                if (m_memory->remembersKeep(uidl))
                    m_memory->keep(uidl); // not judged now, and still remembered
                continue;
            }
            if (!uidl.isEmpty() && m_inputs.marks.junk.contains(uidl))
                continue; // the user's mark decides, whatever was remembered
            if (m_memory->remembersKeep(uidl)) {
                m_memory->keep(uidl);
            } else if (!m_dryRun || m_preview) {
                continue; // a real check fetches a remembered catch for its copy, and judges it again
            } else {
                const bool reported = co_await reportRemembered(n);
                if (!reported)
                    continue;
            }
            m_decided.insert(n);
            if (!m_preview) // a preview still reads its header
                m_library.NMailPop3Skip(m_handle, n);
            ++m_outcome.remembered;
        }
    }
    if (!limit || learning())
        co_return; // the rule itself tells the user, once; the learned judgement reads every message
    const double limitBytes = limit.value_or(0);
    for (int n = 1; n <= m_outcome.mailCount && !stopping(); ++n) {
        if (m_resumedNumbers.contains(n) || m_decided.contains(n) || m_untouched.contains(n) ||
            m_inputs.marks.junk.contains(uidlOf(n)))
            continue;
        const qint64 listed = co_await serverSize(n);
        if (listed < 0)
            co_return; // measured as usual, which tells what failed
        const ListedSizeVerdict verdict = sizeVerdictFromListing(listed, limitBytes, kCheckFieldBufferBytes);
        if (verdict == ListedSizeVerdict::Keep) {
            m_decided.insert(n);
            ++m_outcome.decidedByListedSize;
            if (!m_preview)
                m_library.NMailPop3Skip(m_handle, n);
            rememberKeep(n);
        }
    }
}

// The UIDL of every message, read once for the pass (the session has them from its one listing):
// for the deletions an earlier pass left pending and for the verdict memory. False when they could
// not be read.
Task<bool> Pass::readUidls() {
    if (!m_uidlOf.isEmpty() || m_uidlsFailed)
        co_return !m_uidlsFailed;
    QList<QString> uidls(m_outcome.mailCount + 1);
    for (int n = 1; n <= m_outcome.mailCount; ++n) {
        const auto uidlRead = co_await m_library.NMailPop3GetUidl(m_handle, n, uidls[n]);
        if (uidlRead < 0) {
            noteFailure();
            m_uidlsFailed = true;
            co_return false;
        }
    }
    m_uidlOf = std::move(uidls);
    co_return true;
}

void Pass::rememberKeep(int n) {
    if (m_memory && !m_preview && n < m_uidlOf.size())
        m_memory->keep(m_uidlOf[n]);
}

void Pass::rememberCatch(const CheckOutcome::Caught& caught) {
    if (m_memory && caught.number < m_uidlOf.size())
        m_memory->caught(m_uidlOf[caught.number],
                         RememberedCatch{caught.ruleWord, caught.keyword, caught.sender, caught.subject});
}

// A dry run reports a catch an earlier check remembered without fetching the message. False when
// none is remembered for message n.
Task<bool> Pass::reportRemembered(int n) {
    const std::optional<RememberedCatch> c = m_memory->rememberedCatch(m_uidlOf[n]);
    if (!c)
        co_return false;
    CheckOutcome::Caught caught;
    caught.number = n;
    caught.ruleWord = c->ruleWord;
    caught.keyword = c->keyword;
    caught.sender = c->sender;
    caught.subject = c->subject;
    caught.size = co_await serverSize(n); // from the listing
    caught.uidl = m_uidlOf[n];
    m_outcome.caught.append(caught);
    co_return true;
}

void Pass::noteFailure() {
    m_judgedCleanly = false;
    m_failedCurrent = true;
    m_failureReason = lastError();
    if (m_failureReason.pipeliningGarbled)
        m_outcome.pipeliningGarbled = true;
}

bool Pass::stopping() {
    if (m_run.stopRequested())
        m_outcome.stopped = true;
    return m_outcome.stopped || m_outcome.pipeliningGarbled;
}

Task<void> Pass::closeConnection() {
    const auto closed = co_await m_library.NMailPop3Close(m_handle);
    if (closed >= 0) {
        co_await recordDeletions();
        co_return;
    }
    // Without an acknowledged QUIT the server keeps every message: the deletions announced during
    // this pass did not happen, and those messages are still waiting.
    const int lost = m_outcome.deleted;
    m_outcome.status = CheckOutcome::Status::DeletionsLost;
    m_outcome.failure = lastError();
    m_outcome.deleted = 0;
    m_outcome.resumedDeletions = 0;
    for (CheckOutcome::Caught& c : m_outcome.caught) {
        c.deleted = false;
    }
    // The pending file keeps what the server accepted: the next pass on this server deletes exactly
    // those by UIDL. Refused ones are judged again.
    if (!m_dryRun)
        savePending();
    if (lost > 0) {
        CheckNotice n = notice(CheckNotice::Kind::DeletionsLost, m_outcome.failure);
        n.count = lost;
        co_await tell(n);
    } else if (byHand() && !m_outcome.pipeliningGarbled) { // the garble was told already
        const CheckNotice said = notice(CheckNotice::Kind::ConnectionLost, m_outcome.failure);
        co_await tell(said);
    }
}

Task<void> Pass::report() {
    // What the session found of the server (its CAPA, a quirk, TLS offered now) is kept for the next
    // check (rememberOutcome).
    const ConnectionSecurity security = m_library.NMailGetSecurity();
    if (security.known.seen && security.known != m_outcome.trust.known)
        m_outcome.trust.known = security.known, m_outcome.trustLearnt = true;
    if (security.tlsOffered && !m_outcome.trust.tlsSeen)
        m_outcome.trust.tlsSeen = m_outcome.trustLearnt = true;
    const int newMail = qMax(0, m_outcome.mailCount - m_outcome.deleted);
    m_outcome.newMailCount = newMail;
    if (!m_outcome.unjudged.isEmpty()) {
        m_host.tellUnjudged(m_outcome.unjudged);
    }
    // A dry run only shows what it would delete: no notice board, no mail program, no hang-up.
    if (m_dryRun) {
        std::stable_sort(
            m_outcome.caught.begin(), m_outcome.caught.end(),
            [](const CheckOutcome::Caught& a, const CheckOutcome::Caught& b) { return a.number < b.number; });
        clearWorkingBoxes();
        co_return;
    }
    if (newMail > 0) {
        if (m_host.noticeBoardChosen()) {
            m_host.showNoticeBoard(newMail);
            if (m_host.autoCloseNoticeBoard()) {
                co_await m_host.pause(1000);
                m_host.unloadNoticeBoard();
            }
        } else if (m_host.mailerChosen()) {
            const QString command = trimSpaces(m_settings.mailerCommand);
            if (command.isEmpty() || command == QStringView(kNotSetText)) {
                const CheckNotice said = notice(CheckNotice::Kind::NoMailer);
                co_await tell(said);
            } else if (!m_host.startMailer(command)) {
                CheckNotice n = notice(CheckNotice::Kind::MailerFailed);
                n.path = command;
                co_await tell(n);
            }
        }
    }
    if (m_outcome.mailCount == 0 && m_host.hangUpAfterCheck()) {
        m_host.hangUp();
    }
    clearWorkingBoxes();
}

Task<bool> Pass::fetchBody(int n) {
    if (m_bodyOf == n) {
        co_return true;
    }
    if (m_preview)
        co_return co_await previewText(n);
    // The size only sized the body buffer; the library hands the text over whole.
    co_await serverSize(n);
    QString body;
    int got = -1;
    if (!stopping())
        got = co_await m_library.NMailPop3GetMail(m_handle, n, m_fields, body);
    if (got < 0) {
        noteFailure();
        // Judging an empty text would catch a message that was never seen (no hiragana in it).
        m_host.setText(Field::Body, QString());
        co_return false;
    }
    m_body = CutAtNul(body);
    m_bodyOf = n;
    m_host.setText(Field::Body, m_body);
    co_return true;
}

// A preview reads the header and the first lines (TOP), the whole text where TOP is refused: its
// fields and body come from that text.
Task<bool> Pass::previewText(int n) {
    QByteArray raw;
    int got = -1;
    if (!stopping())
        got = co_await m_library.NMailPop3GetRawMail(m_handle, n, m_inputs.previewLines, raw);
    if (got < 0 && !stopping() && m_library.NMailGetError().kind == Pop3ErrorKind::CommandRefused)
        got = co_await m_library.NMailPop3GetRawMail(m_handle, n, -1, raw);
    if (got < 0) {
        noteFailure();
        co_return false;
    }
    auto message = std::make_shared<const DecodedMessage>(decodeMessage(raw));
    const qsizetype max = kCheckFieldBufferBytes - 1;
    m_fields.subject = message->head.subject.left(max);
    m_fields.second = message->head.date.left(max);
    m_fields.fromAddress = message->head.fromAddress.left(max);
    m_fields.header = message->head.header.left(max);
    m_previewRaw = raw;
    m_body = message->body;
    m_previewDecoded = std::move(message);
    m_bodyOf = n;
    co_return true;
}

Task<qint64> Pass::serverSize(int n) {
    if (m_sizeOf != n) {
        m_size = co_await m_library.NMailPop3GetMailSize(m_handle, n);
        m_sizeOf = n;
        if (m_size < 0)
            noteFailure();
    }
    co_return m_size;
}

Task<void> Pass::deleteCaught(int n, QString word, QString keyword) {
    m_caughtCurrent = true;
    CheckOutcome::Caught caught;
    caught.number = n;
    caught.ruleWord = word;
    caught.subject = CutAtNul(m_fields.subject);
    caught.keyword = keyword;
    caught.sender = CutAtNul(m_fields.fromAddress);
    caught.size = co_await serverSize(n);
    caught.learnedScore = m_scoreCurrent;
    m_caughtReport = caught;
    if (stopping())
        co_return; // judged, but no deletion starts any more
    if (m_dryRun) {
        m_outcome.caught.append(caught);
        co_return;
    }
    // The copy goes first: without it the message stays on the server.
    const bool deferred = m_host.deletionsMayBeAnnouncedLate();
    bool partial = false;
    const std::optional<QString> copy = co_await keepCopy(caught, partial, !deferred);
    if (!copy) {
        co_await copyFailed(caught);
        co_return;
    }
    caught.copyPath = *copy;
    DeletionRecord record = recordOf(caught);
    record.partialCopy = partial;
    m_recordByCopy.insert(caught.copyPath, record);
    if (deferred) {
        m_deferred.append(caught);
        co_return;
    }
    if (!caught.uidl.isEmpty() && m_keepPending) {
        m_pending.records.append(record);
        savePending(); // a failure here only loses the resumption: the copy is kept
    }
    const int result = co_await m_library.NMailPop3DeleteMail(m_handle, n);
    co_await finishDeletion(caught, result);
}

// The deferred catches: their copies synced with one wait, their pending records written once, then
// their DELEs without waiting. Nothing is sent when the copies could not be synced.
Task<void> Pass::sendDeferredDeletions() {
    if (m_deferred.isEmpty() || stopping())
        co_return;
    const QList<CheckOutcome::Caught> batch = std::exchange(m_deferred, {});
    if (!m_quarantine->syncCopies()) {
        for (CheckOutcome::Caught c : batch) {
            m_recordByCopy.remove(c.copyPath);
            c.copyPath.clear();
            co_await copyFailed(c);
        }
        co_return;
    }
    for (const CheckOutcome::Caught& c : batch) {
        if (!c.uidl.isEmpty() && m_keepPending)
            m_pending.records.append(m_recordByCopy.value(c.copyPath));
    }
    savePending(); // a failure here only loses the resumption: the copies are kept
    for (const CheckOutcome::Caught& c : batch) {
        if (stopping())
            co_return;
        const int result = co_await m_library.NMailPop3DeleteMailNoWait(m_handle, c.number);
        if (result == 1)
            m_unanswered.push_back(c);
        else
            co_await finishDeletion(c, result);
    }
}

bool Pass::allowed() const {
    return !m_inputs.allowList.isEmpty() &&
           allowListMatches(m_inputs.allowList, CutAtNul(m_fields.fromAddress));
}

Task<std::optional<QString>> Pass::keepCopy(CheckOutcome::Caught& caught, bool& partial, bool synced) {
    if (!m_quarantine)
        co_return std::nullopt;
    QString uidl;
    const auto uidlRead = co_await m_library.NMailPop3GetUidl(m_handle, caught.number, uidl);
    if (uidlRead < 0) {
        noteFailure();
        co_return std::nullopt;
    }
    caught.uidl = uidl.size() <= kUidlMaxChars ? uidl : QString();
    // A message too large to keep whole keeps its header and first lines.
    partial = caught.size > kQuarantineWholeMaxBytes;
    QByteArray raw;
    const int lines = partial ? kQuarantinePartialLines : -1;
    int got = co_await m_library.NMailPop3GetRawMail(m_handle, caught.number, lines, raw);
    if (got < 0 && partial && m_library.NMailGetError().kind == Pop3ErrorKind::CommandRefused) {
        // TOP is optional: the whole text, cut to the same header and lines.
        got = co_await m_library.NMailPop3GetRawMail(m_handle, caught.number, -1, raw);
        const qsizetype header = raw.indexOf("\r\n\r\n");
        qsizetype end = header < 0 ? raw.size() : header + 4;
        for (int line = 0; line < kQuarantinePartialLines && end > 0 && end < raw.size(); ++line)
            end = raw.indexOf('\n', end) + 1;
        if (end > 0)
            raw.truncate(end);
    }
    if (got < 0) {
        noteFailure();
        co_return std::nullopt;
    }
    co_return m_quarantine->keep(raw, caught.number, caught.uidl, m_started, synced);
}

Task<void> Pass::copyFailed(CheckOutcome::Caught failed) {
    CheckOutcome::Caught caught = failed;
    caught.copyFailed = true;
    m_outcome.caught.append(caught);
    ++m_outcome.copyFailures;
    if (m_toldCopyFailure || m_outcome.pipeliningGarbled || stopping())
        co_return;
    m_toldCopyFailure = true;
    CheckNotice n = notice(CheckNotice::Kind::CopyFailed);
    n.number = caught.number;
    n.path = m_inputs.dataFolder;
    co_await tell(n);
}

// A catch as an earlier pass recorded it (the two hold the same texts).
CheckOutcome::Caught caughtOf(const DeletionRecord& r) {
    CheckOutcome::Caught caught;
    caught.ruleWord = r.ruleWord;
    caught.keyword = r.keyword;
    caught.subject = r.subject;
    caught.sender = r.sender;
    caught.size = r.size;
    caught.uidl = r.uidl;
    caught.copyPath = r.copyPath;
    return caught;
}

DeletionRecord Pass::recordOf(const CheckOutcome::Caught& caught) const {
    DeletionRecord r;
    r.when = m_started;
    r.ruleWord = caught.ruleWord;
    r.keyword = caught.keyword;
    r.sender = caught.sender;
    r.subject = caught.subject;
    r.size = caught.size;
    r.uidl = caught.uidl;
    r.copyPath = caught.copyPath;
    return r;
}

// Deletions an earlier pass on this server and account sent but could not see take effect (its
// QUIT went unanswered). Those still on the server are deleted again, found by UIDL whatever their
// numbers are now; those gone took effect. Either way they are logged with this pass's deletions.
Task<void> Pass::resumePendingDeletions() {
    const std::optional<PendingDeletions> pending = m_memories->pendingDeletions();
    if (!pending)
        co_return; // none, or damaged: a damaged file names nothing
    if (pending->server != m_pending.server || pending->account != m_pending.account) {
        m_keepPending = false; // another mailbox's: left for its own next check
        co_return;
    }
    const auto uidlsRead = co_await readUidls();
    if (!uidlsRead)
        co_return; // the file stays for the next pass
    QHash<QString, int> numberOf;
    for (int n = 1; n <= m_outcome.mailCount; ++n) {
        if (!m_uidlOf[n].isEmpty())
            numberOf.insert(m_uidlOf[n], n);
    }
    for (const DeletionRecord& r : pending->records) {
        if (stopping())
            co_return;
        const int n = numberOf.value(r.uidl, 0);
        m_pending.records.append(r);
        if (n > 0) {
            const auto deleted = co_await m_library.NMailPop3DeleteMail(m_handle, n);
            if (deleted < 0) {
                noteFailure();
                m_pending.records.removeLast();
                continue; // it stays on the server, and is judged again
            }
            m_resumedNumbers.insert(n);
            ++m_outcome.deleted;
            ++m_outcome.resumedDeletions;
            CheckOutcome::Caught caught = caughtOf(r);
            caught.number = n;
            caught.deleted = true;
            caught.resumed = true;
            m_outcome.caught.append(caught);
        }
        m_resumed.append(r);
    }
}

void Pass::savePending() {
    if (!m_keepPending || !m_quarantine)
        return;
    PendingDeletions kept = m_pending;
    // Only what the server accepted, or may still accept, is pending.
    kept.records.removeIf([&](const DeletionRecord& r) { return m_refusedCopies.contains(r.copyPath); });
    m_memories->keepPendingDeletions(kept);
}

// QUIT was acknowledged: the deletions took effect. They go into the log, and nothing is pending.
Task<void> Pass::recordDeletions() {
    if (m_dryRun || !m_quarantine)
        co_return;
    QList<DeletionRecord> records = m_resumed;
    for (const CheckOutcome::Caught& c : m_outcome.caught) {
        if (c.deleted && !c.resumed && m_recordByCopy.contains(c.copyPath))
            records.append(m_recordByCopy.value(c.copyPath));
    }
    if (!appendDeletionLog(m_inputs.dataFolder, records)) {
        const CheckNotice said = notice(CheckNotice::Kind::LogNotWritten);
        co_await tell(said);
    }
    if (m_keepPending) {
        m_pending.records.clear();
        m_memories->keepPendingDeletions(m_pending);
    }
}

Task<void> Pass::settleDeletions(bool wait) {
    while (!m_unanswered.empty()) {
        const int result =
            co_await m_library.NMailPop3DeleteResult(m_handle, m_unanswered.front().number, wait);
        if (result == 1) {
            co_return;
        }
        const CheckOutcome::Caught caught = m_unanswered.front();
        m_unanswered.pop_front();
        co_await finishDeletion(caught, result);
    }
}

// Counts and announces a deletion only once the server has accepted it.
Task<void> Pass::finishDeletion(CheckOutcome::Caught accepted, int result) {
    CheckOutcome::Caught caught = accepted;
    if (result < 0) {
        noteFailure();
        m_outcome.caught.append(caught);
        if (m_outcome.pipeliningGarbled) {
            co_return; // no refusal: the answer was lost in the garble, and the pass tells that once
        }
        ++m_outcome.refusedDeletions;
        m_refusedCopies.insert(caught.copyPath);
        CheckNotice n = notice(CheckNotice::Kind::DeletionRefused, lastError());
        n.number = caught.number;
        n.ruleWord = caught.ruleWord;
        co_await tell(n);
        co_return;
    }
    caught.deleted = true;
    m_outcome.caught.append(caught);
    ++m_outcome.deleted;
    m_host.setText(Field::DeletionCount, shortestDecimal(m_outcome.deleted));
    co_await m_host.showDeletion(caught.number, caught.ruleWord);
}

const KeywordMatcher& Pass::keywords() {
    // Read once per pass: the list is the same for every message of one pass.
    if (!m_keywords) {
        m_keywords.emplace(m_inputs.keywords);
    }
    return *m_keywords;
}

Task<void> Pass::sizeLimitMissing() {
    m_judgedCleanly = false; // nothing was judged
    if (m_toldSizeLimit) {
        co_return;
    }
    m_toldSizeLimit = true;
    const CheckNotice said = notice(CheckNotice::Kind::SizeLimitMissing);
    co_await tell(said);
}

} // namespace

QString CutAtNul(const QString& text) {
    const qsizetype at = text.indexOf(QChar(u'\0'));
    return at < 0 ? text : text.left(at);
}

MailCheckRun::MailCheckRun(CheckHost& host, MailLibrary& library, CheckInputs inputs)
    : m_host(host), m_library(library), m_inputs(std::move(inputs)) {}

MailCheckRun::~MailCheckRun() = default;

Task<CheckOutcome> MailCheckRun::run() {
    if (m_host.runningCheck() != nullptr) {
        co_return CheckOutcome{}; // NotStarted: another pass is under way with this host
    }
    RunningGuard guard(m_host, this);
    // What the user may change in the windows is taken now, once: the pass reads nothing else of it.
    CheckInputs inputs = m_inputs;
    if (!inputs.settings)
        inputs.settings = checkSettingsFrom(m_host);
    Pass pass(*this, m_host, m_library, inputs, m_dryRun, m_startKind);
    co_return co_await pass.execute();
}

void MailCheckRun::start(std::function<void(const CheckOutcome&)> finished) {
    m_task = run();
    m_task.start([this, finished = std::move(finished)] {
        // finished may destroy this run (and the task's frame, suspended at its end): the outcome
        // is taken out first.
        const CheckOutcome outcome = m_task.result();
        finished(outcome);
    });
}

} // namespace brindle
