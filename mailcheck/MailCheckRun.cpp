#include "mailcheck/MailCheckRun.h"

#include "keywords/AllowList.h"
#include "learn/LearnStore.h"
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
    }

    CheckOutcome execute();

    // RuleContext
    CheckHost& host() override { return m_host; }
    const MailFields& fields() const override { return m_fields; }
    const QString& body() const override { return m_body; }
    bool fetchBody(int n) override;
    qint64 serverSize(int n) override;
    void deleteCaught(int n, const QString& word, const QString& keyword) override;
    const KeywordMatcher& keywords() override;
    std::optional<double> sizeLimit() const override { return sizeLimitFrom(m_settings.sizeLimit); }
    void sizeLimitMissing() override;
    QString sizeProbePath() const override { return sizeProbeFilePath(m_inputs.probeFolder); }

private:
    // A notice for the user; a preview shows none (its window reports the outcome).
    MsgResult tell(const CheckNotice& notice) { return m_preview ? MsgResult::Ok : m_host.tell(notice); }
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
    bool readRaw(int n, QByteArray& raw, std::shared_ptr<const DecodedMessage>& decoded);
    bool previewText(int n);
    void judgeLearned(int n, bool actOnIt);
    void judgeOne(int n, SpamRule* rule);
    void reportMessage(int n, CheckOutcome::MessageReport::Verdict verdict);
    QString uidlOf(int n) const { return n < m_uidlOf.size() ? m_uidlOf[n] : QString(); }
    bool needsUidls() const {
        return m_preview || m_inputs.onlyUidls || !m_inputs.marks.junk.isEmpty() ||
               !m_inputs.marks.wanted.isEmpty();
    }
    int connectTrusted();
    bool askPlainLogin();
    // A call of the judging failed: a garbled pipeline ends the pass.
    void noteFailure();
    bool stopping();
    void clearWorkingBoxes();
    void judgeMessages(SpamRule* rule);
    void decideWithoutFetching(const SpamRule* rule);
    void rememberKeep(int n);
    void rememberCatch(const CheckOutcome::Caught& caught);
    bool reportRemembered(int n);
    bool readUidls();
    void finishDeletion(const CheckOutcome::Caught& caught, int result);
    bool allowed() const;
    std::optional<QString> keepCopy(CheckOutcome::Caught& caught, bool& partial, bool synced);
    void sendDeferredDeletions();
    void copyFailed(const CheckOutcome::Caught& caught);
    void resumePendingDeletions();
    void savePending();
    void recordDeletions();
    DeletionRecord recordOf(const CheckOutcome::Caught& caught) const;
    void settleDeletions(bool wait);
    void closeConnection();
    void report();
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
    const QDateTime m_started = QDateTime::currentDateTime();
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
int Pass::connectTrusted() {
    while (true) {
        m_library.NMailSetServerTrust(m_outcome.trust);
        const int handle = m_library.NMailPop3Connect(m_inputs.server.pop3Server);
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
                tell(n);
            }
            return handle;
        }
        const Pop3ErrorKind kind = m_library.NMailGetError().kind;
        if (m_askedCertificate || c.certificate.isNull() ||
            (kind != Pop3ErrorKind::CertificateUnknown && kind != Pop3ErrorKind::CertificateChanged))
            return -1;
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
        if (!m_host.askTrust(q)) {
            m_declined = true;
            return -1;
        }
        m_outcome.trust.pinnedSha256 = q.sha256;
        m_outcome.trustLearnt = true;
    }
}

// USER/PASS would go in clear: the user is asked once; yes is remembered for the server.
bool Pass::askPlainLogin() {
    CheckHost::TrustQuestion q;
    q.kind = CheckHost::TrustQuestion::Kind::PlainLogin;
    q.server = m_trustKey;
    q.byHand = byHand();
    if (!m_host.askTrust(q)) {
        m_declined = true;
        return false;
    }
    m_outcome.trust.plainAgreed = true;
    m_outcome.trustLearnt = true;
    return true;
}

CheckOutcome Pass::execute() {
    clearWorkingBoxes();
    m_outcome.status = CheckOutcome::Status::NoServer;
    if (m_inputs.server.pop3Server.isEmpty()) {
        report();
        return m_outcome;
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
        return m_outcome;
    }
    m_outcome.trust = m_inputs.trust;
    // The login as it will be made, for a server that takes it before its greeting has come.
    if (m_inputs.server.useApop == 0)
        m_library.NMailSetEarlyLogin(m_inputs.account.id, m_inputs.account.password);
    m_handle = connectTrusted();
    if (m_handle < 0) {
        m_outcome.status = CheckOutcome::Status::NoConnection;
        m_outcome.failure = lastError();
        // A refusal of ours is told even to a check nobody started by hand: it may be an attack.
        const Pop3ErrorKind kind = m_outcome.failure.kind;
        const bool refused = kind == Pop3ErrorKind::TlsDowngraded || kind == Pop3ErrorKind::TlsRefused ||
                             kind == Pop3ErrorKind::CertificateChanged;
        if (byHand() || (refused && !m_declined)) {
            tell(notice(CheckNotice::Kind::NoConnection, m_outcome.failure));
        }
        report();
        return m_outcome;
    }

    // The caller chose the account (readCheckInputs: the one confirmed in this run, else the stored
    // one); the account window shows it.
    m_outcome.account = m_inputs.account;
    const QString id = m_inputs.account.id;
    const QString password = m_inputs.account.password;
    m_host.setAccountBoxes(id, password);
    if (stopping()) {
        m_outcome.status = CheckOutcome::Status::NotStarted;
        m_library.NMailPop3Close(m_handle);
        return m_outcome;
    }
    if (id.isEmpty() || password.isEmpty()) {
        m_outcome.status = CheckOutcome::Status::AccountMissing;
        m_host.showSetForm();
        m_library.NMailPop3Close(m_handle);
        report();
        return m_outcome;
    }

    const int apopFlag = m_inputs.server.useApop != 0 ? -1 : 0;
    int count = m_library.NMailPop3Authenticate(m_handle, id, password, apopFlag);
    if (count < 0 && m_library.NMailGetError().kind == Pop3ErrorKind::PlainLoginRefused && askPlainLogin()) {
        // Nothing was sent yet: a fresh connection, now allowed to log in in clear.
        m_library.NMailPop3Close(m_handle);
        m_handle = connectTrusted();
        count = m_handle < 0 ? -1 : m_library.NMailPop3Authenticate(m_handle, id, password, apopFlag);
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
        if (kind != Pop3ErrorKind::PlainLoginRefused || byHand())
            tell(notice(CheckNotice::Kind::LoginFailed, m_outcome.failure));
        if (m_handle >= 0)
            m_library.NMailPop3Close(m_handle);
        report();
        return m_outcome;
    }

    m_outcome.status = CheckOutcome::Status::Done;
    m_pending.server = m_inputs.server.pop3Server;
    m_pending.account = id;
    if (count == 0 && !(m_quarantine && readPendingDeletions(m_inputs.dataFolder))) {
        m_library.NMailPop3Close(m_handle); // nothing was judged, so nothing can be lost
        if (m_quarantine) // an empty mailbox: nothing remembered for it is on the server any more
            VerdictMemory(m_inputs.dataFolder, m_pending.server, m_pending.account, {}).save();
    } else {
        if (!m_dryRun && m_quarantine)
            resumePendingDeletions();
        if (!stopping())
            decideWithoutFetching(rule);
        judgeMessages(rule);
        closeConnection();
        if (m_memory && !m_preview) { // a preview's partial texts decide nothing for the checks to come
            // Catches left on the server, for the dry runs to come (a real check judges them again).
            for (const CheckOutcome::Caught& c : std::as_const(m_outcome.caught)) {
                if (!c.deleted && !c.resumed)
                    rememberCatch(c);
            }
            if (!m_learningLost)
                m_memory->save(); // a failure only costs the next check its shortcut
        }
    }
    if (!m_dryRun && m_quarantine)
        m_quarantine->prune(QDateTime::currentDateTime());
    report();
    return m_outcome;
}

void Pass::judgeMessages(SpamRule* rule) {
    if (rule == nullptr && !learning() && m_inputs.marks.junk.isEmpty() && !m_preview) {
        return; // every message stays
    }
    using Verdict = CheckOutcome::MessageReport::Verdict;
    const bool reporting = m_preview || m_inputs.reportMessages;
    // The numbers are those of the login: a deletion renumbers nothing.
    for (int n = 1; n <= m_outcome.mailCount && !stopping(); ++n) {
        m_host.progress(n, m_outcome.mailCount);
        settleDeletions(false);
        if (m_resumedNumbers.contains(n))
            continue; // deleted again already
        m_fields = MailFields{};
        m_scoreCurrent = -1;
        m_reasonsCurrent.clear();
        m_caughtReport.reset();
        if (m_untouched.contains(n) || m_decided.contains(n)) {
            // Left alone, or kept without a look: a preview still lists its header.
            if (reporting && !m_untouched.contains(n))
                m_library.NMailPop3GetMailStatus(m_handle, n, m_fields);
            if (reporting)
                reportMessage(n, m_untouched.contains(n) ? Verdict::Unjudged : Verdict::Keep);
            continue;
        }
        m_bodyOf = 0;
        m_body.clear();
        m_judgedCleanly = true;
        m_failedCurrent = false;
        m_caughtCurrent = false;
        m_verdictCurrent = Verdict::Keep;
        judgeOne(n, rule);
        if (!m_caughtCurrent && !stopping()) {
            if (m_judgedCleanly)
                rememberKeep(n);
            else if (m_failedCurrent)
                m_outcome.unjudged.append(UnjudgedMessage{n, m_failureReason});
        }
        if (reporting)
            reportMessage(n, m_caughtCurrent                       ? Verdict::Caught
                             : m_failedCurrent && !m_judgedCleanly ? Verdict::Unjudged
                                                                   : m_verdictCurrent);
    }
    sendDeferredDeletions();
    // The server may end the session as soon as it has answered the last DELE.
    if (!m_unanswered.empty())
        m_library.NMailPop3SendQuit(m_handle);
    settleDeletions(true);
    if (m_outcome.pipeliningGarbled) {
        tell(notice(CheckNotice::Kind::RepliesGarbled));
    }
}

// One message: the allow list and the marks first, then the selected rule, then, for what the rule
// keeps, the learned judgement.
void Pass::judgeOne(int n, SpamRule* rule) {
    const QString uidl = uidlOf(n);
    const bool markedJunk = !uidl.isEmpty() && m_inputs.marks.junk.contains(uidl);
    const bool markedWanted = !uidl.isEmpty() && m_inputs.marks.wanted.contains(uidl);
    // The learned judgement needs the fields only where the rule reads no body (whose reading fills
    // them), and a listing of every message needs them whatever happens to it.
    const bool bodyRule = rule != nullptr && rule->storedNumber() != 4;
    const bool haveFields = !m_inputs.allowList.isEmpty() || (rule != nullptr && rule->judgesHeaderFirst()) ||
                            markedJunk || (learning() && (!bodyRule || m_inputs.reportMessages));
    if (m_preview) {
        if (!fetchBody(n))
            return; // nothing to judge by: the message stays
    } else if (haveFields && m_library.NMailPop3GetMailStatus(m_handle, n, m_fields) < 0) {
        noteFailure();
        return;
    }
    if (allowed()) {
        m_verdictCurrent = CheckOutcome::MessageReport::Verdict::Allowed; // no rule deletes it
        return;
    }
    if (markedWanted) {
        m_verdictCurrent = CheckOutcome::MessageReport::Verdict::MarkedWanted;
        return;
    }
    if (markedJunk) {
        deleteCaught(n, QString::fromUtf16(RuleWord::MarkedJunk), QString());
        return;
    }
    if (rule != nullptr)
        rule->judge(n, *this);
    // --explain also weighs what the rule caught, for its report; it deletes nothing.
    if (learning() && m_judgedCleanly && !stopping() &&
        (!m_caughtCurrent || (m_inputs.reportMessages && m_dryRun)))
        judgeLearned(n, !m_caughtCurrent);
}

// The whole text of message n, and when the rule had it decoded already, that decoded text.
bool Pass::readRaw(int n, QByteArray& raw, std::shared_ptr<const DecodedMessage>& decoded) {
    if (m_preview) {
        if (!fetchBody(n))
            return false;
        raw = m_previewRaw;
        decoded = m_previewDecoded;
        return true;
    }
    if (m_library.NMailPop3GetRawMail(m_handle, n, -1, raw) < 0) {
        noteFailure();
        return false;
    }
    decoded = m_library.NMailPop3LastDecoded(m_handle, n);
    return true;
}

// The learned judgement of message n; a confident junk verdict deletes it when act is set.
void Pass::judgeLearned(int n, bool act) {
    // What a deletion logs and copies: read with the body, else read now.
    if (!m_preview && m_bodyOf != n && m_fields.header.isEmpty() &&
        m_library.NMailPop3GetMailStatus(m_handle, n, m_fields) < 0) {
        noteFailure();
        return;
    }
    QByteArray raw;
    std::shared_ptr<const DecodedMessage> decoded;
    if (!readRaw(n, raw, decoded))
        return;
    // Decoded once: what the rule read is what is weighed.
    const std::optional<learn::Judgement> j = decoded ? m_store->judge(raw, *decoded) : m_store->judge(raw);
    if (!j) {
        learningFailed(m_store->errorText());
        return;
    }
    if (j->verdict == learn::Verdict::NotReady)
        return; // too little learned: it judges nothing
    m_scoreCurrent = j->score;
    for (const learn::WeighedToken& t : j->reasons)
        m_reasonsCurrent.append(
            {sanitizeServerText(t.token, QString(), kReasonTokenMaxChars), t.probability});
    if (act && j->verdict == learn::Verdict::Junk)
        deleteCaught(n, QString::fromUtf16(RuleWord::Learned), scoreText(j->score));
}

void Pass::reportMessage(int n, CheckOutcome::MessageReport::Verdict verdict) {
    CheckOutcome::MessageReport r;
    r.number = n;
    r.uidl = uidlOf(n);
    r.date = sanitizeServerText(CutAtNul(m_fields.second), QString(), kReportTextMaxChars);
    r.sender = sanitizeServerText(CutAtNul(m_fields.fromAddress), QString(), kReportTextMaxChars);
    r.subject = sanitizeServerText(CutAtNul(m_fields.subject), QString(), kReportTextMaxChars);
    r.size = m_library.NMailPop3GetMailSize(m_handle, n);
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
void Pass::decideWithoutFetching(const SpamRule* rule) {
    if (needsUidls())
        readUidls(); // without them no mark applies, and onlyUidls leaves every message alone
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
        return; // nothing is judged but the marks: nothing to remember
    const bool sizeRule = rule != nullptr && rule->storedNumber() == 4;
    const std::optional<double> limit = sizeRule ? sizeLimit() : std::optional<double>();
    if (m_quarantine) {
        const QByteArray judgement = judgementDigest(
            rule != nullptr ? rule->storedNumber() : 0,
            rule != nullptr && rule->judgesHeaderFirst() ? m_inputs.keywords : QStringList(),
            m_inputs.allowList, sizeRule ? trimSpaces(m_settings.sizeLimit) : QString(), learning());
        m_memory.emplace(m_inputs.dataFolder, m_pending.server, m_pending.account, judgement);
        m_memory->load();
        if (!readUidls())
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
            } else if (!m_dryRun || m_preview || !reportRemembered(n)) {
                continue; // a real check fetches a remembered catch for its copy, and judges it again
            }
            m_decided.insert(n);
            if (!m_preview) // a preview still reads its header
                m_library.NMailPop3Skip(m_handle, n);
            ++m_outcome.remembered;
        }
    }
    if (!limit || learning())
        return; // the rule itself tells the user, once; the learned judgement reads every message
    const double limitBytes = limit.value_or(0);
    for (int n = 1; n <= m_outcome.mailCount && !stopping(); ++n) {
        if (m_resumedNumbers.contains(n) || m_decided.contains(n) || m_untouched.contains(n) ||
            m_inputs.marks.junk.contains(uidlOf(n)))
            continue;
        const qint64 listed = serverSize(n);
        if (listed < 0)
            return; // measured as usual, which tells what failed
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
bool Pass::readUidls() {
    if (!m_uidlOf.isEmpty() || m_uidlsFailed)
        return !m_uidlsFailed;
    QList<QString> uidls(m_outcome.mailCount + 1);
    for (int n = 1; n <= m_outcome.mailCount; ++n) {
        if (m_library.NMailPop3GetUidl(m_handle, n, uidls[n]) < 0) {
            noteFailure();
            m_uidlsFailed = true;
            return false;
        }
    }
    m_uidlOf = std::move(uidls);
    return true;
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
bool Pass::reportRemembered(int n) {
    const std::optional<RememberedCatch> c = m_memory->rememberedCatch(m_uidlOf[n]);
    if (!c)
        return false;
    CheckOutcome::Caught caught;
    caught.number = n;
    caught.ruleWord = c->ruleWord;
    caught.keyword = c->keyword;
    caught.sender = c->sender;
    caught.subject = c->subject;
    caught.size = serverSize(n); // from the listing
    caught.uidl = m_uidlOf[n];
    m_outcome.caught.append(caught);
    return true;
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

void Pass::closeConnection() {
    if (m_library.NMailPop3Close(m_handle) >= 0) {
        recordDeletions();
        return;
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
        tell(n);
    } else if (byHand() && !m_outcome.pipeliningGarbled) { // the garble was told already
        tell(notice(CheckNotice::Kind::ConnectionLost, m_outcome.failure));
    }
}

void Pass::report() {
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
        return;
    }
    if (newMail > 0) {
        if (m_host.noticeBoardChosen()) {
            m_host.showNoticeBoard(newMail);
            if (m_host.autoCloseNoticeBoard()) {
                m_host.waitWithEvents(1000);
                m_host.unloadNoticeBoard();
            }
        } else if (m_host.mailerChosen()) {
            const QString command = trimSpaces(m_settings.mailerCommand);
            if (command.isEmpty() || command == QStringView(kNotSetText)) {
                tell(notice(CheckNotice::Kind::NoMailer));
            } else if (!m_host.startMailer(command)) {
                CheckNotice n = notice(CheckNotice::Kind::MailerFailed);
                n.path = command;
                tell(n);
            }
        }
    }
    if (m_outcome.mailCount == 0 && m_host.hangUpAfterCheck()) {
        m_host.hangUp();
    }
    clearWorkingBoxes();
}

bool Pass::fetchBody(int n) {
    if (m_bodyOf == n) {
        return true;
    }
    if (m_preview)
        return previewText(n);
    // The size only sized the body buffer; the library hands the text over whole.
    serverSize(n);
    QString body;
    if (stopping() || m_library.NMailPop3GetMail(m_handle, n, m_fields, body) < 0) {
        noteFailure();
        // Judging an empty text would catch a message that was never seen (no hiragana in it).
        m_host.setText(Field::Body, QString());
        return false;
    }
    m_body = CutAtNul(body);
    m_bodyOf = n;
    m_host.setText(Field::Body, m_body);
    return true;
}

// A preview reads the header and the first lines (TOP), the whole text where TOP is refused: its
// fields and body come from that text.
bool Pass::previewText(int n) {
    QByteArray raw;
    int got = stopping() ? -1 : m_library.NMailPop3GetRawMail(m_handle, n, m_inputs.previewLines, raw);
    if (got < 0 && !stopping() && m_library.NMailGetError().kind == Pop3ErrorKind::CommandRefused)
        got = m_library.NMailPop3GetRawMail(m_handle, n, -1, raw);
    if (got < 0) {
        noteFailure();
        return false;
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
    return true;
}

qint64 Pass::serverSize(int n) {
    if (m_sizeOf != n) {
        m_size = m_library.NMailPop3GetMailSize(m_handle, n);
        m_sizeOf = n;
        if (m_size < 0)
            noteFailure();
    }
    return m_size;
}

void Pass::deleteCaught(int n, const QString& word, const QString& keyword) {
    m_caughtCurrent = true;
    CheckOutcome::Caught caught;
    caught.number = n;
    caught.ruleWord = word;
    caught.subject = CutAtNul(m_fields.subject);
    caught.keyword = keyword;
    caught.sender = CutAtNul(m_fields.fromAddress);
    caught.size = serverSize(n);
    caught.learnedScore = m_scoreCurrent;
    m_caughtReport = caught;
    if (stopping())
        return; // judged, but no deletion starts any more
    if (m_dryRun) {
        m_outcome.caught.append(caught);
        return;
    }
    // The copy goes first: without it the message stays on the server.
    const bool deferred = m_host.deletionsMayBeAnnouncedLate();
    bool partial = false;
    const std::optional<QString> copy = keepCopy(caught, partial, !deferred);
    if (!copy) {
        copyFailed(caught);
        return;
    }
    caught.copyPath = *copy;
    DeletionRecord record = recordOf(caught);
    record.partialCopy = partial;
    m_recordByCopy.insert(caught.copyPath, record);
    if (deferred) {
        m_deferred.append(caught);
        return;
    }
    if (!caught.uidl.isEmpty() && m_keepPending) {
        m_pending.records.append(record);
        savePending(); // a failure here only loses the resumption: the copy is kept
    }
    finishDeletion(caught, m_library.NMailPop3DeleteMail(m_handle, n));
}

// The deferred catches: their copies synced with one wait, their pending records written once, then
// their DELEs without waiting. Nothing is sent when the copies could not be synced.
void Pass::sendDeferredDeletions() {
    if (m_deferred.isEmpty() || stopping())
        return;
    const QList<CheckOutcome::Caught> batch = std::exchange(m_deferred, {});
    if (!m_quarantine->syncCopies()) {
        for (CheckOutcome::Caught c : batch) {
            m_recordByCopy.remove(c.copyPath);
            c.copyPath.clear();
            copyFailed(c);
        }
        return;
    }
    for (const CheckOutcome::Caught& c : batch) {
        if (!c.uidl.isEmpty() && m_keepPending)
            m_pending.records.append(m_recordByCopy.value(c.copyPath));
    }
    savePending(); // a failure here only loses the resumption: the copies are kept
    for (const CheckOutcome::Caught& c : batch) {
        if (stopping())
            return;
        const int result = m_library.NMailPop3DeleteMailNoWait(m_handle, c.number);
        if (result == 1)
            m_unanswered.push_back(c);
        else
            finishDeletion(c, result);
    }
}

bool Pass::allowed() const {
    return !m_inputs.allowList.isEmpty() &&
           allowListMatches(m_inputs.allowList, CutAtNul(m_fields.fromAddress));
}

std::optional<QString> Pass::keepCopy(CheckOutcome::Caught& caught, bool& partial, bool synced) {
    if (!m_quarantine)
        return std::nullopt;
    QString uidl;
    if (m_library.NMailPop3GetUidl(m_handle, caught.number, uidl) < 0) {
        noteFailure();
        return std::nullopt;
    }
    caught.uidl = uidl.size() <= kUidlMaxChars ? uidl : QString();
    // A message too large to keep whole keeps its header and first lines.
    partial = caught.size > kQuarantineWholeMaxBytes;
    QByteArray raw;
    int got =
        m_library.NMailPop3GetRawMail(m_handle, caught.number, partial ? kQuarantinePartialLines : -1, raw);
    if (got < 0 && partial && m_library.NMailGetError().kind == Pop3ErrorKind::CommandRefused) {
        // TOP is optional: the whole text, cut to the same header and lines.
        got = m_library.NMailPop3GetRawMail(m_handle, caught.number, -1, raw);
        const qsizetype header = raw.indexOf("\r\n\r\n");
        qsizetype end = header < 0 ? raw.size() : header + 4;
        for (int line = 0; line < kQuarantinePartialLines && end > 0 && end < raw.size(); ++line)
            end = raw.indexOf('\n', end) + 1;
        if (end > 0)
            raw.truncate(end);
    }
    if (got < 0) {
        noteFailure();
        return std::nullopt;
    }
    return m_quarantine->keep(raw, caught.number, caught.uidl, m_started, synced);
}

void Pass::copyFailed(const CheckOutcome::Caught& failed) {
    CheckOutcome::Caught caught = failed;
    caught.copyFailed = true;
    m_outcome.caught.append(caught);
    ++m_outcome.copyFailures;
    if (m_toldCopyFailure || m_outcome.pipeliningGarbled || stopping())
        return;
    m_toldCopyFailure = true;
    CheckNotice n = notice(CheckNotice::Kind::CopyFailed);
    n.number = caught.number;
    n.path = m_inputs.dataFolder;
    tell(n);
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
void Pass::resumePendingDeletions() {
    const std::optional<PendingDeletions> pending = readPendingDeletions(m_inputs.dataFolder);
    if (!pending)
        return; // none, or damaged: a damaged file names nothing
    if (pending->server != m_pending.server || pending->account != m_pending.account) {
        m_keepPending = false; // another mailbox's: left for its own next check
        return;
    }
    if (!readUidls())
        return; // the file stays for the next pass
    QHash<QString, int> numberOf;
    for (int n = 1; n <= m_outcome.mailCount; ++n) {
        if (!m_uidlOf[n].isEmpty())
            numberOf.insert(m_uidlOf[n], n);
    }
    for (const DeletionRecord& r : pending->records) {
        if (stopping())
            return;
        const int n = numberOf.value(r.uidl, 0);
        m_pending.records.append(r);
        if (n > 0) {
            if (m_library.NMailPop3DeleteMail(m_handle, n) < 0) {
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
    writePendingDeletions(m_inputs.dataFolder, kept);
}

// QUIT was acknowledged: the deletions took effect. They go into the log, and nothing is pending.
void Pass::recordDeletions() {
    if (m_dryRun || !m_quarantine)
        return;
    QList<DeletionRecord> records = m_resumed;
    for (const CheckOutcome::Caught& c : m_outcome.caught) {
        if (c.deleted && !c.resumed && m_recordByCopy.contains(c.copyPath))
            records.append(m_recordByCopy.value(c.copyPath));
    }
    if (!appendDeletionLog(m_inputs.dataFolder, records)) {
        tell(notice(CheckNotice::Kind::LogNotWritten));
    }
    if (m_keepPending) {
        m_pending.records.clear();
        writePendingDeletions(m_inputs.dataFolder, m_pending);
    }
}

void Pass::settleDeletions(bool wait) {
    while (!m_unanswered.empty()) {
        const int result = m_library.NMailPop3DeleteResult(m_handle, m_unanswered.front().number, wait);
        if (result == 1) {
            return;
        }
        const CheckOutcome::Caught caught = m_unanswered.front();
        m_unanswered.pop_front();
        finishDeletion(caught, result);
    }
}

// Counts and announces a deletion only once the server has accepted it.
void Pass::finishDeletion(const CheckOutcome::Caught& accepted, int result) {
    CheckOutcome::Caught caught = accepted;
    if (result < 0) {
        noteFailure();
        m_outcome.caught.append(caught);
        if (m_outcome.pipeliningGarbled) {
            return; // no refusal: the answer was lost in the garble, and the pass tells that once
        }
        ++m_outcome.refusedDeletions;
        m_refusedCopies.insert(caught.copyPath);
        CheckNotice n = notice(CheckNotice::Kind::DeletionRefused, lastError());
        n.number = caught.number;
        n.ruleWord = caught.ruleWord;
        tell(n);
        return;
    }
    caught.deleted = true;
    m_outcome.caught.append(caught);
    ++m_outcome.deleted;
    m_host.setText(Field::DeletionCount, shortestDecimal(m_outcome.deleted));
    m_host.announceDeletion(caught.number, caught.ruleWord);
}

const KeywordMatcher& Pass::keywords() {
    // Read once per pass: the list is the same for every message of one pass.
    if (!m_keywords) {
        m_keywords.emplace(m_inputs.keywords);
    }
    return *m_keywords;
}

void Pass::sizeLimitMissing() {
    m_judgedCleanly = false; // nothing was judged
    if (m_toldSizeLimit) {
        return;
    }
    m_toldSizeLimit = true;
    tell(notice(CheckNotice::Kind::SizeLimitMissing));
}

} // namespace

QString CutAtNul(const QString& text) {
    const qsizetype at = text.indexOf(QChar(u'\0'));
    return at < 0 ? text : text.left(at);
}

MailCheckRun::MailCheckRun(CheckHost& host, MailLibrary& library, CheckInputs inputs)
    : m_host(host), m_library(library), m_inputs(std::move(inputs)) {}

MailCheckRun::~MailCheckRun() = default;

CheckOutcome MailCheckRun::run() {
    if (m_host.runningCheck() != nullptr) {
        return CheckOutcome{}; // NotStarted: nested in a running pass's message box or wait
    }
    RunningGuard guard(m_host, this);
    // What the user may change in the windows is taken now, once: the pass reads nothing else of it.
    CheckInputs inputs = m_inputs;
    if (!inputs.settings)
        inputs.settings = checkSettingsFrom(m_host);
    Pass pass(*this, m_host, m_library, inputs, m_dryRun, m_startKind);
    return pass.execute();
}

} // namespace brindle
