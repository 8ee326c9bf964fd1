#pragma once
// Shared pieces of the window tests: a temporary application folder, message boxes answered by a
// script, a mail library that records its calls, and a clean slate between test functions.
#include "mailcheck/MailLibrary.h"
#include "platform/AppFolder.h"
#include "platform/MessageBox.h"
#include "settings/SettingsStore.h"
#include "ui/Dialogs.h"
#include "ui/Form.h"

#include <functional>
#include <memory>
#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QList>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

namespace brindle::test {

struct AskedBox {
    QString text;
    MsgButtons buttons;
    MsgIcon icon;
    QString caption;
};

class ScriptedBoxes : public MessageBoxes {
public:
    MsgResult show(const QString& text, MsgButtons buttons, MsgIcon icon, const QString& caption) override {
        asked.append({text, buttons, icon, caption});
        if (onShow)
            onShow(asked.last());
        if (!answers.isEmpty())
            return answers.takeFirst();
        return buttons == MsgButtons::YesNo ? MsgResult::No : MsgResult::Ok;
    }
    QList<AskedBox> asked;
    QList<MsgResult> answers;
    std::function<void(const AskedBox&)> onShow;
};

// Records every call; a mailbox of `subjects.size()` messages, each with the given subject.
class RecordingLibrary : public MailLibrary {
public:
    bool NMailInitializeWinSock() override {
        calls << QStringLiteral("init");
        return true;
    }
    void NMailSetOption(int option, int value) override {
        calls << QStringLiteral("option %1 %2").arg(option).arg(value);
    }
    int NMailPop3Connect(const QString& host) override {
        calls << QStringLiteral("connect %1").arg(host);
        return 7;
    }
    int NMailPop3Authenticate(int, const QString& id, const QString&, int) override {
        calls << QStringLiteral("login %1").arg(id);
        return int(subjects.size());
    }
    QString NMailGetMessage() override { return QStringLiteral("failure"); }
    int NMailPop3GetMailStatus(int, int n, MailFields& fields) override {
        calls << QStringLiteral("status %1").arg(n);
        fields = MailFields{};
        fields.subject = subjects.value(n - 1);
        fields.fromAddress = QStringLiteral("someone@example.org");
        fields.header = QStringLiteral("Subject: ") + fields.subject;
        return 1;
    }
    qint64 NMailPop3GetMailSize(int, int) override { return 100; }
    int NMailPop3GetMail(int, int n, MailFields& fields, QString& body) override {
        calls << QStringLiteral("fetch %1").arg(n);
        NMailPop3GetMailStatus(0, n, fields);
        body = QStringLiteral("こんにちは");
        return 1;
    }
    int NMailPop3DeleteMail(int, int n) override {
        calls << QStringLiteral("dele %1").arg(n);
        return 0;
    }
    int NMailPop3Close(int) override {
        calls << QStringLiteral("quit");
        return 0;
    }
    void NMailEndWinSock() override { calls << QStringLiteral("end"); }

    QStringList calls;
    QStringList subjects;
};

// A fresh application folder with its data folder; every window unloaded; the program-wide values
// reset; message boxes scripted; ending the run recorded instead of done.
class UiFixture {
public:
    UiFixture() {
        forms::discardAll();
        flushDeletes();
        dir = std::make_unique<QTemporaryDir>();
        QDir(dir->path()).mkdir(QStringLiteral("★MailData"));
        QDir(dir->path()).mkdir(QStringLiteral("添付フォルダ"));
        setApplicationFolder(dir->path());
        programValues() = ProgramValues{};
        setMessageBoxes(&boxes);
        resetUiServices();
        uiServices().endRun = [this] { ++endRunCalls; };
        uiServices().openUrl = [](const QUrl&) {};
        uiServices().startProgram = [](const QString&) { return true; };
        uiServices().chooseFile = [](QWidget*, const QString&) { return QString(); };
    }
    ~UiFixture() {
        forms::discardAll();
        flushDeletes();
        setMessageBoxes(nullptr);
        resetUiServices();
    }
    static void flushDeletes() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

    QString path(const QString& rel) const { return dir->path() + QLatin1Char('/') + rel; }
    QString iniPath() const { return path(QStringLiteral("★MailData/ini.ini")); }

    void writeFile(const QString& rel, const QByteArray& bytes) const {
        QFile f(path(rel));
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    }
    QByteArray readFile(const QString& rel) const {
        QFile f(path(rel));
        if (!f.open(QIODevice::ReadOnly))
            return QByteArray();
        return f.readAll();
    }
    // A key of ini.ini as the program reads it.
    QString general(const char* key) const {
        return GeneralSettingsFile().readText(QString::fromLatin1(key), QStringLiteral("<absent>"));
    }

    std::unique_ptr<QTemporaryDir> dir;
    ScriptedBoxes boxes;
    int endRunCalls = 0;
};

} // namespace brindle::test
