#pragma once
#include <QByteArray>

namespace brindle {

// Base64 as mailers really write it: whitespace and invalid characters are skipped, and "=" padding
// ends only the current 4-character group, so a body that pads in the middle (line by line encoders)
// decodes completely. A dangling group of two or three characters still yields its bytes.
QByteArray decodeBase64Lenient(QByteArrayView text);

// Quoted-printable: "=XX" escapes and soft line breaks ("=" at the end of a line, trailing blanks
// allowed). An escape that is not valid stays as written. With underscoreIsSpace (the RFC 2047
// "Q" encoding) "_" stands for a space.
QByteArray decodeQuotedPrintable(QByteArrayView text, bool underscoreIsSpace = false);

} // namespace brindle
