#pragma once
#include <QPointer>
#include <QWidget>

namespace brindle {

class MainForm;
class SetForm;
class OptionForm;
class IdPassForm;
class GekitaiForm;
class MsgForm;
class HelpForm;
struct ProgramValues;
struct UiServices;

// The windows' program values: one instance lives for the program's run. Only the windows use it;
// a check gets what it needs through its inputs.
ProgramValues& programValues();

// A window kind with one instance: loaded (built and its load action run) the first time anything
// refers to it, hidden unless the caller shows it; unloaded when the user closes it (its unload
// action runs and the instance goes away); loaded afresh by the next reference.
class Form : public QWidget {
    Q_OBJECT
public:
    explicit Form(QWidget* parent = nullptr);
    bool isUnloaded() const { return m_unloaded; }
    // Throws the window away without its unload action (the end of the run).
    void discard();

protected:
    // The window's unload action; runs once, when the user closes the window.
    virtual void unload() {}
    void closeEvent(QCloseEvent* e) override;

private:
    bool m_unloaded = false;
};

namespace forms {

// The one main window, or nullptr when it does not exist.
MainForm* mainForm();
void registerMainForm(MainForm* f);

// Each accessor loads its window hidden when it is not loaded.
SetForm* setForm();
OptionForm* optionForm();
IdPassForm* idPassForm();
GekitaiForm* gekitaiForm();
MsgForm* msgForm();
// HELP loaded here acts on `services`; one already loaded keeps those it was given.
HelpForm* helpForm(const UiServices& services);

// Whether the window is loaded now, without loading it.
bool isSetFormLoaded();
bool isOptionFormLoaded();
bool isIdPassFormLoaded();
bool isGekitaiFormLoaded();
bool isMsgFormLoaded();
bool isHelpFormLoaded();

// Unloads every window but the main one without their unload actions (the end of the run).
void discardAll();

} // namespace forms

} // namespace brindle
