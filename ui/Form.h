#pragma once
#include "mailcheck/MailCheckRun.h"
#include "settings/SettingsStore.h"

#include <functional>
#include <QList>
#include <QPointer>
#include <QWidget>

class QAction;

namespace brindle {

class AllowListForm;
class DeletedMailForm;
class Form;
class GekitaiForm;
class HelpForm;
class IdPassForm;
class MainForm;
class MessageBoxes;
class MsgForm;
class OptionForm;
class PreviewForm;
class SetForm;
struct UiServices;

// Runs one pass of the mailbox preview (PreviewForm::Runner).
using PassRunner = std::function<void(CheckInputs inputs, std::function<void(const CheckOutcome&)> done)>;

// The windows of one run and what they share: the main window, the outside world they act on, the
// program values, and the registry of the window kinds with one instance. The main window owns it
// and hands it to every window it opens.
class Windows {
public:
    // `services` must outlive this object.
    Windows(MainForm& main, const UiServices& services) : m_main(main), m_services(services) {}
    // Deletes every window of the registry still there (the end of the run).
    ~Windows();
    Windows(const Windows&) = delete;
    Windows& operator=(const Windows&) = delete;

    MainForm& main() const { return m_main; }
    const UiServices& services() const { return m_services; }
    MessageBoxes& boxes() const;
    // The windows' program values: the server, and the account confirmed in this run. Only the
    // windows use them; a check gets what it needs through its inputs.
    ProgramValues& values() { return m_values; }

    // Each accessor loads its window hidden when it is not loaded.
    SetForm* setForm();
    OptionForm* optionForm();
    IdPassForm* idPassForm();
    GekitaiForm* gekitaiForm();
    MsgForm* msgForm();
    HelpForm* helpForm();
    // Whether the window is loaded now, without loading it.
    bool isSetFormLoaded() const;
    bool isMsgFormLoaded() const;
    bool isHelpFormLoaded() const;

    // The windows opened with what they show. Each is made when it is not loaded, filled, shown and
    // raised: the allow list read afresh, the deletion log read afresh, the trial check's catches,
    // the mailbox read afresh from the server by `runner`'s passes.
    AllowListForm* openAllowList();
    DeletedMailForm* openDeletedLog();
    DeletedMailForm* openTrialResult(const QList<CaughtMessage>& caught);
    PreviewForm* openPreview(PassRunner runner);
    // The allow list afresh, and the learned counts afresh in the deletion log, where they are open.
    void refreshAllowList();
    void refreshLearnedCounts();

    // Unloads every window but the main one without their unload actions (the end of the run).
    void discardAll();

    // The controls and menu entries that change what a check reads (the rule, the size limit, the
    // mail program, the keyword and allow lists). Each is registered when it is made; while a check
    // runs they are disabled, and a control registered meanwhile starts disabled.
    void registerCheckInput(QWidget* w);
    void registerCheckInput(QAction* a);
    void lockCheckInputs(bool locked);

private:
    QList<Form*> all() const;
    void registerInput(QObject* o);

    MainForm& m_main;
    const UiServices& m_services;
    ProgramValues m_values;
    QPointer<SetForm> m_set;
    QPointer<OptionForm> m_option;
    QPointer<IdPassForm> m_idPass;
    QPointer<GekitaiForm> m_gekitai;
    QPointer<MsgForm> m_msg;
    QPointer<HelpForm> m_help;
    QPointer<AllowListForm> m_allowList;
    QPointer<DeletedMailForm> m_deletedLog;
    QPointer<DeletedMailForm> m_trialResult;
    QPointer<PreviewForm> m_preview;
    QList<QPointer<QObject>> m_checkInputs;
    bool m_checkInputsLocked = false;
};

// A window kind with one instance: loaded (built and its load action run) the first time anything
// refers to it, hidden unless the caller shows it; unloaded when the user closes it (its unload
// action runs and the instance goes away); loaded afresh by the next reference.
class Form : public QWidget {
    Q_OBJECT
public:
    explicit Form(Windows& windows);
    bool isUnloaded() const { return m_unloaded; }
    // Throws the window away without its unload action (the end of the run).
    void discard();
    // The run's windows and what they share.
    Windows& windows() const { return m_windows; }
    MessageBoxes& boxes() const { return m_windows.boxes(); }

protected:
    // The window's unload action; runs once, when the user closes the window.
    virtual void unload() {}
    void closeEvent(QCloseEvent* e) override;

private:
    Windows& m_windows;
    bool m_unloaded = false;
};

} // namespace brindle
