#pragma once
#include <QByteArray>
#include <QString>

namespace brindle {

// The address of the first mailbox of a From field's raw value: "Name <a@b>", a bare a@b, quoted or
// encoded display names, comments, group syntax ("Friends: a@b, c@d;"). When no address can be
// found, the decoded text of the value itself, so the field can still be searched.
QString firstMailboxAddress(QByteArrayView rawValue);

} // namespace brindle
