#pragma once
// Shared pieces of the window tests: app folder, scripted boxes, main window on a recording library.
#include "keywords/AllowList.h"
#include "keywords/KeywordFile.h"
#include "learn/LearnStore.h"
#include "mailcheck/Quarantine.h"
#include "platform/MessageBox.h"
#include "settings/SettingsStore.h"
#include "support/FakeMailLibrary.h"
#include "support/Rows.h"
#include "support/TestFiles.h"
#include "ui/AllowListForm.h"
#include "ui/DeletedMailForm.h"
#include "ui/Dialogs.h"
#include "ui/Form.h"
#include "ui/GekitaiForm.h"
#include "ui/IdPassForm.h"
#include "ui/MainForm.h"
#include "ui/OptionForm.h"
#include "ui/SetForm.h"

#include <functional>
#include <memory>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

namespace brindle::test {

// A control of a window by the object name the window gives it; a name it lacks ends the test.
template <class T = QWidget> T* control(const QObject& window, const char* name) {
    T* found = window.findChild<T*>(QLatin1String(name));
    if (!found)
        qFatal("no control named %s", name);
    return found;
}

class ScriptedBoxes : public MessageBoxes {
public:
    MsgResult show(const QString& text, MsgButtons buttons, MsgIcon, const QString&) override {
        asked.append(text);
        if (onShow)
            onShow();
        if (!answers.isEmpty())
            return answers.takeFirst();
        return buttons == MsgButtons::Ok ? MsgResult::Ok : MsgResult::No;
    }
    QStringList asked;
    QList<MsgResult> answers;
    std::function<void()> onShow;
};

// Fresh app folder, boxes scripted; ending the run is counted, not done.
class UiFixture {
public:
    UiFixture() {
        services.boxes = std::shared_ptr<MessageBoxes>(&boxes, [](MessageBoxes*) {});
        services.endRun = [this] { ++endRunCalls; };
        services.startProgram = [](const QString&) { return true; };
        services.chooseFile = [](QWidget*, const QString&) { return QString(); };
        // The hang-up would ask the machine's own network manager.
        services.hangUp = [] {};
    }
    ~UiFixture() {
        m_main.reset();
        flushDeletes();
    }
    static void flushDeletes() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

    void write(const QString& rel, const QByteArray& bytes) const { QVERIFY(dir.write(rel, bytes)); }
    static QString ini() { return QStringLiteral(u"★MailData/ini.ini"); }
    void writeServerAndAccount() const {
        write(QStringLiteral("kestro.ini"), "SMTP=\r\nPOP3=127.0.0.1\r\nMAIL=\r\nAPOP=0\r\n");
        write(QStringLiteral(u"★MailData/iniIdPass.ini"), "[EXEINI]\r\nNAME=user\r\nNAME2=secret\r\n");
    }

    MainForm& startWithServer() { return writeServerAndAccount(), start(); }
    MainForm& start(MediaControl* music = nullptr) {
        m_main.reset();
        flushDeletes();
        m_main = std::make_unique<MainForm>(lib, services, music);
        m_main->load();
        return *m_main;
    }
    // The windows of the main window started last (started now when there is none), and their values.
    Windows& windows() { return (m_main ? *m_main : start()).windows(); }
    ProgramValues& values() { return windows().values(); }

    brindle::testing::TempAppFolder dir;
    ScriptedBoxes boxes;
    // Handed to the main window and the windows it opens; a test may replace members at any time.
    UiServices services = realUiServices();
    int endRunCalls = 0;
    brindle::testing::FakeMailLibrary lib;

private:
    std::unique_ptr<MainForm> m_main;
};

// A check goes on from the event loop: its events run here until it has ended.
inline void untilCheckEnds(const MainForm& main) {
    while (main.isCheckRunning())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

inline void confirmAccount(Windows& windows, const QString& id, const QString& password, bool save) {
    IdPassForm* f = windows.idPassForm();
    f->IdText->setText(id);
    f->PassText->setText(password);
    f->Check1->setChecked(save);
    f->OKCommand->click();
}

template <typename T> T* shownWindow(const QString& name) {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == name && w->isVisible())
            return qobject_cast<T*>(w);
    return nullptr;
}

inline QStringList texts(const QTableWidget* t, int column) {
    QStringList out;
    for (int r = 0; r < t->rowCount(); ++r)
        out << (t->item(r, column) ? t->item(r, column)->text() : QStringLiteral("(no item)"));
    return out;
}
inline QStringList texts(const QListWidget* l) {
    QStringList out;
    for (int i = 0; i < l->count(); ++i)
        out << l->item(i)->text();
    return out;
}

// The learned store's totals (junk, wanted); none learned when it is absent or cannot be opened.
inline QList<quint32> learnedTotals() {
    learn::LearnStore store;
    const auto t = QFile::exists(store.path()) && store.open() ? store.totals() : std::nullopt;
    return t ? QList<quint32>{t->junk, t->wanted} : QList<quint32>{0, 0};
}

inline void selectRows(QTableWidget* t, const QList<int>& rows) {
    t->clearSelection();
    for (int r : rows)
        t->selectionModel()->select(t->model()->index(r, 0),
                                    QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

} // namespace brindle::test
