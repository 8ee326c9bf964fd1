// brindle-check: one mail check without windows, for cron, timers and scripts.
#include "app/CheckReport.h"
#include "learn/LearnStore.h"
#include "learn/MailFiles.h"
#include "mailcheck/CheckHost.h"
#include "mailcheck/CheckInputs.h"
#include "mailcheck/MailCheckRun.h"
#include "mailcheck/MailLibrary.h"
#include "mailcheck/NMail.h"
#include "mailcheck/ServerText.h"
#include "mailcheck/TlsMemory.h"
#include "platform/AppFolder.h"
#include "settings/SettingsStore.h"

#include <cstdio>
#include <optional>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMap>
#include <QStringList>
#include <unistd.h>

using namespace brindle;

namespace {

// Exit codes; scripts rely on them.
enum Exit {
    ExitRan = 0,
    ExitUsage = 1,        // bad usage or incomplete settings
    ExitNoConnection = 2, // the server could not be reached, or the connection broke during the login
    ExitLoginRefused = 3,
    ExitLost = 4,       // connection lost or protocol failure before the deletions took effect
    ExitCopyFailed = 5, // caught mail kept on the server: its quarantine copy could not be written
};

// The last field of a caught line whose message a real check did not delete.
const QString kKeptField = QStringLiteral("kept");

const char kHelp[] =
    "Usage: brindle-check [--app-folder DIR] [--dry-run | --explain] [--allow-plain]\n"
    "                     [--accept-certificate SHA256]\n"
    "       brindle-check [--app-folder DIR] [--learn-junk PATH...] [--learn-wanted PATH...]\n"
    "       brindle-check [--app-folder DIR] --forget PATH...\n"
    "       brindle-check --help | --version\n"
    "\n"
    "Runs one mail check without windows: logs into the POP3 server, judges every waiting\n"
    "message by the deletion rule chosen in the program, deletes what the rule catches, and\n"
    "reports what it did.\n"
    "\n"
    "It reads, in the application folder: DIR; else the folder of this program when it holds\n"
    "a writable ★MailData (a portable copy); else ~/.local/share/Brindle (XDG_DATA_HOME),\n"
    "which the first start makes from the installation's files.\n"
    "  kestro.ini                the POP3 server (POP3=) and APOP choice (APOP=)\n"
    "  ★MailData/iniIdPass.ini   the account (NAME, NAME2)\n"
    "  ★MailData/ini.ini         the rule (NUMBER6: 1 keyword, 4 size, 5 no hiragana, 6 HTML)\n"
    "                            and the size limit in bytes (NAME2)\n"
    "  ★MailData/Kstdata50.data  the keywords\n"
    "  ★MailData/allow.txt       senders no rule deletes (an address or @domain a line)\n"
    "\n"
    "TLS: port 995 and pop3s:// use TLS from the start, other servers are upgraded with STLS\n"
    "when they offer it, and certificates are verified. A server once seen with TLS is never\n"
    "used without it. Without TLS the password is sent only after --allow-plain.\n"
    "\n"
    "Each message is copied to ★MailData/quarantine before it is deleted, and logged in\n"
    "★MailData/deleted.log once the server has confirmed the deletions. A message whose\n"
    "copy cannot be written is not deleted. Messages judged \"keep\" are remembered by UIDL\n"
    "in ★MailData/verdicts.txt, and later checks under the same rule and lists do not fetch\n"
    "them again; messages judged caught are remembered too, for later dry runs only (a real\n"
    "check fetches them for their copies).\n"
    "\n"
    "Options:\n"
    "  --app-folder DIR  use the settings of this application folder\n"
    "  --dry-run         judge every message but delete nothing\n"
    "  --allow-plain     agree that the password goes unencrypted to the server, which\n"
    "                    offers no TLS; remembered in ★MailData/tls.ini, then the check runs\n"
    "                    (a server on this machine, and APOP, need no agreement)\n"
    "  --accept-certificate SHA256\n"
    "                    trust the server's certificate with this SHA-256 fingerprint (hex,\n"
    "                    colons optional) although the system does not: self-signed or from\n"
    "                    a private CA; remembered in ★MailData/tls.ini, then the check runs\n"
    "  --explain         a dry run that also prints, for each message, the learned judgement's\n"
    "                    score and the tokens that weighed most, on lines that begin with #:\n"
    "                      # NUMBER score 0.997 junk: TOKEN 0.99, TOKEN 0.98, ...\n"
    "                    after a line \"# learned: junk J, wanted W\" (what the store holds)\n"
    "  --learn-junk PATH...    learn these messages as junk, --learn-wanted PATH... as wanted\n"
    "                    mail (both may be given at once); --forget PATH... undoes what was\n"
    "                    learned from them. PATH is a message file (.eml), an mbox (mboxrd or\n"
    "                    mboxo) or a folder of them (its files and its subfolders' files). No\n"
    "                    server is contacted. A file that is not mail, or a message over 16 MB,\n"
    "                    is skipped with a warning; a message learned twice counts once. Prints\n"
    "                      learned: junk J, wanted W, skipped S     (or: forgotten: F)\n"
    "                    and exits 0 when a message was learned (or forgotten), else 1\n"
    "  --help            show this text\n"
    "  --version         show the version\n"
    "\n"
    "Output (UTF-8): one line per caught message on standard output,\n"
    "  NUMBER<TAB>RULE-WORD<TAB>SUBJECT\n"
    "with a fourth field \"kept\" (NUMBER<TAB>RULE-WORD<TAB>SUBJECT<TAB>kept) when a check\n"
    "other than a dry run left the message on the server: its copy could not be written, the\n"
    "server refused the deletion, or the connection was lost before the deletions took effect.\n"
    "A deletion left pending by an earlier check whose connection was lost, and made by this\n"
    "one, has its line too, with the rule word and subject that check recorded (the subject\n"
    "empty when it had none). Then the line\n"
    "  messages: M, deleted: D, new: N\n"
    "which ends in \", unjudged: U\" when U messages could not be judged (they could not be\n"
    "fetched or read; they stay and count as new); each is named on standard error as\n"
    "  unjudged: message NUMBER: REASON\n"
    "Failures and notices go to standard error. With no rule chosen nothing is deleted.\n"
    "\n"
    "The learned judgement (LEARNING=1 in ★MailData/ini.ini): a message the rule keeps is\n"
    "judged again by what was learned from your own marks (★MailData/learned.sqlite); one it is\n"
    "sure is junk is deleted with the rule word 学習. It deletes nothing until it has learned\n"
    "20 junk and 20 wanted messages: mark them in the window's mailbox preview, or learn them\n"
    "here with --learn-junk and --learn-wanted. A store that cannot be used is named in one\n"
    "line on standard error, and the check runs with the rule alone.\n"
    "When standard error is a terminal and the check takes longer than a second, a line there\n"
    "shows which message is being judged (message n of N); nothing of it goes to a file or pipe.\n"
    "\n"
    "Exit status:\n"
    "  0  the check ran\n"
    "  1  bad usage, or settings incomplete (no server, no account)\n"
    "  2  the server could not be reached, the connection broke during the login, or the\n"
    "     server was refused: TLS it no longer offers, a certificate not trusted (see\n"
    "     --accept-certificate), a password that would go unencrypted (see --allow-plain),\n"
    "     or replies that are no POP3 or come too slowly\n"
    "  3  the server refused the login\n"
    "  4  the connection was lost or the server failed before the deletions took effect\n"
    "  5  the check ran, but caught mail was kept because its copy could not be written\n"
    "     (4 when the connection was lost too)\n";

// A file name in a warning is cut to this many characters (a name may be made to be long).
constexpr qsizetype kFileNameMaxChars = 200;
// Warnings about skipped files: after this many, only their count (a folder of a million files).
constexpr int kMaxSkipWarnings = 100;
// Learned messages go to the store this many at a time, in one transaction (a commit syncs to
// disk, which would otherwise cost more than the learning), or once they hold this many bytes.
constexpr int kLearnBatchMessages = 200;
constexpr qint64 kLearnBatchBytes = 64LL * 1024 * 1024;
// --explain prints at most this many tokens a message, each cut to this many characters.
constexpr int kExplainTokens = 5;
constexpr qsizetype kExplainTokenMaxChars = 40;

// A mistyped fingerprint quoted back: enough to see the mistake, never a flood.
constexpr int kFingerprintQuoteChars = 120;

// The progress line: on a terminal only, after the check has run this long, this often at most.
constexpr qint64 kProgressAfterMs = 1000;
constexpr qint64 kProgressEveryMs = 100;
bool g_progressShown = false;

void clearProgress() {
    if (g_progressShown) {
        std::fputs("\r\033[K", stderr);
        g_progressShown = false;
    }
}

void out(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
}

void err(const QString& text) {
    clearProgress();
    const QByteArray bytes = (QStringLiteral("brindle-check: ") + text + u'\n').toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stderr);
}

// One line of output: a subject may hold tabs or line breaks of its own.
// A subject is the sender's text: without controls or escape sequences, which would act on the
// terminal, and bounded, since a subject may be kilobytes long.
constexpr qsizetype kOutputFieldMaxChars = 300;
QString subjectLine(const QString& text) {
    return sanitizeServerText(text, QString(), kOutputFieldMaxChars);
}

// The check's host without windows: plain fields, boxes written to standard error.
class ConsoleHost final : public CheckHost {
public:
    explicit ConsoleHost(DeletionRule rule) : m_rule(rule) {}

    QString text(Field f) const override { return m_fields.value(f); }
    void setText(Field f, const QString& value) override { m_fields[f] = value; }
    void highlight(Field, int, int) override {}
    bool ruleSelected(RuleSwitch s) const override {
        switch (s) {
        case RuleSwitch::Keyword:
            return m_rule == DeletionRule::Keyword;
        case RuleSwitch::Html:
            return m_rule == DeletionRule::Html;
        case RuleSwitch::Size:
            return m_rule == DeletionRule::Size;
        case RuleSwitch::NoHiragana:
            return m_rule == DeletionRule::NoHiragana;
        }
        return false;
    }
    bool noticeBoardChosen() const override { return false; }
    bool mailerChosen() const override { return false; }
    bool autoCloseNoticeBoard() const override { return false; }
    bool hangUpAfterCheck() const override { return false; }
    void setAccountBoxes(const QString&, const QString&) override {}
    MsgResult tell(const CheckNotice& notice) override {
        err(noticeLine(notice));
        return MsgResult::Ok;
    }
    void showSetForm() override {}
    void showNoticeBoard(int) override {}
    void unloadNoticeBoard() override {}
    bool startMailer(const QString&) override { return false; }
    void hangUp() override {}
    Task<void> pause(int) override { co_return; }
    // The caught messages are listed on standard output instead.
    void announceDeletion(int, const QString&) override {}
    bool deletionsMayBeAnnouncedLate() const override { return true; }
    // Nobody can answer here: the question's reasons go to standard error with the option that
    // gives the agreement, and the answer is no.
    bool askTrust(const TrustQuestion& q) override {
        for (const QString& line : trustLines(q))
            err(line);
        return false;
    }
    void progress(int n, int total) override {
        if (!m_terminal || m_clock.elapsed() < kProgressAfterMs ||
            (m_lastProgressMs >= 0 && m_clock.elapsed() - m_lastProgressMs < kProgressEveryMs && n < total))
            return;
        m_lastProgressMs = m_clock.elapsed();
        std::fprintf(stderr, "\rbrindle-check: message %d of %d\033[K", n, total);
        std::fflush(stderr);
        g_progressShown = true;
    }

private:
    const bool m_terminal = ::isatty(STDERR_FILENO) == 1;
    QElapsedTimer m_clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    qint64 m_lastProgressMs = -1;
    DeletionRule m_rule;
    QMap<Field, QString> m_fields;
};

// --learn-junk, --learn-wanted, --forget: never connects to the server.
int learnFromFiles(const QStringList& junkPaths, const QStringList& wantedPaths,
                   const QStringList& forgetPaths) {
    learn::LearnStore store;
    if (!store.open()) {
        err(store.errorText());
        return ExitUsage;
    }
    int skipped = 0;
    const learn::SkipNotice skip = [&](const QString& path, const QString& why) {
        if (++skipped <= kMaxSkipWarnings)
            err(QStringLiteral("skipped: %1 %2")
                    .arg(sanitizeServerText(path, QString(), kFileNameMaxChars), why));
        else if (skipped == kMaxSkipWarnings + 1)
            err(QStringLiteral("skipped: more files; only their number is told"));
    };
    if (!forgetPaths.isEmpty()) {
        int forgotten = 0;
        bool failed = false;
        learn::readMailFiles(
            forgetPaths,
            [&](QByteArray&& raw) {
                const std::optional<learn::LearnResult> r = store.forget(raw);
                failed = !r;
                forgotten += r == learn::LearnResult::Forgotten ? 1 : 0;
                return !failed;
            },
            skip);
        if (failed)
            err(store.errorText());
        out(QStringLiteral("forgotten: %1\n").arg(forgotten));
        return forgotten > 0 ? ExitRan : ExitUsage;
    }
    int junk = 0, wanted = 0, already = 0;
    bool failed = false;
    QList<learn::LearnItem> batch;
    qint64 batchBytes = 0;
    const auto flush = [&]() {
        if (batch.isEmpty() || failed)
            return !failed;
        const std::optional<QList<learn::LearnResult>> results = store.learn(batch);
        if (!results) {
            failed = true;
            err(store.errorText());
            return false;
        }
        for (qsizetype i = 0; i < results->size(); ++i) {
            if (results->at(i) == learn::LearnResult::AlreadyLearned)
                ++already;
            else
                ++(batch[i].cls == learn::MessageClass::Junk ? junk : wanted);
        }
        batch.clear();
        batchBytes = 0;
        return true;
    };
    for (const auto& [paths, cls] : {std::pair{junkPaths, learn::MessageClass::Junk},
                                     std::pair{wantedPaths, learn::MessageClass::Wanted}}) {
        learn::readMailFiles(
            paths,
            [&](QByteArray&& raw) {
                batchBytes += raw.size();
                batch.append({std::move(raw), cls});
                return (batch.size() < kLearnBatchMessages && batchBytes < kLearnBatchBytes) || flush();
            },
            skip);
        flush();
    }
    if (!failed && junk + wanted > 0)
        store.prune();
    QString summary =
        QStringLiteral("learned: junk %1, wanted %2, skipped %3").arg(junk).arg(wanted).arg(skipped);
    if (already > 0)
        summary += QStringLiteral(", already learned %1").arg(already);
    out(summary + u'\n');
    return junk + wanted + already > 0 ? ExitRan : ExitUsage;
}

// The lines of --explain, which begin with # so that no script reads them as caught lines.
void explain(const CheckOutcome& outcome) {
    using Verdict = CheckOutcome::MessageReport::Verdict;
    out(QStringLiteral("# learned: junk %1, wanted %2\n")
            .arg(outcome.learnedJunk)
            .arg(outcome.learnedWanted));
    const learn::ClassifierSettings cutoffs;
    for (const CheckOutcome::MessageReport& m : outcome.messages) {
        QString line = QStringLiteral("# %1 ").arg(m.number);
        if (m.learnedScore < 0) {
            line += m.verdict == Verdict::Allowed ? QStringLiteral("allowed, not judged by learning")
                    : outcome.learningProblem.isEmpty() &&
                            outcome.learnedJunk >= int(learn::kMinLearnedPerClass) &&
                            outcome.learnedWanted >= int(learn::kMinLearnedPerClass)
                        ? QStringLiteral("not judged by learning")
                        : QStringLiteral("not judged: too little learned");
        } else {
            line += QStringLiteral("score %1 %2")
                        .arg(QString::number(m.learnedScore, 'f', 3),
                             m.learnedScore >= cutoffs.junkCutoff    ? QStringLiteral("junk")
                             : m.learnedScore < cutoffs.wantedCutoff ? QStringLiteral("wanted")
                                                                     : QStringLiteral("unsure"));
            QStringList tokens;
            for (const learn::WeighedToken& t : m.reasons.mid(0, kExplainTokens))
                tokens << QStringLiteral("%1 %2").arg(
                    oneLine(sanitizeServerText(t.token, QString(), kExplainTokenMaxChars)),
                    QString::number(t.probability, 'f', 2));
            if (!tokens.isEmpty())
                line += QStringLiteral(": ") + tokens.join(QStringLiteral(", "));
        }
        out(line + u'\n');
    }
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QString folder;
    bool dryRun = false;
    bool explaining = false;
    QStringList learnJunk, learnWanted, forget;
    Pop3Trust agreed; // what the options agree to for the configured server
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QStringLiteral("--help") || a == QStringLiteral("-h")) {
            out(QString::fromUtf8(kHelp));
            return ExitRan;
        }
        if (a == QStringLiteral("--version")) {
            out(QStringLiteral("brindle-check %1\n").arg(QStringLiteral(BRINDLE_VERSION)));
            return ExitRan;
        }
        if (a == QStringLiteral("--dry-run")) {
            dryRun = true;
        } else if (a == QStringLiteral("--explain")) {
            dryRun = explaining = true;
        } else if (a == QStringLiteral("--learn-junk") || a == QStringLiteral("--learn-wanted") ||
                   a == QStringLiteral("--forget")) {
            QStringList& into = a == QStringLiteral("--learn-junk")     ? learnJunk
                                : a == QStringLiteral("--learn-wanted") ? learnWanted
                                                                        : forget;
            const qsizetype before = into.size();
            while (i + 1 < args.size() && !args[i + 1].startsWith(QStringLiteral("--")))
                into << args[++i];
            if (into.size() == before) {
                err(QStringLiteral("%1 wants at least one file or folder (see --help)").arg(a));
                return ExitUsage;
            }
        } else if (a == QStringLiteral("--allow-plain")) {
            agreed.plainAgreed = true;
        } else if (a == QStringLiteral("--accept-certificate") ||
                   a.startsWith(QStringLiteral("--accept-certificate="))) {
            const QString text = a.contains(u'=')      ? a.section(u'=', 1)
                                 : i + 1 < args.size() ? args[++i]
                                                       : QString();
            const std::optional<QByteArray> sha = parseFingerprint(text);
            if (!sha) {
                err(QStringLiteral(
                        "--accept-certificate wants the certificate's SHA-256: 64 hex digits, colons "
                        "optional (got \"%1\")")
                        .arg(text.left(kFingerprintQuoteChars)));
                return ExitUsage;
            }
            agreed.pinnedSha256 = *sha;
        } else if (a == QStringLiteral("--app-folder") && i + 1 < args.size()) {
            folder = args[++i];
        } else if (a.startsWith(QStringLiteral("--app-folder="))) {
            folder = a.mid(13);
        } else {
            err(QStringLiteral("unknown or incomplete argument: %1 (see --help)").arg(a));
            return ExitUsage;
        }
    }
    if (!folder.isNull()) {
        const QFileInfo info(folder);
        if (folder.isEmpty() || !info.isDir()) {
            err(QStringLiteral("no such folder: %1").arg(folder));
            return ExitUsage;
        }
        setApplicationFolder(QDir::cleanPath(info.absoluteFilePath()));
    }
    if (!prepareApplicationFolder()) {
        err(QStringLiteral("could not make the application folder %1").arg(applicationFolder()));
        return ExitUsage;
    }

    if (!forget.isEmpty() && !(learnJunk.isEmpty() && learnWanted.isEmpty())) {
        err(QStringLiteral("--forget cannot be given with --learn-junk or --learn-wanted"));
        return ExitUsage;
    }
    if (!learnJunk.isEmpty() || !learnWanted.isEmpty() || !forget.isEmpty())
        return learnFromFiles(learnJunk, learnWanted, forget);

    ProgramValues values;
    if (!loadServerSettings(values.server) || values.server.pop3Server.trimmed().isEmpty()) {
        err(QStringLiteral("no POP3 server is set (POP3= in %1)").arg(serverSettingsPath()));
        return ExitUsage;
    }
    if (agreed != Pop3Trust{} &&
        !rememberTrust(tlsMemoryPath(), serverTrustKey(values.server.pop3Server), agreed)) {
        err(QStringLiteral("could not write %1").arg(tlsMemoryPath()));
        return ExitUsage;
    }
    CheckInputs inputs = readCheckInputs(values);
    if (inputs.account.id.isEmpty() || inputs.account.password.isEmpty()) {
        err(QStringLiteral("no account is set (NAME and NAME2 in %1)").arg(accountSettingsPath()));
        return ExitUsage;
    }
    const GeneralSettingsFile general;
    const DeletionRule rule = deletionRuleFromNumber6(general.readInt(QStringLiteral("NUMBER6")));
    if (rule == DeletionRule::None && !learningSwitchedOn(general)) {
        err(QStringLiteral("no deletion rule is chosen (NUMBER6 in %1): nothing is deleted")
                .arg(general.path()));
    }
    ConsoleHost host(rule);
    host.setText(CheckHost::Field::SizeLimit,
                 general.readText(QStringLiteral("NAME2"), QString::fromUtf16(kSizeUnsetText)));
    host.setText(CheckHost::Field::MailerCommand, general.readMailerPath());

    NMailLibrary library;
    library.NMailInitializeWinSock();
    library.NMailSetOption(kNMailOptionFieldBuffer, kNMailDefaultFieldBuffer);
    inputs.settings = checkSettingsFrom(host);
    // --explain shows the learned judgement whether or not checks use it; it deletes nothing.
    inputs.learning = {learningSwitchedOn(general) || explaining, learn::LearnStore::defaultPath()};
    inputs.reportMessages = explaining;
    MailCheckRun run(host, library, std::move(inputs));
    run.setDryRun(dryRun);
    run.setStartKind(MailCheckRun::StartKind::ByHand); // failures are told, on standard error
    // The run goes on from the program's one event loop, which ends with it.
    std::optional<CheckOutcome> ended;
    run.start([&](const CheckOutcome& o) {
        ended = o;
        QCoreApplication::quit();
    });
    while (!ended)
        app.exec();
    const CheckOutcome outcome = *ended;
    clearProgress();
    library.NMailEndWinSock();
    if (!rememberOutcome(values, outcome))
        err(QStringLiteral("could not write %1").arg(serverMemoryPath()));

    using Status = CheckOutcome::Status;
    switch (outcome.status) {
    case Status::Done:
    case Status::DeletionsLost:
        break;
    case Status::NoConnection:
        return ExitNoConnection;
    case Status::LoginRefused:
        return ExitLoginRefused;
    case Status::NoServer:
    case Status::AccountMissing:
    case Status::NotStarted:
        return ExitUsage;
    }
    bool copyFailed = false;
    for (const CheckOutcome::Caught& c : outcome.caught) {
        QString line =
            QStringLiteral("%1\t%2\t%3").arg(c.number).arg(subjectLine(c.ruleWord), subjectLine(c.subject));
        if (!dryRun && !c.deleted)
            line += u'\t' + kKeptField;
        out(line + u'\n');
        copyFailed = copyFailed || c.copyFailed;
    }
    if (!outcome.learningProblem.isEmpty())
        err(oneLine(outcome.learningProblem));
    if (explaining)
        explain(outcome);
    for (const UnjudgedMessage& u : outcome.unjudged)
        err(unjudgedLine(u));
    QString summary = QStringLiteral("messages: %1, deleted: %2, new: %3")
                          .arg(outcome.mailCount)
                          .arg(outcome.deleted)
                          .arg(outcome.newMailCount);
    if (!outcome.unjudged.isEmpty())
        summary += QStringLiteral(", unjudged: %1").arg(outcome.unjudged.size());
    out(summary + u'\n');
    std::fflush(stdout);
    if (outcome.status == Status::DeletionsLost)
        return ExitLost;
    return copyFailed ? ExitCopyFailed : ExitRan;
}
