#include "ui/GuiCheckHost.h"

#include "platform/NumberText.h"
#include "ui/ControlMap.h"
#include "ui/Dialogs.h"
#include "ui/IdPassForm.h"
#include "ui/MainForm.h"
#include "ui/MsgForm.h"
#include "ui/SetForm.h"
#include "ui/texts/CheckTexts.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QRadioButton>

namespace brindle {

QLineEdit* GuiCheckHost::box(Field f) const {
    const FieldPlace* p = placeOf(f);
    return p && p->box ? m_main.findChild<QLineEdit*>(QLatin1String(p->box)) : nullptr;
}

QString* GuiCheckHost::kept(Field f) const {
    const FieldPlace* p = placeOf(f);
    return p && p->member ? &(m_working.*(p->member)) : nullptr;
}

bool GuiCheckHost::ending() const {
    return m_main.exitRequested();
}

QString GuiCheckHost::text(Field f) const {
    if (const QString* k = kept(f))
        return *k;
    const QLineEdit* e = box(f);
    return e ? e->text() : QString();
}

void GuiCheckHost::setText(Field f, const QString& value) {
    if (QString* k = kept(f))
        *k = value;
    else if (QLineEdit* e = box(f))
        e->setText(value);
}

void GuiCheckHost::highlight(Field f, int start, int length) {
    if (kept(f))
        m_working.hit = {f, start, length};
    else if (QLineEdit* e = box(f))
        e->setSelection(start, length);
}

bool GuiCheckHost::ruleSelected(RuleSwitch s) const {
    if (ending())
        return false;
    const RulePlace* p = placeOf(s);
    const auto* option = p ? m_main.findChild<QRadioButton*>(QLatin1String(p->option)) : nullptr;
    return option && option->isChecked();
}

bool GuiCheckHost::noticeBoardChosen() const {
    return !ending() && windows().setForm()->Option1->isChecked();
}
bool GuiCheckHost::mailerChosen() const {
    return !ending() && windows().setForm()->Option2->isChecked();
}
bool GuiCheckHost::autoCloseNoticeBoard() const {
    return !ending() && windows().setForm()->Check2->isChecked();
}
bool GuiCheckHost::hangUpAfterCheck() const {
    return !ending() && windows().setForm()->Check1->isChecked();
}

void GuiCheckHost::setAccountBoxes(const QString& id, const QString& password) {
    if (ending())
        return;
    IdPassForm* f = windows().idPassForm();
    f->IdText->setText(id);
    f->PassText->setText(password);
}

MsgResult GuiCheckHost::tell(const CheckNotice& notice) {
    const NoticeBox b = noticeBox(notice);
    if (ending())
        return b.buttons == MsgButtons::Ok ? MsgResult::Ok : MsgResult::No;
    return windows().boxes().show(b.text, b.buttons, b.icon, b.caption);
}

void GuiCheckHost::showSetForm() {
    if (ending())
        return;
    SetForm* f = windows().setForm();
    f->show();
    f->raise();
}

void GuiCheckHost::showNoticeBoard(int newMail) {
    if (ending())
        return;
    MsgForm* f = windows().msgForm();
    f->Text1->setText(noticeBoardText());
    f->Text2->setText(shortestDecimal(newMail));
    f->show();
    f->raise();
}

void GuiCheckHost::unloadNoticeBoard() {
    if (windows().isMsgFormLoaded())
        windows().msgForm()->close();
}

bool GuiCheckHost::startMailer(const QString& commandLine) {
    if (ending())
        return false;
    return m_main.services().startProgram(commandLine);
}

void GuiCheckHost::hangUp() {
    if (!ending())
        m_main.services().hangUp();
}

Task<MsgResult> GuiCheckHost::showNotice(CheckNotice notice) {
    co_await nextTurn();
    co_return tell(notice);
}

Task<void> GuiCheckHost::showDeletion(int number, QString ruleWord) {
    co_await nextTurn();
    announceDeletion(number, ruleWord);
}

Task<bool> GuiCheckHost::putTrustQuestion(TrustQuestion question) {
    co_await nextTurn();
    co_return askTrust(question);
}

bool GuiCheckHost::askTrust(const TrustQuestion& question) {
    if (ending())
        return false;
    const QString memo =
        QStringLiteral("%1 %2 %3").arg(int(question.kind)).arg(question.server, question.sha256.toHex());
    if (!question.byHand && m_declined.contains(memo))
        return false;
    const NoticeBox b = trustQuestionBox(question);
    const bool yes = windows().boxes().show(b.text, b.buttons, b.icon, b.caption) == MsgResult::Yes;
    if (!yes)
        m_declined.insert(memo);
    return yes;
}

void GuiCheckHost::tellUnjudged(const QList<UnjudgedMessage>& messages) {
    if (ending() || messages.isEmpty())
        return;
    windows().boxes().show(unjudgedBoxText(messages), MsgButtons::Ok, MsgIcon::Exclamation, QString());
}

} // namespace brindle
