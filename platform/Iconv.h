#pragma once
// The program's one wrapper of iconv: converters opened once per thread and charset, decoding to
// UTF-16 with a caller's rule for what one unreadable character spans, and encoding from UTF-16
// with a replacement byte.
#include <functional>
#include <optional>
#include <QByteArray>
#include <QString>

namespace brindle {

// How many bytes the unreadable character at p (of `left` bytes, left >= 1) takes, so that lenient
// decoding skips it whole and the characters after it stay in step.
using UnreadableLength = std::function<qsizetype(const unsigned char* p, qsizetype left)>;

// Decodes bytes in the charset iconv knows by `charset`. strict: nullopt on the first invalid or
// truncated sequence; otherwise every unreadable character becomes one U+FFFD and a truncated
// sequence at the end one more. nullopt also when iconv does not know the charset.
std::optional<QString> iconvDecode(const QByteArray& charset, QByteArrayView bytes, bool strict,
                                   const UnreadableLength& unreadable);

// Encodes text into `charset`; a character it cannot hold (or a lone surrogate) becomes the one
// byte `replacement`, a surrogate pair being one character. Without a converter for the charset
// only the ASCII part is kept, the rest replaced.
QByteArray iconvEncode(const QByteArray& charset, QStringView text, char replacement);

} // namespace brindle
