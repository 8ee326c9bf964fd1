#include "ui/StoppableLibrary.h"

namespace brindle {

int StoppableLibrary::NMailPop3Connect(const QString& host) {
    return m_stopped ? -1 : m_inner.NMailPop3Connect(host);
}

int StoppableLibrary::NMailPop3Authenticate(int handle, const QString& id, const QString& password,
                                            int apopFlag) {
    return m_stopped ? -1 : m_inner.NMailPop3Authenticate(handle, id, password, apopFlag);
}

QString StoppableLibrary::NMailGetMessage() {
    return m_stopped ? QStringLiteral("プログラムの終了により中止しました。") : m_inner.NMailGetMessage();
}

int StoppableLibrary::NMailPop3GetMailStatus(int handle, int n, MailFields& fields) {
    if (m_stopped) {
        fields = MailFields{};
        return -1;
    }
    return m_inner.NMailPop3GetMailStatus(handle, n, fields);
}

qint64 StoppableLibrary::NMailPop3GetMailSize(int handle, int n) {
    return m_stopped ? -1 : m_inner.NMailPop3GetMailSize(handle, n);
}

int StoppableLibrary::NMailPop3GetMail(int handle, int n, MailFields& fields, QString& body) {
    if (m_stopped) {
        fields = MailFields{};
        body.clear();
        return -1;
    }
    return m_inner.NMailPop3GetMail(handle, n, fields, body);
}

int StoppableLibrary::NMailPop3DeleteMail(int handle, int n) {
    return m_stopped ? -1 : m_inner.NMailPop3DeleteMail(handle, n);
}

} // namespace brindle
