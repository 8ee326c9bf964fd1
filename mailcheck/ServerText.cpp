#include "mailcheck/ServerText.h"

#include "platform/Cp932.h"

#include <algorithm>
#include <QList>

namespace brindle {

namespace {

constexpr char16_t kBel = 0x07;
constexpr char16_t kEsc = 0x1B;
constexpr char16_t kCsi8 = 0x9B; // the 8-bit form of ESC [
constexpr char16_t kSt8 = 0x9C;  // the 8-bit form of ESC backslash
constexpr QStringView kPassCommand = u"PASS ";

bool inRange(char16_t c, char16_t low, char16_t high) {
    return c >= low && c <= high;
}

bool isControl(char16_t c) {
    return c < 0x20 || inRange(c, 0x7F, 0x9F);
}

// Controls and separators that end a line or move across it: shown as a blank, so that the words on
// either side stay apart.
bool isBreak(char16_t c) {
    return inRange(c, 0x09, 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

// Unicode's Bidi_Control characters: embeddings, overrides, isolates and the marks.
bool isBidiControl(char16_t c) {
    return c == 0x061C || c == 0x200E || c == 0x200F || inRange(c, 0x202A, 0x202E) ||
           inRange(c, 0x2066, 0x2069);
}

// ESC P (DCS), ESC X (SOS), ESC ] (OSC), ESC ^ (PM), ESC _ (APC) and their 8-bit forms open a string
// that runs to its terminator.
bool opensString(char16_t afterEsc) {
    return afterEsc == u'P' || afterEsc == u'X' || afterEsc == u']' || afterEsc == u'^' || afterEsc == u'_';
}
bool opensString8(char16_t c) {
    return c == 0x90 || c == 0x98 || c == 0x9D || c == 0x9E || c == 0x9F;
}

// From just after a CSI introducer: parameter bytes, intermediate bytes, one final byte. A sequence
// broken off by anything else ends there, and that character stays.
qsizetype skipCsi(QStringView t, qsizetype i) {
    while (i < t.size() && inRange(t[i].unicode(), 0x30, 0x3F))
        ++i;
    while (i < t.size() && inRange(t[i].unicode(), 0x20, 0x2F))
        ++i;
    if (i < t.size() && inRange(t[i].unicode(), 0x40, 0x7E))
        ++i;
    return i;
}

// From just after a string introducer to just after its BEL or ST; an unterminated string runs to the
// end of the text, as a terminal would swallow it.
qsizetype skipString(QStringView t, qsizetype i) {
    for (; i < t.size(); ++i) {
        const char16_t c = t[i].unicode();
        if (c == kBel || c == kSt8)
            return i + 1;
        if (c == kEsc && i + 1 < t.size() && t[i + 1] == u'\\')
            return i + 2;
    }
    return i;
}

// From just after an ESC.
qsizetype skipEscape(QStringView t, qsizetype i) {
    if (i >= t.size())
        return i;
    const char16_t c = t[i].unicode();
    if (c == u'[')
        return skipCsi(t, i + 1);
    if (opensString(c))
        return skipString(t, i + 1);
    while (i < t.size() && inRange(t[i].unicode(), 0x20, 0x2F))
        ++i;
    if (i < t.size() && inRange(t[i].unicode(), 0x30, 0x7E))
        ++i;
    return i;
}

QString stripControls(QStringView t) {
    QString out;
    out.reserve(t.size());
    qsizetype i = 0;
    while (i < t.size()) {
        const char16_t c = t[i].unicode();
        if (c == kEsc) {
            i = skipEscape(t, i + 1);
            continue;
        }
        if (c == kCsi8) {
            i = skipCsi(t, i + 1);
            continue;
        }
        if (opensString8(c)) {
            i = skipString(t, i + 1);
            continue;
        }
        ++i;
        if (isBreak(c)) {
            if (!out.endsWith(u' '))
                out += u' ';
        } else if (!isControl(c) && !isBidiControl(c)) {
            out += QChar(c);
        }
    }
    return out;
}

char32_t pointAt(QStringView t, qsizetype i) {
    if (i >= t.size())
        return 0;
    if (t[i].isHighSurrogate() && i + 1 < t.size() && t[i + 1].isLowSurrogate())
        return QChar::surrogateToUcs4(t[i], t[i + 1]);
    return t[i].unicode();
}

char32_t pointBefore(QStringView t, qsizetype i) {
    if (i <= 0)
        return 0;
    if (t[i - 1].isLowSurrogate() && i >= 2 && t[i - 2].isHighSurrogate())
        return QChar::surrogateToUcs4(t[i - 2], t[i - 1]);
    return t[i - 1].unicode();
}

// Japanese (and Chinese) is written without blanks between words, so no word can be told there:
// such a character ends a word on either side of it.
bool isUnspaced(char32_t c) {
    const QChar::Script s = QChar::script(c);
    return s == QChar::Script_Han || s == QChar::Script_Hiragana || s == QChar::Script_Katakana ||
           (c >= 0x3000 && c <= 0x30FF) || (c >= 0xFF61 && c <= 0xFF9F);
}

// A character of a word in a script written with blanks between words: letters, digits, marks, "_".
bool isWordCharacter(char32_t c) {
    if (c == u'_')
        return true;
    return (QChar::isLetterOrNumber(c) || QChar::isMark(c)) && !isUnspaced(c);
}

// Two neighbours belong to one word.
bool joined(char32_t a, char32_t b) {
    return isWordCharacter(a) && isWordCharacter(b);
}

bool wholeWordAt(QStringView t, qsizetype i, QStringView word) {
    const qsizetype end = i + word.size();
    return t.sliced(i).startsWith(word) && !joined(pointBefore(t, i), pointAt(word, 0)) &&
           !joined(pointBefore(word, word.size()), pointAt(t, end));
}

// The length of what follows an echo of our "PASS " command at i, 0 when there is none. The echo is
// of what we sent, in capitals: "pass " in lower case is more often a word of the server's prose. The
// password when it stands there whole; else the longer of the part of it that does and the text up
// to the next blank (an echo the server cut or changed).
qsizetype echoedPasswordAt(QStringView t, qsizetype i, QStringView password) {
    if (!t.sliced(i).startsWith(kPassCommand) || joined(pointBefore(t, i), u'P'))
        return 0;
    const qsizetype from = i + kPassCommand.size();
    const QStringView rest = t.sliced(from);
    qsizetype same = 0;
    while (same < rest.size() && same < password.size() && rest[same] == password[same])
        ++same;
    if (same == password.size())
        return same;
    qsizetype word = 0;
    while (word < rest.size() && !rest[word].isSpace())
        ++word;
    return std::max(same, word);
}

// The forms a password takes when a server quotes what it was sent, or a TLS or socket layer quotes
// a URL. Matched case-insensitively unless exact.
struct Needle {
    QString text;
    bool exact = false;
};

void addBase64(QList<Needle>& out, const QByteArray& bytes) {
    const QByteArray padded = bytes.toBase64();
    out.append({QString::fromLatin1(padded), true});
    out.append({QString::fromLatin1(bytes.toBase64(QByteArray::OmitTrailingEquals)), true});
}

// The characters of base64 that only the password's bytes decide, for each of the three places it
// may start within a group of three bytes of a longer run: the characters shared with the bytes
// before and after it are left out.
void addBase64Inside(QList<Needle>& out, const QByteArray& bytes) {
    for (int shift = 0; shift < 3; ++shift) {
        const QByteArray encoded = (QByteArray(shift, '\0') + bytes).toBase64();
        const qsizetype from = (shift * 8 + 5) / 6;
        const qsizetype to = (shift + bytes.size()) * 8 / 6;
        if (to > from)
            out.append({QString::fromLatin1(encoded.mid(from, to - from)), true});
    }
}

// Every byte as %XX, and only the bytes RFC 3986 reserves (the unreserved ones as they are).
void addPercent(QList<Needle>& out, const QByteArray& bytes) {
    out.append({QString::fromLatin1(bytes.toPercentEncoding({}, bytes)), false});
    out.append({QString::fromLatin1(bytes.toPercentEncoding()), false});
}

QList<Needle> needlesFor(const QString& password, const QString& user) {
    QList<Needle> out{{password, false}};
    // The bytes sent: code page 932 where it holds the text, UTF-8 otherwise; both, to be sure.
    QList<QByteArray> encodings{password.toUtf8()};
    if (cp932CanEncode(password) && toCp932(password) != encodings.first())
        encodings.append(toCp932(password));
    QList<QByteArray> users{user.toUtf8()};
    if (cp932CanEncode(user) && toCp932(user) != users.first())
        users.append(toCp932(user));
    for (const QByteArray& bytes : std::as_const(encodings)) {
        addBase64(out, bytes);
        addBase64Inside(out, bytes);
        addPercent(out, bytes);
        if (user.isEmpty())
            continue;
        for (const QByteArray& u : users) {
            addBase64(out, u + ':' + bytes);         // HTTP Basic
            addBase64(out, '\0' + u + '\0' + bytes); // SASL PLAIN (RFC 4616)
        }
    }
    return out;
}

QString maskPassword(QStringView t, const QString& password, const QString& user) {
    QList<bool> hidden(t.size(), false);
    auto hide = [&](qsizetype from, qsizetype n) {
        std::fill(hidden.begin() + from, hidden.begin() + qMin(from + n, t.size()), true);
    };
    for (qsizetype i = 0; i < t.size(); ++i) {
        if (const qsizetype echoed = echoedPasswordAt(t, i, password))
            hide(i + kPassCommand.size(), echoed);
    }
    if (password.size() >= kMinPasswordCharsAnywhere) {
        for (const Needle& n : needlesFor(password, user)) {
            const Qt::CaseSensitivity cs = n.exact ? Qt::CaseSensitive : Qt::CaseInsensitive;
            for (qsizetype at = t.indexOf(n.text, 0, cs); at >= 0; at = t.indexOf(n.text, at + 1, cs))
                hide(at, n.text.size());
        }
    } else {
        for (qsizetype i = 0; i < t.size(); ++i) {
            if (wholeWordAt(t, i, password))
                hide(i, password.size());
        }
    }
    QString out;
    out.reserve(t.size());
    for (qsizetype i = 0; i < t.size(); ++i) {
        if (!hidden[i])
            out += t[i];
        else if (i == 0 || !hidden[i - 1])
            out += QStringView(kPasswordMask);
    }
    return out;
}

// At most maxChars code points, the last an ellipsis when the text was longer.
QString capped(QString s, qsizetype maxChars) {
    if (maxChars <= 0)
        return QString();
    qsizetype points = 0;
    qsizetype keep = 0; // units of the first maxChars - 1 code points
    for (qsizetype u = 0; u < s.size(); ++points) {
        if (points == maxChars - 1)
            keep = u;
        if (points == maxChars) {
            s.truncate(keep);
            while (s.endsWith(u' '))
                s.chop(1);
            return s + QChar(0x2026);
        }
        u += (s[u].isHighSurrogate() && u + 1 < s.size() && s[u + 1].isLowSurrogate()) ? 2 : 1;
    }
    return s;
}

} // namespace

QString sanitizeServerText(QStringView text, const QString& password, qsizetype maxChars,
                           const QString& user) {
    QString s = stripControls(text).trimmed();
    if (!password.isEmpty())
        s = maskPassword(s, password, user);
    return capped(std::move(s), maxChars);
}

} // namespace brindle
