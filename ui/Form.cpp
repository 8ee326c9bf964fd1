#include "ui/Form.h"

#include "ui/AllowListForm.h"
#include "ui/DeletedMailForm.h"
#include "ui/Dialogs.h"
#include "ui/GekitaiForm.h"
#include "ui/HelpForm.h"
#include "ui/IdPassForm.h"
#include "ui/Learning.h"
#include "ui/MsgForm.h"
#include "ui/OptionForm.h"
#include "ui/PreviewForm.h"
#include "ui/SetForm.h"

#include <QAction>
#include <QCloseEvent>
#include <QLabel>

namespace brindle {

Form::Form(Windows& windows) : QWidget(nullptr, Qt::Window), m_windows(windows) {
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

namespace {

template <typename T> bool loaded(const QPointer<T>& p) {
    return p && !p->isUnloaded();
}

// The window in `p`, made when it is not loaded (its load action left to the caller).
template <typename T, typename... Args> T* made(QPointer<T>& p, Windows& windows, Args&&... args) {
    if (!loaded(p))
        p = new T(windows, std::forward<Args>(args)...);
    return p;
}

template <typename T> T* get(QPointer<T>& p, Windows& windows) {
    if (!loaded(p))
        made(p, windows)->load();
    return p;
}

void setInputEnabled(QObject* o, bool enabled) {
    if (auto* w = qobject_cast<QWidget*>(o))
        w->setEnabled(enabled);
    else if (auto* a = qobject_cast<QAction*>(o))
        a->setEnabled(enabled);
}

template <typename T> T* present(T* w) {
    w->show();
    w->raise();
    w->activateWindow();
    return w;
}

} // namespace

Windows::~Windows() {
    for (Form* f : all())
        delete f;
}

QList<Form*> Windows::all() const {
    return {m_set,  m_option,    m_idPass,     m_gekitai,     m_msg,
            m_help, m_allowList, m_deletedLog, m_trialResult, m_preview};
}

MessageBoxes& Windows::boxes() const {
    return *m_services.boxes;
}

SetForm* Windows::setForm() {
    return get(m_set, *this);
}
OptionForm* Windows::optionForm() {
    return get(m_option, *this);
}
IdPassForm* Windows::idPassForm() {
    return get(m_idPass, *this);
}
GekitaiForm* Windows::gekitaiForm() {
    return get(m_gekitai, *this);
}
MsgForm* Windows::msgForm() {
    return get(m_msg, *this);
}
HelpForm* Windows::helpForm() {
    return get(m_help, *this);
}

bool Windows::isSetFormLoaded() const {
    return loaded(m_set);
}
bool Windows::isMsgFormLoaded() const {
    return loaded(m_msg);
}
bool Windows::isHelpFormLoaded() const {
    return loaded(m_help);
}

AllowListForm* Windows::openAllowList() {
    AllowListForm* f = made(m_allowList, *this);
    f->load(); // the file may have changed since the editor was shown
    return present(f);
}

DeletedMailForm* Windows::openDeletedLog() {
    DeletedMailForm* f = made(m_deletedLog, *this, DeletedMailForm::Mode::Log);
    f->load();
    return present(f);
}

DeletedMailForm* Windows::openTrialResult(const QList<CaughtMessage>& caught) {
    DeletedMailForm* f = made(m_trialResult, *this, DeletedMailForm::Mode::Trial);
    f->showCaught(caught);
    return present(f);
}

PreviewForm* Windows::openPreview(PassRunner runner) {
    PreviewForm* f = present(made(m_preview, *this, std::move(runner)));
    f->refresh();
    return f;
}

void Windows::refreshAllowList() {
    if (loaded(m_allowList))
        m_allowList->load();
}

void Windows::refreshLearnedCounts() {
    if (loaded(m_deletedLog))
        m_deletedLog->LearnNote->setText(learnedCountsText());
}

void Windows::discardAll() {
    for (Form* f : all()) {
        if (f && !f->isUnloaded())
            f->discard();
    }
}

void Windows::registerInput(QObject* o) {
    m_checkInputs.removeAll(QPointer<QObject>());
    m_checkInputs.append(o);
    if (m_checkInputsLocked)
        setInputEnabled(o, false);
}

void Windows::registerCheckInput(QWidget* w) {
    registerInput(w);
}

void Windows::registerCheckInput(QAction* a) {
    registerInput(a);
}

void Windows::lockCheckInputs(bool locked) {
    m_checkInputsLocked = locked;
    m_checkInputs.removeAll(QPointer<QObject>());
    for (const QPointer<QObject>& o : m_checkInputs)
        setInputEnabled(o, !locked);
}

} // namespace brindle
