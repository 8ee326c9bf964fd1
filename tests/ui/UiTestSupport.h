#pragma once
// Shared pieces of the window tests: a temporary application folder, message boxes answered by a
// script, a started main window on a mail library that records its calls, and a clean slate between
// test functions.
#include "platform/MessageBox.h"
#include "settings/SettingsStore.h"
#include "support/FakeMailLibrary.h"
#include "support/TestFiles.h"
#include "ui/Dialogs.h"
#include "ui/Form.h"
#include "ui/MainForm.h"

#include <functional>
#include <memory>
#include <QCoreApplication>
#include <QEvent>
#include <QList>
#include <QTest>

namespace brindle::test {

using RecordingLibrary = brindle::testing::FakeMailLibrary;

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

// A fresh application folder with its data folder; every window unloaded; the program-wide values
// reset; message boxes scripted; ending the run recorded instead of done.
class UiFixture {
public:
    UiFixture() {
        forms::discardAll();
        flushDeletes();
        dir = std::make_unique<brindle::testing::TempAppFolder>();
        programValues() = ProgramValues{};
        setMessageBoxes(&boxes);
        resetUiServices();
        uiServices().endRun = [this] { ++endRunCalls; };
        uiServices().openUrl = [](const QUrl&) {};
        uiServices().startProgram = [](const QString&) { return true; };
        uiServices().chooseFile = [](QWidget*, const QString&) { return QString(); };
    }
    ~UiFixture() {
        m_main.reset();
        forms::discardAll();
        flushDeletes();
        setMessageBoxes(nullptr);
        resetUiServices();
    }
    static void flushDeletes() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

    QString path(const QString& rel) const { return dir->path(rel); }

    void writeFile(const QString& rel, const QByteArray& bytes) const { QVERIFY(dir->write(rel, bytes)); }
    QByteArray readFile(const QString& rel) const { return dir->read(rel); }
    // The general settings (ini.ini) holding these lines after its section line.
    void writeIni(const QByteArray& lines) const {
        writeFile(QStringLiteral(u"★MailData/ini.ini"), "[EXEINI]\r\n" + lines);
    }
    // A POP3 server on the loopback address, with USER/PASS.
    void writeServer() const {
        writeFile(QStringLiteral("kestro.ini"), "SMTP=\r\nPOP3=127.0.0.1\r\nMAIL=\r\nAPOP=0\r\n");
    }
    void writeAccount() const {
        writeFile(QStringLiteral(u"★MailData/iniIdPass.ini"), "[EXEINI]\r\nNAME=user\r\nNAME2=secret\r\n");
    }
    QByteArray keywordFile() const { return readFile(QStringLiteral(u"★MailData/Kstdata50.data")); }
    // A key of ini.ini as the program reads it.
    QString general(const char* key) const {
        return GeneralSettingsFile().readText(QString::fromLatin1(key), QStringLiteral("<absent>"));
    }

    // The main window on the recording library, loaded from the folder's files.
    MainForm& start() {
        m_main = std::make_unique<MainForm>(lib);
        m_main->load();
        return *m_main;
    }

    std::unique_ptr<brindle::testing::TempAppFolder> dir;
    ScriptedBoxes boxes;
    int endRunCalls = 0;
    RecordingLibrary lib;

private:
    std::unique_ptr<MainForm> m_main;
};

} // namespace brindle::test
