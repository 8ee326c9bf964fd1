#pragma once
#include <QByteArray>
#include <QString>

namespace brindle {

// Code page 932 (Windows Shift_JIS). A character it cannot hold becomes one "?" byte, as the
// platform's ANSI conversion does.
QByteArray toCp932(QStringView text);

// Invalid or truncated sequences become U+FFFD; never throws, never drops the rest of the text.
QString fromCp932(QByteArrayView bytes);

// True when every character of text survives a round trip through code page 932.
bool cp932CanEncode(QStringView text);

// Length in bytes of text in code page 932.
qsizetype cp932Length(QStringView text);

} // namespace brindle
