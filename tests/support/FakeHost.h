#pragma once
// A CheckHost of plain fields that records every effect the run asks for.
#include "mailcheck/CheckHost.h"
#include "platform/NumberText.h"
#include "ui/texts/CheckTexts.h"

#include <functional>
#include <QList>
#include <QMap>
#include <QSet>
#include <QStringList>

namespace brindle::testing {

class FakeHost : public CheckHost {
public:
    struct Highlight {
        Field field;
        QString selected; // the text the selection covers at the time
    };

    QMap<Field, QString> fields;
    QSet<RuleSwitch> rules;
    bool noticeBoard = false;
    bool mailer = false;
    bool autoClose = false;
    bool hangUpAsked = false;
    bool mailerStarts = true;
    std::function<void()> duringBox; // runs inside every box and announcement, as window events would

    QStringList boxes;         // texts of the boxes other than the announcements
    QStringList announcements; // "number:word"
    QList<Highlight> highlights;
    QStringList noticeBoards; // the counts shown
    QStringList mailerCommands;
    QList<int> waits;
    QPair<QString, QString> accountBoxes;
    int unloads = 0;
    int setFormShown = 0;
    int hangUps = 0;

    QString text(Field f) const override { return fields.value(f); }
    void setText(Field f, const QString& value) override { fields[f] = value; }
    void highlight(Field f, int at, int n) override { highlights.append({f, fields.value(f).mid(at, n)}); }
    bool ruleSelected(RuleSwitch s) const override { return rules.contains(s); }
    bool noticeBoardChosen() const override { return noticeBoard; }
    bool mailerChosen() const override { return mailer; }
    bool autoCloseNoticeBoard() const override { return autoClose; }
    bool hangUpAfterCheck() const override { return hangUpAsked; }
    void setAccountBoxes(const QString& id, const QString& pw) override { accountBoxes = {id, pw}; }
    MsgResult tell(const CheckNotice& notice) override {
        boxes.append(noticeBox(notice).text);
        duringBox ? duringBox() : void();
        return MsgResult::Ok;
    }
    void showSetForm() override { ++setFormShown; }
    void showNoticeBoard(int newMail) override { noticeBoards.append(shortestDecimal(newMail)); }
    void unloadNoticeBoard() override { ++unloads; }
    bool startMailer(const QString& line) override { return mailerCommands << line, mailerStarts; }
    void hangUp() override { ++hangUps; }
    Task<void> pause(int milliseconds) override {
        waits.append(milliseconds);
        co_return;
    }
    void announceDeletion(int number, const QString& ruleWord) override {
        announcements.append(QStringLiteral("%1:%2").arg(number).arg(ruleWord));
        duringBox ? duringBox() : void();
    }
    // As the windows: every box and announcement comes at the event loop's next turn.
    bool boxesLater = false;
    Task<MsgResult> showNotice(CheckNotice notice) override {
        if (boxesLater)
            co_await nextTurn();
        co_return tell(notice);
    }
    Task<void> showDeletion(int number, QString ruleWord) override {
        if (boxesLater)
            co_await nextTurn();
        announceDeletion(number, ruleWord);
    }
    bool lateAnnouncements = false; // as brindle-check: nobody waits for a box per deletion
    bool deletionsMayBeAnnouncedLate() const override { return lateAnnouncements; }
    std::function<void(int)> duringProgress; // runs at each message, as window events would
    void progress(int n, int) override { duringProgress ? duringProgress(n) : void(); }
    QList<std::pair<int, QString>> unjudged; // what tellUnjudged was told, once per check
    void tellUnjudged(const QList<UnjudgedMessage>& messages) override {
        for (const UnjudgedMessage& m : messages)
            unjudged.append({m.number, unjudgedReason(m.error)});
    }
    bool trusting = false; // the answer to every question of trust
    QList<TrustQuestion> questions;
    bool askTrust(const TrustQuestion& question) override { return questions << question, trusting; }
};

} // namespace brindle::testing
