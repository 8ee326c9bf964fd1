#include "mailcheck/mime/MimeAddress.h"

#include "mailcheck/mime/Rfc2047.h"

#include <QList>

namespace brindle {

namespace {

// Comments nest; a value nested deeper than this is garbage, read as text.
constexpr int kMaxCommentDepth = 64;

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

QByteArrayView trimmed(QByteArrayView s) {
    while (!s.isEmpty() && isBlank(s.front()))
        s = s.sliced(1);
    while (!s.isEmpty() && isBlank(s.back()))
        s.chop(1);
    return s;
}

// The value without comments and line breaks; quoted strings kept as written. Empty when the
// structure is broken (unclosed quote or comment), so that the caller falls back to a plain search.
QByteArray withoutComments(QByteArrayView v, bool* ok) {
    QByteArray out;
    out.reserve(v.size());
    int depth = 0;
    bool quoted = false;
    *ok = true;
    for (qsizetype i = 0; i < v.size(); ++i) {
        const char c = v[i];
        if (c == '\r' || c == '\n')
            continue;
        if (quoted) {
            out += c;
            if (c == '\\' && i + 1 < v.size())
                out += v[++i];
            else if (c == '"')
                quoted = false;
            continue;
        }
        if (depth > 0) {
            if (c == '\\')
                ++i;
            else if (c == '(')
                ++depth;
            else if (c == ')')
                --depth;
            if (depth > kMaxCommentDepth) {
                *ok = false;
                return {};
            }
            continue;
        }
        if (c == '(') {
            depth = 1;
            out += ' ';
            continue;
        }
        if (c == '"')
            quoted = true;
        out += c;
    }
    if (quoted || depth > 0)
        *ok = false;
    return out;
}

// Splits at the separator outside quoted strings and angle brackets.
QList<QByteArrayView> splitOutside(QByteArrayView s, char sep) {
    QList<QByteArrayView> parts;
    bool quoted = false;
    bool angle = false;
    qsizetype start = 0;
    for (qsizetype i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (quoted) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                quoted = false;
        } else if (c == '"') {
            quoted = true;
        } else if (c == '<') {
            angle = true;
        } else if (c == '>') {
            angle = false;
        } else if (c == sep && !angle) {
            parts.append(s.sliced(start, i - start));
            start = i + 1;
        }
    }
    parts.append(s.sliced(start));
    return parts;
}

qsizetype indexOutsideQuotes(QByteArrayView s, char wanted) {
    bool quoted = false;
    for (qsizetype i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (quoted) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                quoted = false;
        } else if (c == '"') {
            quoted = true;
        } else if (c == wanted) {
            return i;
        }
    }
    return -1;
}

// "<@route,@route:local@domain>" or "<local@domain>": the address inside.
QByteArrayView angleAddress(QByteArrayView inside) {
    inside = trimmed(inside);
    if (inside.startsWith('@')) {
        const qsizetype colon = inside.indexOf(':');
        if (colon >= 0)
            inside = inside.sliced(colon + 1);
    }
    return trimmed(inside);
}

// The blank-separated word that holds the "@".
QByteArrayView wordWithAt(QByteArrayView s) {
    const qsizetype at = s.indexOf('@');
    if (at < 0)
        return {};
    auto stop = [](char c) {
        return isBlank(c) || c == '<' || c == '>' || c == ',' || c == ';' || c == '(' || c == ')' || c == '"';
    };
    qsizetype b = at, e = at + 1;
    while (b > 0 && !stop(s[b - 1]))
        --b;
    while (e < s.size() && !stop(s[e]))
        ++e;
    return s.sliced(b, e - b);
}

QByteArrayView mailboxAddress(QByteArrayView mailbox) {
    mailbox = trimmed(mailbox);
    const qsizetype lt = indexOutsideQuotes(mailbox, '<');
    if (lt >= 0) {
        const qsizetype gt = mailbox.indexOf('>', lt + 1);
        const QByteArrayView addr =
            angleAddress(mailbox.sliced(lt + 1, (gt < 0 ? mailbox.size() : gt) - lt - 1));
        // Blanks or another "<" inside: the brackets are broken, the caller searches instead.
        for (char c : addr)
            if (isBlank(c) || c == '<')
                return {};
        return addr;
    }
    if (indexOutsideQuotes(mailbox, '"') >= 0 && indexOutsideQuotes(mailbox, '@') < 0)
        return {};  // a quoted name alone
    return mailbox; // a bare address (or a bare local name such as "root")
}

QByteArray structuredAddress(QByteArrayView value) {
    bool ok = false;
    const QByteArray clean = withoutComments(value, &ok);
    if (!ok)
        return {};
    QByteArrayView list = clean;
    // Group syntax: "Name: members;" — the colon stands before any mailbox.
    const qsizetype colon = indexOutsideQuotes(list, ':');
    const qsizetype lt = indexOutsideQuotes(list, '<');
    const qsizetype at = indexOutsideQuotes(list, '@');
    if (colon >= 0 && (lt < 0 || colon < lt) && (at < 0 || colon < at)) {
        list = list.sliced(colon + 1);
        const qsizetype semi = indexOutsideQuotes(list, ';');
        if (semi >= 0)
            list = list.first(semi);
    }
    for (QByteArrayView mailbox : splitOutside(list, ',')) {
        const QByteArrayView addr = mailboxAddress(mailbox);
        if (!addr.isEmpty())
            return addr.toByteArray();
    }
    return {};
}

// For values whose quoting is broken (raw Shift_JIS names can end in a backslash byte): the first
// "<...@...>", else the first word holding an "@".
QByteArray searchedAddress(QByteArrayView value) {
    // Each ">" pairs with the last "<" before it since the previous ">": one pass, however many
    // unmatched brackets a hostile value holds.
    qsizetype from = 0;
    for (qsizetype gt = value.indexOf('>'); gt >= 0; gt = value.indexOf('>', from)) {
        const qsizetype lt = value.sliced(from, gt - from).lastIndexOf('<');
        if (lt >= 0) {
            const QByteArrayView inside = angleAddress(value.sliced(from + lt + 1, gt - from - lt - 1));
            if (inside.contains('@'))
                return inside.toByteArray();
        }
        from = gt + 1;
    }
    return wordWithAt(value).toByteArray();
}

} // namespace

QString firstMailboxAddress(QByteArrayView rawValue) {
    QByteArray addr = structuredAddress(rawValue);
    if (addr.isEmpty() || (!addr.contains('@') && rawValue.contains('@')))
        addr = searchedAddress(rawValue);
    if (!addr.isEmpty())
        return decodeHeaderText(addr, true);
    // No address at all: the text, so that a keyword can still find the sender.
    const QString text = decodeHeaderText(rawValue, true);
    qsizetype b = 0, e = text.size();
    while (b < e && (text[b] == u' ' || text[b] == u'\t'))
        ++b;
    while (e > b && (text[e - 1] == u' ' || text[e - 1] == u'\t'))
        --e;
    return text.sliced(b, e - b);
}

} // namespace brindle
