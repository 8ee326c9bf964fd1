#pragma once
// Every sentence a check says to the user, built from the typed values the core hands over: its
// failures (MailError), its notices (CheckNotice), its questions of trust and its unjudged messages.
#include "mailcheck/CheckHost.h"
#include "platform/MessageBox.h"

#include <QList>
#include <QString>

namespace brindle {

// A box as the windows show it.
struct NoticeBox {
    QString text;
    MsgButtons buttons = MsgButtons::Ok;
    MsgIcon icon = MsgIcon::None;
    QString caption; // empty: the application's title
};

// Why the mail library failed, in one sentence (the server's words in it are sanitized already).
QString failureSentence(const MailError& error);

// The box of a notice of the run.
NoticeBox noticeBox(const CheckNotice& notice);

// The box of a question of trust: its reasons and the certificate's facts, answered yes or no.
NoticeBox trustQuestionBox(const CheckHost::TrustQuestion& question);

// Why a message could not be judged: one line, sanitized and at most kUnjudgedReasonMaxChars long.
QString unjudgedReason(const MailError& error);

// The box that lists the messages a check could not judge. It names at most kUnjudgedNamedInBox,
// and counts the rest: a mailbox whose server fails on every message would otherwise fill the screen.
inline constexpr qsizetype kUnjudgedNamedInBox = 10;
QString unjudgedBoxText(const QList<UnjudgedMessage>& messages);

// The notice board's line above the count of new mail.
QString noticeBoardText();

} // namespace brindle
