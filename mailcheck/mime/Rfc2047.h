#pragma once
#include <QByteArray>
#include <QString>

namespace brindle {

// Decodes the text of a header field as it came off the wire: RFC 2047 encoded-words (B and Q, any
// charset) and raw 8-bit bytes, whose charset is guessed once for the whole text. Encoded-words
// separated only by blanks and line breaks are joined; when they share a charset their bytes are
// joined before the charset is applied, so a character split across two words decodes. Malformed
// words (a missing "?=", broken base64) are decoded as far as they go.
// unfold: drop the line breaks of folded lines; otherwise line breaks outside encoded-words stay.
QString decodeHeaderText(QByteArrayView raw, bool unfold);

} // namespace brindle
