#include "ui/Form.h"

#include "settings/SettingsStore.h"
#include "ui/GekitaiForm.h"
#include "ui/HelpForm.h"
#include "ui/IdPassForm.h"
#include "ui/MainForm.h"
#include "ui/MsgForm.h"
#include "ui/OptionForm.h"
#include "ui/SetForm.h"

#include <QCloseEvent>

namespace brindle {

Form::Form(QWidget* parent) : QWidget(parent, Qt::Window) {
    setAttribute(Qt::WA_DeleteOnClose);
}

void Form::discard() {
    m_unloaded = true;
    hide();
    deleteLater();
}

void Form::closeEvent(QCloseEvent* e) {
    if (!m_unloaded) {
        m_unloaded = true;
        unload();
    }
    e->accept();
}

ProgramValues& programValues() {
    static ProgramValues values;
    return values;
}

namespace forms {

namespace {

QPointer<MainForm> g_main;
QPointer<SetForm> g_set;
QPointer<OptionForm> g_option;
QPointer<IdPassForm> g_idPass;
QPointer<GekitaiForm> g_gekitai;
QPointer<MsgForm> g_msg;
QPointer<HelpForm> g_help;

template <typename T> bool loaded(const QPointer<T>& p) {
    return p && !p->isUnloaded();
}

template <typename T, typename... Args> T* get(QPointer<T>& p, const Args&... args) {
    if (!loaded(p)) {
        p = new T(args...);
        p->load();
    }
    return p;
}

} // namespace

MainForm* mainForm() {
    return g_main;
}
void registerMainForm(MainForm* f) {
    g_main = f;
}

SetForm* setForm() {
    return get(g_set);
}
OptionForm* optionForm() {
    return get(g_option);
}
IdPassForm* idPassForm() {
    return get(g_idPass);
}
GekitaiForm* gekitaiForm() {
    return get(g_gekitai);
}
MsgForm* msgForm() {
    return get(g_msg);
}
HelpForm* helpForm(const UiServices& services) {
    return get(g_help, services);
}

bool isSetFormLoaded() {
    return loaded(g_set);
}
bool isOptionFormLoaded() {
    return loaded(g_option);
}
bool isIdPassFormLoaded() {
    return loaded(g_idPass);
}
bool isGekitaiFormLoaded() {
    return loaded(g_gekitai);
}
bool isMsgFormLoaded() {
    return loaded(g_msg);
}
bool isHelpFormLoaded() {
    return loaded(g_help);
}

void discardAll() {
    const QList<Form*> all{g_set, g_option, g_idPass, g_gekitai, g_msg, g_help};
    for (Form* f : all) {
        if (f && !f->isUnloaded())
            f->discard();
    }
}

} // namespace forms

} // namespace brindle
