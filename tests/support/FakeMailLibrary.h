#pragma once
// An in-memory mail library: decoded messages, failures on demand, and a log of the calls.
#include "mailcheck/MailLibrary.h"

#include <QList>
#include <QSet>
#include <QStringList>

namespace brindle::testing {

class FakeMailLibrary : public MailLibrary {
public:
    struct Message {
        MailFields fields;
        QString body;
        qint64 size = -1; // the size the server lists; -1: the UTF-8 length of header and body
        QString uidl;     // empty: the server has none for it
        QByteArray raw() const { return (fields.header + QStringLiteral("\r\n\r\n") + body).toUtf8(); }
    };
    QList<Message> messages;
    bool connectFails = false;
    Pop3ErrorKind loginFails = Pop3ErrorKind::None; // how the login fails, if it does
    bool closeFails = false;
    QSet<int> statusFails, fetchFails, deleteRefused;
    int garbledFrom = 0; // > 0: from this message on, calls fail as after garbled pipelined replies
    QString failureText = QStringLiteral("-ERR something went wrong");

    // Every call in order: "init", "option 2 0", "connect host", "login id", "status 3", "size 3",
    // "fetch 3", "dele 3", "quit", "end".
    QStringList log;
    QList<std::tuple<QString, QString, int>> logins;
    MailError lastError;

    // The message numbers of one kind of call ("status", "fetch", "dele"), in order.
    QList<int> numbers(const QString& call) const {
        QList<int> out;
        for (const QString& entry : log)
            if (entry.startsWith(call + u' '))
                out.append(entry.mid(call.size() + 1).toInt());
        return out;
    }

    bool NMailInitializeWinSock() override { return log << QStringLiteral("init"), true; }
    void NMailSetOption(int option, int value) override { log << u"option %1 %2"_qs.arg(option).arg(value); }
    Task<int> NMailPop3Connect(QString host) override {
        co_return log << u"connect "_qs + host, connectFails ? fail(Pop3ErrorKind::CannotConnect) : 7;
    }
    Task<int> NMailPop3Authenticate(int, QString id, QString password, int apopFlag) override {
        log << QStringLiteral("login ") + id;
        logins.append({id, password, apopFlag});
        co_return loginFails != Pop3ErrorKind::None ? fail(loginFails) : int(messages.size());
    }
    MailError NMailGetError() override { return lastError; }
    Task<int> NMailPop3GetMailStatus(int, int n, MailFields& fields) override {
        if (numbered(QStringLiteral("status"), n, statusFails) < 0)
            co_return -1;
        fields = messages[n - 1].fields;
        co_return 0;
    }
    Task<qint64> NMailPop3GetMailSize(int, int n) override {
        if (numbered(QStringLiteral("size"), n, {}) < 0)
            co_return -1;
        const Message& m = messages[n - 1];
        co_return m.size >= 0 ? m.size : m.fields.header.toUtf8().size() + m.body.toUtf8().size() + 2;
    }
    Task<int> NMailPop3GetMail(int, int n, MailFields& fields, QString& body) override {
        if (numbered(QStringLiteral("fetch"), n, fetchFails) < 0)
            co_return -1;
        fields = messages[n - 1].fields;
        body = messages[n - 1].body;
        co_return 0;
    }
    Task<int> NMailPop3GetUidl(int, int n, QString& uidl) override {
        // The listing came with the login: no garble reaches it later.
        log << QStringLiteral("uidl %1").arg(n);
        if (n < 1 || n > messages.size())
            co_return fail(Pop3ErrorKind::CommandRefused);
        uidl = messages[n - 1].uidl;
        co_return 0;
    }
    Task<int> NMailPop3GetRawMail(int, int n, int bodyLines, QByteArray& raw) override {
        if (numbered(bodyLines < 0 ? QStringLiteral("raw") : QStringLiteral("top"), n, {}) < 0)
            co_return -1;
        raw = messages[n - 1].raw();
        co_return 0;
    }
    Task<int> NMailPop3DeleteMail(int, int n) override {
        co_return numbered(QStringLiteral("dele"), n, deleteRefused);
    }
    void NMailPop3Skip(int, int n) override { log << QStringLiteral("skip %1").arg(n); }
    int NMailPop3SendQuit(int) override { return log << QStringLiteral("sendquit"), 0; }
    Task<int> NMailPop3Close(int) override {
        co_return log << QStringLiteral("quit"), closeFails ? fail(Pop3ErrorKind::ConnectionLost) : 0;
    }
    void NMailEndWinSock() override { log << QStringLiteral("end"); }

    void add(const QString& subject, const QString& from, const QString& body, qint64 size = -1) {
        MailFields f;
        f.subject = subject;
        f.fromAddress = from;
        f.header = QStringLiteral("Subject: %1\r\nFrom: %2").arg(subject, from);
        messages.append({f, body, size, {}});
    }
    // A mailbox of ordinary Japanese mail with these subjects.
    void setSubjects(const QStringList& subjects) {
        messages.clear();
        for (const QString& s : subjects)
            add(s, QStringLiteral("someone@example.org"), QStringLiteral(u"こんにちは"));
    }

private:
    int fail(Pop3ErrorKind kind, bool garbled = false) {
        // Its words as a C string would hold them in a buffer that had held more.
        lastError = MailError();
        lastError.kind = kind;
        lastError.detail = failureText + QChar(u'\0') + u"junk after NUL"_qs;
        lastError.pipeliningGarbled = garbled;
        return -1;
    }
    // One command about message n: garbled from garbledFrom on, refused when listed or out of range.
    int numbered(const QString& call, int n, const QSet<int>& refused) {
        log << QStringLiteral("%1 %2").arg(call).arg(n);
        if (garbledFrom > 0 && n >= garbledFrom)
            return fail(Pop3ErrorKind::ProtocolError, true);
        if (refused.contains(n) || n < 1 || n > messages.size())
            return fail(Pop3ErrorKind::CommandRefused);
        return 0;
    }
};

} // namespace brindle::testing
