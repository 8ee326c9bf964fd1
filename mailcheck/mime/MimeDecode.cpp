#include "mailcheck/mime/MimeDecode.h"

#include "mailcheck/mime/Charset.h"
#include "mailcheck/mime/MimeAddress.h"
#include "mailcheck/mime/Rfc2047.h"
#include "mailcheck/mime/TransferDecode.h"

#include <array>
#include <cstring>
#include <gmime/gmime.h>
#include <mutex>
#include <optional>

namespace brindle {

namespace {

// Limits on what a message may make us do. Mail is untrusted input and a check must finish.
// Nesting beyond this is no longer a mail anybody reads, only an attempt to exhaust the stack.
constexpr int kMaxNestingDepth = 32;
// Parts visited per message; real mail has a handful, a thousand covers any newsletter.
constexpr int kMaxParts = 1000;
// Raw bytes of text parts decoded per message; keyword search over more is pointless and slow.
constexpr qsizetype kMaxDecodedBytes = 32 * 1024 * 1024;
// Longest Content-Type or Content-Disposition value handed to the parameter parser. Its cost grows
// faster than the length (a 128 KB value takes seconds); real values are well under this, and the
// parameters that matter (boundary, charset, name) come first.
constexpr qsizetype kMaxParsedFieldLength = 1024;
// The largest header block kept for a second decoding of the same message: genuine headers are a
// few kilobytes, and a larger one is not held twice in memory to save its decoding.
constexpr qsizetype kMaxKeptHeaderBytes = 64 * 1024;

void initGMime() {
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

bool isLineBlank(char c) {
    return c == ' ' || c == '\t';
}

// Offset where the header block ends (its last line break included) and where the body begins.
struct HeaderSplit {
    qsizetype headerEnd = 0;
    qsizetype bodyStart = 0;
};

// A line that can start a header field: a name of printable characters, then a colon.
bool looksLikeField(QByteArrayView line) {
    qsizetype i = 0;
    while (i < line.size() && line[i] > ' ' && line[i] < 0x7F && line[i] != ':')
        ++i;
    if (i == 0)
        return false;
    while (i < line.size() && isLineBlank(line[i]))
        ++i;
    return i < line.size() && line[i] == ':';
}

HeaderSplit splitHeader(QByteArrayView raw, bool mayLackHeader) {
    const qsizetype n = raw.size();
    qsizetype pos = 0;
    while (pos < n) {
        qsizetype eol = raw.indexOf('\n', pos);
        const qsizetype next = eol < 0 ? n : eol + 1;
        QByteArrayView line = raw.sliced(pos, (eol < 0 ? n : eol) - pos);
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty())
            return {pos, next};
        // Text that does not start with a field has no header block at all (an mbox "From " line
        // aside).
        if (pos == 0 && mayLackHeader && !looksLikeField(line) && !line.startsWith("From "))
            return {0, 0};
        pos = next;
    }
    return {n, n};
}

// One field of a header block: "Name: value" with its continuation lines.
struct Field {
    QByteArrayView name;  // empty for a line that is not a field
    QByteArrayView value; // after the colon, line breaks of folding included, final line break not
    QByteArrayView whole; // the field as written, final line break included
};

template <typename F> void forEachField(QByteArrayView block, F&& f) {
    const qsizetype n = block.size();
    qsizetype pos = 0;
    while (pos < n) {
        qsizetype end = pos;
        // The field runs over every following line that starts with a blank.
        while (true) {
            const qsizetype eol = block.indexOf('\n', end);
            end = eol < 0 ? n : eol + 1;
            if (end >= n || !isLineBlank(block[end]))
                break;
        }
        Field field;
        field.whole = block.sliced(pos, end - pos);
        QByteArrayView body = field.whole;
        while (body.endsWith('\n') || body.endsWith('\r'))
            body.chop(1);
        const qsizetype colon = body.indexOf(':');
        if (colon > 0) {
            QByteArrayView name = body.first(colon);
            while (!name.isEmpty() && isLineBlank(name.back()))
                name.chop(1);
            field.name = name;
            field.value = body.sliced(colon + 1);
        }
        f(field);
        pos = end;
    }
}

QString trimmedBlanks(const QString& s) {
    qsizetype b = 0, e = s.size();
    auto blank = [](QChar c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; };
    while (b < e && blank(s[b]))
        ++b;
    while (e > b && blank(s[e - 1]))
        --e;
    return s.sliced(b, e - b);
}

// No NUL in anything we hand out: it would cut the text short for every caller that reads it as a
// C string.
void removeNul(QString& s) {
    if (s.contains(QChar(0)))
        s.remove(QChar(0));
}
// Everything we hand out: JIS variants folded, and no NUL.
void finishText(QString& s) {
    s = foldJapaneseVariants(std::move(s));
    removeNul(s);
}

bool hasNonBlank(QByteArrayView s) {
    for (char c : s)
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
            return true;
    return false;
}

enum class TransferEncoding { AsIs, Base64, QuotedPrintable };

// A part's text, folded as it is decoded.
// *mayHoldNul is set when the text may hold U+0000, and left alone when it cannot.
QString decodePartText(QByteArrayView raw, TransferEncoding encoding, const QByteArray& charset,
                       bool* mayHoldNul) {
    QByteArray decoded;
    QByteArrayView bytes = raw;
    switch (encoding) {
    case TransferEncoding::Base64:
        decoded = decodeBase64Lenient(raw);
        // Not base64 at all: the text as it stands says more than nothing.
        if (!decoded.isEmpty() || !hasNonBlank(raw))
            bytes = decoded;
        break;
    case TransferEncoding::QuotedPrintable:
        decoded = decodeQuotedPrintable(raw);
        bytes = decoded;
        break;
    case TransferEncoding::AsIs:
        break;
    }
    if ((!bytes.isEmpty() && std::memchr(bytes.data(), 0, std::size_t(bytes.size())) != nullptr) ||
        (!charset.isEmpty() && mayDecodeNulWithoutNulByte(charset)))
        *mayHoldNul = true;
    if (!charset.isEmpty())
        return decodeCharset(bytes, charset, Folding::JapaneseVariants);
    return decodeUndeclaredText(bytes, Folding::JapaneseVariants);
}

QByteArray unfoldedValue(QByteArrayView value) {
    QByteArray out;
    out.reserve(qMin(value.size(), kMaxParsedFieldLength));
    for (char c : value) {
        if (out.size() >= kMaxParsedFieldLength)
            break;
        if (c == '\r' || c == '\n')
            continue;
        // The parser reads C strings.
        out += c == '\0' ? ' ' : c;
    }
    return out.trimmed();
}

// What a part's Content-* fields say about it.
struct PartInfo {
    QByteArray type = "text"; // lower case
    QByteArray subtype = "plain";
    QByteArray boundary;
    QByteArray charset;
    QByteArray disposition; // lower case; empty when not given
    bool named = false;     // a file name in Content-Type or Content-Disposition
    TransferEncoding encoding = TransferEncoding::AsIs;
};

// Parameters the plain reading takes; a value with more goes to the library.
constexpr int kMaxPlainParameters = 8;

bool isPlainTokenChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '+';
}
bool isPlainQuotedChar(char c) {
    return c >= 0x20 && c <= 0x7E && c != '"' && c != '\\';
}

// The plain form: a type (with disposition unset, "/" and a subtype), then parameters "; name=value"
// with blanks only around the semicolons, names of token characters, each name once, values of token
// characters or quoted, within quotes printable ASCII without escapes, blanks at either end or "=?".
// nullopt for anything else.
std::optional<ContentField> readPlainContentField(QByteArrayView v, bool disposition) {
    const qsizetype n = v.size();
    qsizetype i = 0;
    auto token = [&] {
        const qsizetype start = i;
        while (i < n && isPlainTokenChar(v[i]))
            ++i;
        return v.sliced(start, i - start);
    };
    auto blanks = [&] {
        while (i < n && isLineBlank(v[i]))
            ++i;
    };
    ContentField field;
    field.read = true;
    const QByteArrayView type = token();
    if (type.isEmpty())
        return std::nullopt;
    field.type = type.toByteArray();
    if (!disposition) {
        if (i >= n || v[i] != '/')
            return std::nullopt;
        ++i;
        const QByteArrayView subtype = token();
        if (subtype.isEmpty())
            return std::nullopt;
        field.subtype = subtype.toByteArray();
    }
    std::array<QByteArrayView, kMaxPlainParameters> names;
    int count = 0;
    while (true) {
        blanks();
        if (i == n)
            return field;
        if (v[i] != ';')
            return std::nullopt;
        ++i;
        blanks();
        if (i == n)
            return field;
        const QByteArrayView name = token();
        if (name.isEmpty() || i >= n || v[i] != '=' || count == kMaxPlainParameters)
            return std::nullopt;
        for (int k = 0; k < count; ++k)
            if (names[k].compare(name, Qt::CaseInsensitive) == 0)
                return std::nullopt;
        names[count++] = name;
        ++i;
        QByteArrayView value;
        if (i < n && v[i] == '"') {
            const qsizetype start = ++i;
            while (i < n && isPlainQuotedChar(v[i]))
                ++i;
            if (i >= n || v[i] != '"')
                return std::nullopt;
            value = v.sliced(start, i - start);
            ++i;
            if (value.isEmpty() || value.front() == ' ' || value.back() == ' ' || value.contains("=?"))
                return std::nullopt;
        } else {
            value = token();
            if (value.isEmpty())
                return std::nullopt;
        }
        if (disposition) {
            field.named = field.named || name.compare("filename", Qt::CaseInsensitive) == 0;
        } else if (name.compare("boundary", Qt::CaseInsensitive) == 0) {
            field.boundary = value.toByteArray();
        } else if (name.compare("charset", Qt::CaseInsensitive) == 0) {
            field.charset = value.toByteArray();
        } else {
            field.named = field.named || name.compare("name", Qt::CaseInsensitive) == 0;
        }
    }
}

} // namespace

ContentField readContentField(QByteArrayView value, bool disposition, bool viaLibrary) {
    if (!viaLibrary) {
        if (auto plain = readPlainContentField(value, disposition))
            return std::move(*plain);
    }
    initGMime();
    // The parser reads C strings.
    const QByteArray text = value.toByteArray();
    ContentField field;
    if (disposition) {
        GMimeContentDisposition* d = g_mime_content_disposition_parse(nullptr, text.constData());
        if (!d)
            return field;
        field.read = true;
        field.type = g_mime_content_disposition_get_disposition(d);
        field.named = g_mime_content_disposition_get_parameter(d, "filename") != nullptr;
        g_object_unref(d);
        return field;
    }
    GMimeContentType* ct = g_mime_content_type_parse(nullptr, text.constData());
    if (!ct)
        return field;
    field.read = true;
    field.type = g_mime_content_type_get_media_type(ct);
    field.subtype = g_mime_content_type_get_media_subtype(ct);
    field.boundary = g_mime_content_type_get_parameter(ct, "boundary");
    field.charset = g_mime_content_type_get_parameter(ct, "charset");
    field.named = g_mime_content_type_get_parameter(ct, "name") != nullptr;
    g_object_unref(ct);
    return field;
}

namespace {

PartInfo readPartInfo(QByteArrayView headers, bool digestChild) {
    PartInfo info;
    if (digestChild) {
        info.type = "message";
        info.subtype = "rfc822";
    }
    bool haveType = false, haveDisposition = false, haveEncoding = false;
    forEachField(headers, [&](const Field& f) {
        if (!haveType && f.name.compare("Content-Type", Qt::CaseInsensitive) == 0) {
            haveType = true;
            const QByteArray value = unfoldedValue(f.value);
            ContentField ct = readContentField(value, false);
            if (!ct.read)
                return;
            // A type without "/" cannot be read; such a part is text/plain (the parser would say
            // application/octet-stream and lose it).
            const qsizetype semi = value.indexOf(';');
            if (value.first(semi < 0 ? value.size() : semi).contains('/')) {
                info.type = std::move(ct.type).toLower();
                info.subtype = std::move(ct.subtype).toLower();
            } else {
                info.type = "text";
                info.subtype = "plain";
            }
            info.boundary = std::move(ct.boundary);
            info.charset = std::move(ct.charset);
            info.named = info.named || ct.named;
        } else if (!haveDisposition && f.name.compare("Content-Disposition", Qt::CaseInsensitive) == 0) {
            haveDisposition = true;
            ContentField d = readContentField(unfoldedValue(f.value), true);
            if (!d.read)
                return;
            info.disposition = std::move(d.type).toLower();
            info.named = info.named || d.named;
        } else if (!haveEncoding && f.name.compare("Content-Transfer-Encoding", Qt::CaseInsensitive) == 0) {
            haveEncoding = true;
            QByteArray value = unfoldedValue(f.value).toLower();
            if (const qsizetype end = value.indexOf(' '); end >= 0)
                value.truncate(end);
            if (value == "base64")
                info.encoding = TransferEncoding::Base64;
            else if (value == "quoted-printable")
                info.encoding = TransferEncoding::QuotedPrintable;
        }
    });
    return info;
}

// Walks the MIME structure and collects the text a reader sees. Our own walk over the raw text:
// building the library's message objects parses every address and encoded word of every header,
// and on crafted headers that takes minutes.
class BodyBuilder {
public:
    void walkEntity(QByteArrayView entity, int depth, bool digestChild) {
        if (m_stopped)
            return;
        if (++m_parts > kMaxParts) {
            m_stopped = true;
            return;
        }
        const HeaderSplit split = splitHeader(entity, true);
        const PartInfo info = readPartInfo(entity.first(split.headerEnd), digestChild);
        const QByteArrayView body = entity.sliced(split.bodyStart);
        if (info.type == "multipart") {
            if (depth < kMaxNestingDepth)
                walkMultipart(body, info.boundary, depth, info.subtype == "digest");
        } else if (info.type == "message" &&
                   (info.subtype == "rfc822" || info.subtype == "global" || info.subtype == "news")) {
            // A forwarded message: its text is part of what this message says.
            if (depth < kMaxNestingDepth)
                walkEntity(body, depth + 1, false);
        } else if (info.type == "text" && (info.subtype == "plain" || info.subtype == "html")) {
            addText(info, body);
        } else {
            m_leftOutBytes += body.size();
        }
    }

    void addRaw(QByteArrayView raw) {
        const QByteArrayView part = raw.first(qMin(raw.size(), kMaxDecodedBytes - m_budgetUsed));
        m_budgetUsed += part.size();
        append(decodePartText(part, TransferEncoding::AsIs, {}, &m_mayHoldNul));
    }

    QString take() { return std::move(m_body); }
    qint64 leftOutBytes() const { return m_leftOutBytes; }
    bool mayHoldNul() const { return m_mayHoldNul; }

private:
    void walkMultipart(QByteArrayView body, const QByteArray& boundary, int depth, bool digest) {
        if (boundary.isEmpty()) {
            // No boundary: everything is one text, as the sender wrote it.
            if (hasNonBlank(body))
                addRaw(body);
            return;
        }
        const qsizetype n = body.size();
        qsizetype pos = 0;
        qsizetype partStart = -1;
        bool sawDelimiter = false;
        while (pos < n && !m_stopped) {
            pos = nextDashLine(body, pos);
            if (pos == n)
                break;
            const qsizetype eol = body.indexOf('\n', pos);
            const qsizetype next = eol < 0 ? n : eol + 1;
            QByteArrayView line = body.sliced(pos, (eol < 0 ? n : eol) - pos);
            if (line.endsWith('\r'))
                line.chop(1);
            if (isDelimiter(line, boundary)) {
                if (partStart >= 0)
                    walkEntity(body.sliced(partStart, contentEnd(body, partStart, pos) - partStart),
                               depth + 1, digest);
                sawDelimiter = true;
                partStart = next;
                if (line.sliced(2 + boundary.size()).startsWith("--")) {
                    partStart = -1; // the closing delimiter: the epilogue is nobody's text
                    break;
                }
            }
            pos = next;
        }
        if (m_stopped)
            return;
        if (partStart >= 0 && partStart < n)
            walkEntity(body.sliced(partStart), depth + 1, digest); // no closing delimiter
        else if (!sawDelimiter && hasNonBlank(body))
            addRaw(body); // the boundary never appears: the text is all preamble
    }

    // The first line at or after the line start pos that begins with "--", the only lines that can
    // be delimiters; n when there is none. Text and base64 hold few dashes, so most of a part is
    // passed over in one search instead of line by line, and a line costs at most two searches.
    static qsizetype nextDashLine(QByteArrayView body, qsizetype pos) {
        const char* const d = body.data();
        const qsizetype n = body.size();
        while (pos < n) {
            if (d[pos] == '-' && pos + 1 < n && d[pos + 1] == '-')
                return pos;
            const void* dash = std::memchr(d + pos + 1, '-', std::size_t(n - pos - 1));
            if (dash == nullptr)
                return n;
            const qsizetype at = static_cast<const char*>(dash) - d;
            if (d[at - 1] == '\n') {
                pos = at;
                continue;
            }
            const void* eol = std::memchr(d + at, '\n', std::size_t(n - at));
            if (eol == nullptr)
                return n;
            pos = static_cast<const char*>(eol) - d + 1;
        }
        return n;
    }

    // "--boundary" or "--boundary--", trailing blanks allowed.
    static bool isDelimiter(QByteArrayView line, const QByteArray& boundary) {
        if (line.size() < 2 + boundary.size() || line[0] != '-' || line[1] != '-' ||
            line.sliced(2, boundary.size()) != boundary)
            return false;
        QByteArrayView rest = line.sliced(2 + boundary.size());
        if (rest.startsWith("--"))
            rest = rest.sliced(2);
        for (char c : rest)
            if (!isLineBlank(c))
                return false;
        return true;
    }

    // The line break before a delimiter belongs to the delimiter.
    static qsizetype contentEnd(QByteArrayView body, qsizetype start, qsizetype delimiter) {
        qsizetype end = delimiter;
        if (end > start && body[end - 1] == '\n')
            --end;
        if (end > start && body[end - 1] == '\r')
            --end;
        return end;
    }

    void addText(const PartInfo& info, QByteArrayView content) {
        if (info.disposition == "attachment" || (info.disposition != "inline" && info.named)) {
            m_leftOutBytes += content.size(); // a file, not text to read (unnamed parts show inline)
            return;
        }
        const QByteArrayView raw = content.first(qMin(content.size(), kMaxDecodedBytes - m_budgetUsed));
        m_budgetUsed += raw.size();
        if (m_budgetUsed >= kMaxDecodedBytes)
            m_stopped = true;
        append(decodePartText(raw, info.encoding, info.charset, &m_mayHoldNul));
    }

    void append(const QString& text) {
        if (!m_first)
            m_body += u"\r\n";
        m_first = false;
        m_body += text;
    }

    QString m_body;
    qint64 m_leftOutBytes = 0;
    bool m_first = true;
    bool m_mayHoldNul = false;
    bool m_stopped = false;
    int m_parts = 0;
    qsizetype m_budgetUsed = 0;
};

DecodedHeader decodeHeaderBlock(QByteArrayView block) {
    DecodedHeader head;
    bool haveSubject = false, haveDate = false, haveFrom = false;
    QString text;
    text.reserve(block.size());
    forEachField(block, [&](const Field& f) {
        text += decodeHeaderText(f.whole, false);
        if (f.name.isEmpty())
            return;
        if (!haveSubject && f.name.compare("Subject", Qt::CaseInsensitive) == 0) {
            haveSubject = true;
            head.subject = trimmedBlanks(decodeHeaderText(f.value, true));
        } else if (!haveDate && f.name.compare("Date", Qt::CaseInsensitive) == 0) {
            haveDate = true;
            head.date = trimmedBlanks(decodeHeaderText(f.value, true));
        } else if (!haveFrom && f.name.compare("From", Qt::CaseInsensitive) == 0) {
            haveFrom = true;
            head.fromAddress = firstMailboxAddress(f.value);
        }
    });
    while (text.endsWith(u'\n') || text.endsWith(u'\r'))
        text.chop(1);
    head.header = std::move(text);
    finishText(head.subject);
    finishText(head.date);
    finishText(head.fromAddress);
    finishText(head.header);
    return head;
}

} // namespace

DecodedHeader decodeHeader(QByteArrayView rawHeader) {
    const QByteArrayView block = rawHeader.first(splitHeader(rawHeader, false).headerEnd);
    // A check decodes each header twice: alone to judge the message, then with the body it fetched.
    // The last one decoded is kept per thread, for a header block that is the same byte for byte.
    thread_local QByteArray lastBlock;
    thread_local DecodedHeader last;
    if (!block.isEmpty() && block == lastBlock)
        return last;
    DecodedHeader head = decodeHeaderBlock(block);
    if (block.size() <= kMaxKeptHeaderBytes) {
        lastBlock = block.toByteArray();
        last = head;
    }
    return head;
}

DecodedMessage decodeMessage(QByteArrayView rawMessage) {
    DecodedMessage message;
    message.head = decodeHeader(rawMessage);
    initGMime();
    BodyBuilder body;
    body.walkEntity(rawMessage, 0, false);
    message.body = body.take(); // folded part by part as it was decoded
    message.leftOutBytes = body.leftOutBytes();
    // Scanned for NUL only when some part's bytes could give one.
    if (body.mayHoldNul())
        removeNul(message.body);
    return message;
}

} // namespace brindle
