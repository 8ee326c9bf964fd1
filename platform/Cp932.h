#pragma once
#include "platform/Iconv.h"

#include <optional>
#include <QByteArray>
#include <QString>

namespace brindle {

// Code page 932 (Windows Shift_JIS): the program's one codec for its files (settings, keywords),
// the server's words and the Shift_JIS of mail.

// The first byte of a two-byte character.
bool isCp932LeadByte(unsigned char b);
// A byte that may follow a lead byte.
bool isCp932TrailByte(unsigned char b);

// A character it cannot hold becomes one "?" byte, as the platform's ANSI conversion does.
QByteArray toCp932(QStringView text);

// The one policy for bad bytes: every unreadable character becomes one U+FFFD. A lead byte followed
// by a trail byte is always one character, readable or not, so one bad character never shifts the
// pairs after it; any other bad byte is one character by itself. Never drops the rest of the text.
QString fromCp932(QByteArrayView bytes);
// nullopt on the first unreadable or truncated character.
std::optional<QString> fromCp932Strict(QByteArrayView bytes);
// The length of the unreadable character at p (left >= 1 bytes) under that policy.
qsizetype cp932UnreadableLength(const unsigned char* p, qsizetype left);
// The table both read through (see IconvTable), remapped; nullptr when iconv lacks code page 932
// or reads it otherwise than as one or two bytes a character.
const IconvTable* cp932Table(IconvTable::Remap remap = nullptr);

// True when every character of text survives a round trip through code page 932.
bool cp932CanEncode(QStringView text);

// Length in bytes of text in code page 932.
qsizetype cp932Length(QStringView text);

// Cuts text so that it takes at most maxBytes in code page 932, never inside a character (nor
// between the halves of a surrogate pair).
QString cutToCp932Bytes(const QString& text, qsizetype maxBytes);

} // namespace brindle
