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

// Text from a server, or from the socket and TLS layers (which quote it, certificate names included),
// made fit to show:
// - terminal escape sequences are taken out whole: CSI (ESC [ … final byte), the string sequences
//   OSC, DCS, SOS, PM and APC up to their BEL or ST (or the end of the text), the other escapes
//   ESC [intermediates] final, and the same sequences introduced by their 8-bit C1 forms;
// - the remaining C0 and C1 controls and DEL are taken out; tabs, line and page breaks become one
//   blank; the bidirectional formatting characters go too, which could show the text in another
//   order than it was sent;
// - with a password: each place where it stands as a whole word, and whatever follows an echo of
//   our own "PASS " command, becomes kPasswordMask;
// - the ends are trimmed and the text is cut to maxChars characters, the last an ellipsis.
QString sanitizeServerText(QStringView text, const QString& password = QString(),
                           qsizetype maxChars = kMaxServerTextChars);

} // namespace brindle
