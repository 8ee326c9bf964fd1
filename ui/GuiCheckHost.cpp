#include "ui/GuiCheckHost.h"

#include "mailcheck/WaitWithEvents.h"
#include "ui/Dialogs.h"
#include "ui/IdPassForm.h"
#include "ui/MainForm.h"
#include "ui/MsgForm.h"
#include "ui/SetForm.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTextCursor>

namespace brindle {

namespace {
// The unjudged messages one box names; a mailbox whose server fails on every message would
// otherwise fill the screen.
constexpr int kUnjudgedNamedInBox = 10;
} // namespace

QWidget* GuiCheckHost::widget(Field f) const {
    switch (f) {
    case Field::MailerCommand:
        return m_main.Text1;
    case Field::Keyword:
        return m_main.Text3;
    case Field::Subject:
        return m_main.Text4;
    case Field::Sender:
        return m_main.Text5;
    case Field::Body:
        return m_main.Text6;
    case Field::SizeLimit:
        return m_main.Text10;
    case Field::SizeProbePath:
        return m_main.Text12;
    case Field::MeasuredSize:
        return m_main.Text13;
    case Field::DeletionCount:
        return m_main.Text14;
    }
    return nullptr;
}

bool GuiCheckHost::ending() const {
    return m_main.exitRequested();
}

QString GuiCheckHost::text(Field f) const {
    if (f == Field::Body)
        return m_main.Text6->toPlainText();
    auto* e = static_cast<QLineEdit*>(widget(f));
    return e ? e->text() : QString();
}

void GuiCheckHost::setText(Field f, const QString& value) {
    if (f == Field::Body) {
        m_main.Text6->setPlainText(value);
        return;
    }
    if (auto* e = static_cast<QLineEdit*>(widget(f)))
        e->setText(value);
}

void GuiCheckHost::highlight(Field f, int start, int length) {
    if (f == Field::Body) {
        QTextCursor c = m_main.Text6->textCursor();
        c.setPosition(start);
        c.setPosition(start + length, QTextCursor::KeepAnchor);
        m_main.Text6->setTextCursor(c);
        return;
    }
    if (auto* e = static_cast<QLineEdit*>(widget(f)))
        e->setSelection(start, length);
}

bool GuiCheckHost::ruleSelected(RuleSwitch s) const {
    if (ending())
        return false;
    switch (s) {
    case RuleSwitch::Keyword:
        return m_main.Option1->isChecked();
    case RuleSwitch::Html:
        return m_main.Option6->isChecked();
    case RuleSwitch::Size:
        return m_main.Option4->isChecked();
    case RuleSwitch::NoHiragana:
        return m_main.Option5->isChecked();
    }
    return false;
}

bool GuiCheckHost::noticeBoardChosen() const {
    return !ending() && forms::setForm()->Option1->isChecked();
}
bool GuiCheckHost::mailerChosen() const {
    return !ending() && forms::setForm()->Option2->isChecked();
}
bool GuiCheckHost::autoCloseNoticeBoard() const {
    return !ending() && forms::setForm()->Check2->isChecked();
}
bool GuiCheckHost::hangUpAfterCheck() const {
    return !ending() && forms::setForm()->Check1->isChecked();
}

void GuiCheckHost::setAccountBoxes(const QString& id, const QString& password) {
    if (ending())
        return;
    IdPassForm* f = forms::idPassForm();
    f->IdText->setText(id);
    f->PassText->setText(password);
}

MsgResult GuiCheckHost::messageBox(const QString& text, MsgButtons buttons, MsgIcon icon,
                                   const QString& caption) {
    if (ending())
        return buttons == MsgButtons::Ok ? MsgResult::Ok : MsgResult::No;
    return messageBoxes().show(text, buttons, icon, caption);
}

void GuiCheckHost::showSetForm() {
    if (ending())
        return;
    SetForm* f = forms::setForm();
    f->show();
    f->raise();
}

void GuiCheckHost::showNoticeBoard(const QString& text, const QString& count) {
    if (ending())
        return;
    MsgForm* f = forms::msgForm();
    f->Text1->setText(text);
    f->Text2->setText(count);
    f->show();
    f->raise();
}

void GuiCheckHost::unloadNoticeBoard() {
    if (forms::isMsgFormLoaded())
        forms::msgForm()->close();
}

bool GuiCheckHost::startMailer(const QString& commandLine) {
    if (ending())
        return false;
    return uiServices().startProgram(commandLine);
}

void GuiCheckHost::hangUp() {
    if (!ending())
        m_main.Command1->click();
}

void GuiCheckHost::waitWithEvents(int milliseconds) {
    WaitWithEvents(milliseconds);
}

bool GuiCheckHost::askTrust(const TrustQuestion& question) {
    if (ending())
        return false;
    const QString memo =
        QStringLiteral("%1 %2 %3").arg(int(question.kind)).arg(question.server, question.sha256.toHex());
    if (!question.byHand && m_declined.contains(memo))
        return false;
    const bool yes = messageBoxes().show(question.text, MsgButtons::YesNoDefaultNo, MsgIcon::Exclamation,
                                         QStringLiteral(u"セキュリティの確認")) == MsgResult::Yes;
    if (!yes)
        m_declined.insert(memo);
    return yes;
}

void GuiCheckHost::tellUnjudged(const QList<std::pair<int, QString>>& messages) {
    if (ending() || messages.isEmpty())
        return;
    QString text = QStringLiteral(u"次のメール（%1件）は読み込めなかったため判定できませんでした。"
                                  u"削除せずに新着として残しています。")
                       .arg(messages.size());
    for (qsizetype i = 0; i < messages.size() && i < kUnjudgedNamedInBox; ++i)
        text += QStringLiteral(u"\nメール %1: %2").arg(messages[i].first).arg(messages[i].second);
    if (messages.size() > kUnjudgedNamedInBox)
        text += QStringLiteral(u"\nほか %1件").arg(messages.size() - kUnjudgedNamedInBox);
    messageBoxes().show(text, MsgButtons::Ok, MsgIcon::Exclamation, QString());
}

} // namespace brindle
