#pragma once
// An in-memory mail library: decoded messages, failures on demand, and a record of the calls.
#include "mailcheck/MailLibrary.h"

#include <QList>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>

namespace brindle::testing {

class FakeMailLibrary : public MailLibrary {
public:
    struct Message {
        MailFields fields;
        QString body;
        qint64 size = -1; // the size the server lists; -1: the UTF-8 length of header and body
    };
    QList<Message> messages;
    bool connectFails = false;
    bool loginRefused = false;
    bool closeFails = false;
    QSet<int> statusFails, fetchFails, deleteRefused;
    QString failureText = QStringLiteral("-ERR something went wrong");
    int garbledFrom = 0; // > 0: from this message on, calls fail as after garbled pipelined replies

    // Record.
    QStringList connectedTo;
    QList<std::tuple<QString, QString, int>> logins;
    QList<int> statusCalls, fetchCalls, deleteCalls;
    int closeCalls = 0;
    int calls = 0;   // every entry point
    QStringList log; // every call in order: "connect host", "login id", "status n", "dele n", "quit" ...

    bool NMailInitializeWinSock() override {
        log << QStringLiteral("init");
        return true;
    }
    void NMailSetOption(int option, int value) override {
        log << QStringLiteral("option %1 %2").arg(option).arg(value);
    }
    int NMailPop3Connect(const QString& host) override {
        ++calls;
        log << QStringLiteral("connect ") + host;
        connectedTo.append(host);
        return connectFails ? -1 : 7;
    }
    int NMailPop3Authenticate(int handle, const QString& id, const QString& password, int apopFlag) override {
        ++calls;
        Q_ASSERT(handle == 7);
        log << QStringLiteral("login ") + id;
        logins.append({id, password, apopFlag});
        if (loginRefused)
            return fail(Pop3ErrorKind::LoginRefused, 0);
        return static_cast<int>(messages.size());
    }
    QString NMailGetMessage() override {
        return failureText + QChar(u'\0') + QStringLiteral("junk after NUL");
    }
    Pop3Error NMailGetError() override { return lastError; }
    Pop3Error lastError;
    int NMailPop3GetMailStatus(int, int n, MailFields& fields) override {
        ++calls;
        statusCalls.append(n);
        log << QStringLiteral("status %1").arg(n);
        if (statusFails.contains(n) || n < 1 || n > messages.size()) {
            return fail(Pop3ErrorKind::CommandRefused, n);
        }
        if (garbledFrom > 0 && n >= garbledFrom)
            return fail(Pop3ErrorKind::ProtocolError, n);
        fields = messages[n - 1].fields;
        return 0;
    }
    qint64 NMailPop3GetMailSize(int, int n) override {
        ++calls;
        if (n < 1 || n > messages.size()) {
            return -1;
        }
        const Message& m = messages[n - 1];
        return m.size >= 0 ? m.size : m.fields.header.toUtf8().size() + m.body.toUtf8().size() + 2;
    }
    int NMailPop3GetMail(int, int n, MailFields& fields, QString& body) override {
        ++calls;
        fetchCalls.append(n);
        log << QStringLiteral("fetch %1").arg(n);
        if (fetchFails.contains(n) || n < 1 || n > messages.size()) {
            return fail(Pop3ErrorKind::CommandRefused, n);
        }
        if (garbledFrom > 0 && n >= garbledFrom)
            return fail(Pop3ErrorKind::ProtocolError, n);
        fields = messages[n - 1].fields;
        body = messages[n - 1].body;
        return 0;
    }
    int NMailPop3DeleteMail(int, int n) override {
        ++calls;
        deleteCalls.append(n);
        log << QStringLiteral("dele %1").arg(n);
        return deleteRefused.contains(n) ? fail(Pop3ErrorKind::CommandRefused, n) : 0;
    }
    int NMailPop3Close(int) override {
        ++calls;
        ++closeCalls;
        log << QStringLiteral("quit");
        return closeFails ? -1 : 0;
    }
    void NMailEndWinSock() override { log << QStringLiteral("end"); }

    int fail(Pop3ErrorKind kind, int n) {
        lastError = {kind, failureText, kind == Pop3ErrorKind::ProtocolError && garbledFrom > 0 && n >= garbledFrom};
        return -1;
    }

    void add(const QString& subject, const QString& from, const QString& body, qint64 size = -1) {
        Message m;
        m.fields.subject = subject;
        m.fields.fromAddress = from;
        m.fields.header = QStringLiteral("Subject: %1\r\nFrom: %2").arg(subject, from);
        m.body = body;
        m.size = size;
        messages.append(m);
    }
    // A mailbox of ordinary Japanese mail with these subjects.
    void setSubjects(const QStringList& subjects) {
        messages.clear();
        for (const QString& s : subjects) {
            add(s, QStringLiteral("someone@example.org"), QStringLiteral(u"こんにちは"));
        }
    }
};

} // namespace brindle::testing
