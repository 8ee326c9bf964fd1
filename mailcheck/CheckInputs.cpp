#include "mailcheck/CheckInputs.h"

#include "keywords/AllowList.h"
#include "keywords/KeywordFile.h"
#include "mailcheck/CheckHost.h"
#include "mailcheck/CheckMemories.h"
#include "mailcheck/CheckWords.h"
#include "mailcheck/MailCheckRun.h"
#include "mailcheck/ServerText.h"
#include "mailcheck/TlsMemory.h"
#include "platform/AppFolder.h"
#include "platform/Profile.h"

namespace brindle {

namespace {

const QString kPipeliningKey = QStringLiteral("PIPELINING");

// A host name is at most 253 characters; with a scheme and a port the setting stays below this.
constexpr qsizetype kServerSectionMaxChars = 300;

// One section per server, named by the server as the user wrote it, cleaned as the screen shows it
// (no controls reach the file). Brackets (of an IPv6 literal) would end the section name early, so
// they are written as parentheses.
QString serverSection(const QString& server) {
    QString section = sanitizeServerText(server, QString(), kServerSectionMaxChars);
    section.replace(u'[', u'(').replace(u']', u')');
    return section;
}

} // namespace

std::shared_ptr<CheckMemories> checkMemoriesOf(const CheckInputs& inputs) {
    if (inputs.dataFolder.isEmpty())
        return nullptr;
    if (inputs.memories)
        return inputs.memories;
    return std::make_shared<FileCheckMemories>(inputs.dataFolder);
}

QString serverMemoryPath() {
    return appPath(QStringLiteral(u"\\★MailData\\servers.ini"));
}

CheckInputs readCheckInputs(const ProgramValues& values) {
    CheckInputs inputs;
    inputs.server = values.server;
    if (values.accountConfirmed)
        inputs.account = StoredAccount{values.accountId, values.accountPassword};
    else
        inputs.account = AccountFile().read();
    inputs.keywords = ReadKeywords();
    inputs.probeFolder = appPath(QString::fromUtf16(kProbeFolderPath));
    inputs.allowList = readAllowList();
    inputs.dataFolder = appPath(QStringLiteral(u"\\★MailData"));
    inputs.quarantineLimits = readQuarantineLimits();
    inputs.memories = std::make_shared<FileCheckMemories>(inputs.dataFolder);
    const QString section = serverSection(values.server.pop3Server);
    if (!section.isEmpty())
        inputs.pipelining = getProfileInt(section, kPipeliningKey, 1, serverMemoryPath()) != 0;
    const QString key = serverTrustKey(values.server.pop3Server);
    if (!key.isEmpty())
        inputs.trust = trustFor(tlsMemoryPath(), key);
    return inputs;
}

CheckSettings checkSettingsFrom(const CheckHost& host) {
    using S = CheckHost::RuleSwitch;
    CheckSettings s;
    if (host.ruleSelected(S::Keyword))
        s.rule = DeletionRule::Keyword;
    else if (host.ruleSelected(S::Html))
        s.rule = DeletionRule::Html;
    else if (host.ruleSelected(S::Size))
        s.rule = DeletionRule::Size;
    else if (host.ruleSelected(S::NoHiragana))
        s.rule = DeletionRule::NoHiragana;
    s.sizeLimit = host.text(CheckHost::Field::SizeLimit);
    s.mailerCommand = host.text(CheckHost::Field::MailerCommand);
    return s;
}

CheckInputs readCheckInputs(const ProgramValues& values, const CheckHost& host) {
    CheckInputs inputs = readCheckInputs(values);
    inputs.settings = checkSettingsFrom(host);
    return inputs;
}

bool rememberOutcome(const ProgramValues& values, const CheckOutcome& outcome) {
    bool ok = true;
    const QString key = serverTrustKey(values.server.pop3Server);
    if (outcome.trustLearnt && !key.isEmpty())
        ok = rememberTrust(tlsMemoryPath(), key, outcome.trust);
    const QString section = serverSection(values.server.pop3Server);
    if (!outcome.pipeliningGarbled || section.isEmpty())
        return ok;
    return writeProfileString(section, kPipeliningKey, QStringLiteral("0"), serverMemoryPath()) && ok;
}

} // namespace brindle
