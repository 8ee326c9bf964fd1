#pragma once
#include "mailcheck/MailLibrary.h"

namespace brindle {

// The mail library as the windows hand it to a check. When the program is ending during a check,
// stop() makes the rest of that check harmless: no further message is fetched or deleted and no new
// connection or login starts, while closing the connection still goes to the server, so the
// deletions already made (and already announced to the user) take effect.
class StoppableLibrary : public MailLibrary {
public:
    explicit StoppableLibrary(MailLibrary& inner) : m_inner(inner) {}
    void stop() { m_stopped = true; }
    void resume() { m_stopped = false; }
    bool stopped() const { return m_stopped; }
    MailLibrary& inner() { return m_inner; }

    bool NMailInitializeWinSock() override { return m_inner.NMailInitializeWinSock(); }
    void NMailSetOption(int option, int value) override { m_inner.NMailSetOption(option, value); }
    int NMailPop3Connect(const QString& host) override;
    int NMailPop3Authenticate(int handle, const QString& id, const QString& password, int apopFlag) override;
    QString NMailGetMessage() override;
    int NMailPop3GetMailStatus(int handle, int n, MailFields& fields) override;
    qint64 NMailPop3GetMailSize(int handle, int n) override;
    int NMailPop3GetMail(int handle, int n, MailFields& fields, QString& body) override;
    int NMailPop3DeleteMail(int handle, int n) override;
    int NMailPop3Close(int handle) override { return m_inner.NMailPop3Close(handle); }
    void NMailEndWinSock() override { m_inner.NMailEndWinSock(); }

private:
    MailLibrary& m_inner;
    bool m_stopped = false;
};

} // namespace brindle
