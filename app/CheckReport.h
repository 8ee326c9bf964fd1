#pragma once
// What brindle-check says on standard error of a check: its notices, its questions of trust and the
// messages it could not judge, one line each, from the typed values the check hands over.
#include "mailcheck/CheckHost.h"

#include <QString>
#include <QStringList>

namespace brindle {

// One line of our own message, whose server words the mail library has bounded already.
QString oneLine(QString text);

// A notice as the windows' box would say it, its caption first.
QString noticeLine(const CheckNotice& notice);

// A question of trust nobody can answer here: its reasons, then the option that gives the agreement.
QStringList trustLines(const CheckHost::TrustQuestion& question);

// A message the check could not judge, and why.
QString unjudgedLine(const UnjudgedMessage& message);

} // namespace brindle
