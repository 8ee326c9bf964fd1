#pragma once
// A CheckHost of plain fields that records every effect the run asks for.
#include "mailcheck/CheckHost.h"

#include <functional>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>

namespace brindle::testing {

class FakeHost : public CheckHost {
public:
    struct Box {
        QString text;
        QString caption;
    };
    struct Highlight {
        Field field;
        int start;
        int length;
        QString selected; // the text the selection covers at the time
    };

    QMap<Field, QString> fields;
    QSet<RuleSwitch> rules;
    bool noticeBoard = false;
    bool mailer = false;
    bool autoClose = false;
    bool hangUpAsked = false;
    bool mailerStarts = true;

    QList<Box> boxes;
    QList<Highlight> highlights;
    QList<QPair<QString, QString>> noticeBoards; // text, count
    int unloads = 0;
    int setFormShown = 0;
    int hangUps = 0;
    QStringList mailerCommands;
    QList<int> waits;
    QList<QPair<int, QString>> announcements;
    QPair<QString, QString> accountBoxes;
    // A host nobody watches (brindle-check): deletions may be announced a little late.
    bool announceLate = false;
    // Called inside every message box, as window events would run there.
    std::function<void()> duringBox;

    QString text(Field f) const override { return fields.value(f); }
    void setText(Field f, const QString& value) override { fields[f] = value; }
    void highlight(Field f, int start, int length) override {
        highlights.append({f, start, length, fields.value(f).mid(start, length)});
    }
    bool ruleSelected(RuleSwitch s) const override { return rules.contains(s); }
    bool noticeBoardChosen() const override { return noticeBoard; }
    bool mailerChosen() const override { return mailer; }
    bool autoCloseNoticeBoard() const override { return autoClose; }
    bool hangUpAfterCheck() const override { return hangUpAsked; }
    void setAccountBoxes(const QString& id, const QString& password) override {
        accountBoxes = {id, password};
    }
    MsgResult messageBox(const QString& text, MsgButtons, MsgIcon, const QString& caption) override {
        boxes.append({text, caption});
        if (duringBox) {
            duringBox();
        }
        return MsgResult::Ok;
    }
    void showSetForm() override { ++setFormShown; }
    void showNoticeBoard(const QString& text, const QString& count) override {
        noticeBoards.append({text, count});
    }
    void unloadNoticeBoard() override { ++unloads; }
    bool startMailer(const QString& commandLine) override {
        mailerCommands.append(commandLine);
        return mailerStarts;
    }
    void hangUp() override { ++hangUps; }
    void waitWithEvents(int milliseconds) override { waits.append(milliseconds); }
    void announceDeletion(int number, const QString& ruleWord) override {
        announcements.append({number, ruleWord});
        CheckHost::announceDeletion(number, ruleWord); // the one-word box
    }

    bool deletionsMayBeAnnouncedLate() const override { return announceLate; }

    // The announcements as "number:word".
    QStringList announced() const {
        QStringList out;
        for (const auto& a : announcements) {
            out << QStringLiteral("%1:%2").arg(a.first).arg(a.second);
        }
        return out;
    }
    // Boxes other than the one-word announcements.
    QList<Box> otherBoxes() const {
        QList<Box> out;
        for (const Box& b : boxes) {
            bool announcement = false;
            for (const auto& a : announcements) {
                announcement = announcement || (b.text == a.second && b.caption.isEmpty());
            }
            if (!announcement) {
                out.append(b);
            }
        }
        return out;
    }
};

} // namespace brindle::testing
