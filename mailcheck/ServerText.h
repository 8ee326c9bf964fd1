#pragma once
// What a server says goes to a message box or to a terminal only through sanitizeServerText.
#include <QString>
#include <QStringView>

namespace brindle {

// A server's reason is a line, rarely over a hundred characters. Anything longer is cut here, so that
// a server cannot fill a message box or a terminal with text of its choosing.
inline constexpr qsizetype kMaxServerTextChars = 160;

// What stands in the place of the password.
inline constexpr char16_t kPasswordMask[] = u"***";
// A password this long is masked wherever it stands, in any letter case, glued to other words or
// encoded; a shorter one only where it is a whole word, since three letters are often part of the
// server's own words.
inline constexpr qsizetype kMinPasswordCharsAnywhere = 4;

// Text from a server, or from the socket and TLS layers (which quote it, certificate names included),
// made fit to show:
// - terminal escape sequences are taken out whole: CSI (ESC [ … final byte), the string sequences
//   OSC, DCS, SOS, PM and APC up to their BEL or ST (or the end of the text), the other escapes
//   ESC [intermediates] final, and the same sequences introduced by their 8-bit C1 forms;
// - the remaining C0 and C1 controls and DEL are taken out; tabs, line and page breaks become one
//   blank; the bidirectional formatting characters go too, which could show the text in another
//   order than it was sent;
// - with a password: whatever follows an echo of our own "PASS " command becomes kPasswordMask, and
//   so does the password itself: one of kMinPasswordCharsAnywhere characters or more wherever it
//   stands in any letter case, in base64 (alone, as "user:password", as SASL PLAIN's
//   "\0user\0password", padded or not, and inside a longer base64 run) and percent-encoded (every
//   byte, or the reserved ones only); a shorter one where it stands as a whole word. Masks that
//   touch become one;
// - the ends are trimmed and the text is cut to maxChars characters, the last an ellipsis.
// user: the account's name, for the encoded "user:password" forms.
QString sanitizeServerText(QStringView text, const QString& password = QString(),
                           qsizetype maxChars = kMaxServerTextChars, const QString& user = QString());

} // namespace brindle
