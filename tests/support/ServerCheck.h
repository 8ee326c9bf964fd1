#pragma once
// The real mail library against the in-process fake server with a mailbox for user/secret.
#include "mailcheck/CheckInputs.h"
#include "mailcheck/MailCheckRun.h"
#include "mailcheck/NMail.h"
#include "support/FakeHost.h"
#include "support/RunTask.h"
#include "support/TestFiles.h"
#include "tools/fakepop3/FakePop3Server.h"

#include <functional>
#include <memory>

namespace brindle::testing {

// A fresh application folder with the account user/secret saved in it.
[[nodiscard]] inline bool freshFolder(std::unique_ptr<TempAppFolder>& folder) {
    return renewFolder(folder) && AccountFile().saveAccount(QStringLiteral("user"), QStringLiteral("secret"));
}

// A started server holding these messages for user/secret, after `adjust`; null when it cannot start.
inline std::unique_ptr<fake::FakePop3Server>
serve(const QList<QByteArray>& messages, const std::function<void(fake::FakePop3Options&)>& adjust = {}) {
    fake::FakePop3Options o;
    o.messages = messages;
    o.users = {{"user", "secret"}};
    if (adjust)
        adjust(o);
    auto server = std::make_unique<fake::FakePop3Server>(o);
    return server->start() ? std::move(server) : nullptr;
}

// Messages fetched, whole or by TOP, since the server's statistics were last reset.
inline int fetches(const fake::FakePop3Server& server) {
    const fake::FakePop3Stats s = server.stats();
    return s.commandCounts.value("RETR") + s.commandCounts.value("TOP");
}

// One check with the folder's account, `adjust` editing the inputs; the server's stats count it alone.
inline CheckOutcome checkServer(fake::FakePop3Server& server, ProgramValues& values, CheckHost& host,
                                const std::function<void(CheckInputs&)>& adjust = {}, bool dryRun = false) {
    NMailLibrary library(NMailOptions{2000, 2000, {}, kPop3DefaultSessionLimitMs, {}});
    values.server.pop3Server = server.address();
    CheckInputs inputs = readCheckInputs(values);
    if (adjust)
        adjust(inputs);
    MailCheckRun run(host, library, std::move(inputs));
    run.setDryRun(dryRun);
    server.resetStats();
    return runTask(run.run());
}

// Message 1 as the check run's library reads it (its field buffer set), by a login of user/secret.
struct FetchedMessage {
    qint64 listed = -1;
    MailFields fields;
    QString body;
    bool ok = false;
};
inline FetchedMessage fetchFirst(fake::FakePop3Server& server) {
    FetchedMessage m;
    NMailLibrary lib;
    lib.NMailSetOption(kNMailOptionFieldBuffer, kCheckFieldBufferBytes);
    const int h = runTask(lib.NMailPop3Connect(server.address()));
    m.ok = runTask(lib.NMailPop3Authenticate(h, QStringLiteral("user"), QStringLiteral("secret"), 0)) >= 1;
    m.listed = runTask(lib.NMailPop3GetMailSize(h, 1));
    m.ok = m.ok && runTask(lib.NMailPop3GetMail(h, 1, m.fields, m.body)) == 0;
    runTask(lib.NMailPop3Close(h));
    return m;
}

} // namespace brindle::testing
