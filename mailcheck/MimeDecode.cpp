#include "mailcheck/MimeDecode.h"

#include "mailcheck/Charset.h"
#include "mailcheck/MimeAddress.h"
#include "mailcheck/Rfc2047.h"
#include "mailcheck/TransferDecode.h"

#include <gmime/gmime.h>
#include <mutex>

namespace brindle {

namespace {

// Limits on what a message may make us do. Mail is untrusted input and a check must finish.
// Nesting beyond this is no longer a mail anybody reads, only an attempt to exhaust the stack.
constexpr int kMaxNestingDepth = 32;
// Parts visited per message; real mail has a handful, a thousand covers any newsletter.
constexpr int kMaxParts = 1000;
// Multipart and message containers handed to the MIME parser at all. The parser recurses per
// container and bounds nothing itself that we could rely on, so the raw text is cut before the
// container that would exceed this; what comes before it is still read.
constexpr int kMaxContainers = 256;
// Raw bytes of text parts decoded per message; keyword search over more is pointless and slow.
constexpr qsizetype kMaxDecodedBytes = 32 * 1024 * 1024;

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

HeaderSplit splitHeader(QByteArrayView raw) {
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

// Everything we hand out: JIS variants folded, and no NUL, which would cut the text short for every
// caller that reads it as a C string.
void finishText(QString& s) {
    s = foldJapaneseVariants(std::move(s));
    if (s.contains(QChar(0)))
        s.remove(QChar(0));
}

QByteArray readStream(GMimeStream* stream, qsizetype limit) {
    QByteArray out;
    if (!stream)
        return out;
    g_mime_stream_reset(stream);
    const gint64 len = g_mime_stream_length(stream);
    if (len > 0)
        out.reserve(qsizetype(qMin<gint64>(len, limit)));
    char buf[65536];
    while (out.size() < limit) {
        const ssize_t got = g_mime_stream_read(stream, buf, sizeof buf);
        if (got <= 0)
            break;
        out.append(buf, qsizetype(qMin<qsizetype>(got, limit - out.size())));
    }
    return out;
}

bool hasNonBlank(QByteArrayView s) {
    for (char c : s)
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
            return true;
    return false;
}

QString decodePartText(QByteArrayView raw, GMimeContentEncoding encoding, const char* charset) {
    QByteArray bytes;
    switch (encoding) {
    case GMIME_CONTENT_ENCODING_BASE64:
        bytes = decodeBase64Lenient(raw);
        // Not base64 at all: the text as it stands says more than nothing.
        if (bytes.isEmpty() && hasNonBlank(raw))
            bytes = raw.toByteArray();
        break;
    case GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE:
        bytes = decodeQuotedPrintable(raw);
        break;
    default:
        bytes = raw.toByteArray();
        break;
    }
    if (charset && *charset)
        return decodeCharset(bytes, QByteArrayView(charset));
    return decodeUndeclaredText(bytes);
}

// Cuts the raw message before the container header that would make more than kMaxContainers, so
// the MIME parser never recurses deeper than that.
QByteArrayView limitContainers(QByteArrayView raw) {
    int containers = 0;
    const qsizetype n = raw.size();
    qsizetype pos = 0;
    while (pos < n) {
        const qsizetype eol = raw.indexOf('\n', pos);
        const qsizetype next = eol < 0 ? n : eol + 1;
        // "Content-Type" then optional blanks, ":", blanks and line breaks, then the media type.
        constexpr QByteArrayView kName("content-type");
        if (next - pos > kName.size() &&
            raw.sliced(pos, kName.size()).compare(kName, Qt::CaseInsensitive) == 0) {
            qsizetype i = pos + kName.size();
            while (i < n && isLineBlank(raw[i]))
                ++i;
            if (i < n && raw[i] == ':') {
                ++i;
                while (i < n && (isLineBlank(raw[i]) || raw[i] == '\r' || raw[i] == '\n'))
                    ++i;
                const QByteArrayView rest = raw.sliced(i);
                auto startsWith = [&](QByteArrayView word) {
                    return rest.size() >= word.size() &&
                           rest.first(word.size()).compare(word, Qt::CaseInsensitive) == 0;
                };
                if (startsWith("multipart") || startsWith("message")) {
                    if (++containers > kMaxContainers)
                        return raw.first(pos);
                }
            }
        }
        pos = next;
    }
    return raw;
}

class BodyBuilder {
public:
    void walk(GMimeObject* object, int depth) {
        if (stopped_ || !object)
            return;
        if (++parts_ > kMaxParts) {
            stopped_ = true;
            return;
        }
        if (GMIME_IS_MULTIPART(object)) {
            if (depth >= kMaxNestingDepth)
                return;
            auto* multipart = GMIME_MULTIPART(object);
            const int count = g_mime_multipart_get_count(multipart);
            if (count == 0) {
                // No boundary, or one that never appears: the parser keeps everything as the
                // preamble, and that is the text the sender wrote.
                if (const char* prologue = g_mime_multipart_get_prologue(multipart); prologue && *prologue)
                    addRaw(QByteArrayView(prologue));
                return;
            }
            for (int i = 0; i < count && !stopped_; ++i)
                walk(g_mime_multipart_get_part(multipart, i), depth + 1);
        } else if (GMIME_IS_MESSAGE_PART(object)) {
            // A forwarded message: its text is part of what this message says.
            if (depth >= kMaxNestingDepth)
                return;
            GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
            if (inner)
                walk(g_mime_message_get_mime_part(inner), depth + 1);
        } else if (GMIME_IS_PART(object)) {
            addPart(GMIME_PART(object));
        }
    }

    void addRaw(QByteArrayView raw) {
        append(decodePartText(raw.first(qMin(raw.size(), kMaxDecodedBytes)), GMIME_CONTENT_ENCODING_DEFAULT,
                              nullptr));
    }

    QString take() { return std::move(body_); }

private:
    void addPart(GMimePart* part) {
        GMimeObject* object = GMIME_OBJECT(part);
        GMimeContentType* type = g_mime_object_get_content_type(object);
        // The parser makes a text part of a Content-Type it cannot read ("text", ";;;") but reports
        // it as application/octet-stream; such a header means text/plain.
        const bool unreadableType =
            GMIME_IS_TEXT_PART(object) && !(type && g_mime_content_type_is_type(type, "text", "*"));
        if (!unreadableType && !(type && (g_mime_content_type_is_type(type, "text", "plain") ||
                                          g_mime_content_type_is_type(type, "text", "html"))))
            return;
        bool inlineDisposition = false;
        if (GMimeContentDisposition* d = g_mime_object_get_content_disposition(object)) {
            if (g_mime_content_disposition_is_attachment(d))
                return;
            const char* value = g_mime_content_disposition_get_disposition(d);
            inlineDisposition = value && g_ascii_strcasecmp(value, "inline") == 0;
        }
        if (!inlineDisposition && g_mime_part_get_filename(part))
            return; // a named file nobody asked to show inline
        GMimeDataWrapper* content = g_mime_part_get_content(part);
        if (!content)
            return;
        const QByteArray raw =
            readStream(g_mime_data_wrapper_get_stream(content), kMaxDecodedBytes - budgetUsed_);
        budgetUsed_ += raw.size();
        if (budgetUsed_ >= kMaxDecodedBytes)
            stopped_ = true;
        const char* charset = g_mime_object_get_content_type_parameter(object, "charset");
        append(decodePartText(raw, g_mime_part_get_content_encoding(part), charset));
    }

    void append(const QString& text) {
        if (!first_)
            body_ += u"\r\n";
        first_ = false;
        body_ += text;
    }

    QString body_;
    bool first_ = true;
    bool stopped_ = false;
    int parts_ = 0;
    qsizetype budgetUsed_ = 0;
};

} // namespace

DecodedHeader decodeHeader(QByteArrayView rawHeader) {
    DecodedHeader head;
    const QByteArrayView block = rawHeader.first(splitHeader(rawHeader).headerEnd);
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

DecodedMessage decodeMessage(QByteArrayView rawMessage) {
    DecodedMessage message;
    const HeaderSplit split = splitHeader(rawMessage);
    message.head = decodeHeader(rawMessage.first(split.headerEnd));

    initGMime();
    const QByteArrayView input = limitContainers(rawMessage);
    BodyBuilder body;
    GMimeStream* stream = g_mime_stream_mem_new_with_buffer(input.data(), size_t(input.size()));
    GMimeParser* parser = g_mime_parser_new_with_stream(stream);
    g_object_unref(stream);
    GMimeMessage* parsed = g_mime_parser_construct_message(parser, nullptr);
    g_object_unref(parser);
    if (parsed) {
        body.walk(g_mime_message_get_mime_part(parsed), 0);
        g_object_unref(parsed);
    } else if (split.bodyStart < rawMessage.size()) {
        body.addRaw(rawMessage.sliced(split.bodyStart));
    }
    message.body = body.take();
    finishText(message.body);
    return message;
}

QString foldJapaneseVariants(QString text) {
    auto target = [](char16_t c) -> char16_t {
        switch (c) {
        case 0x301C:
            return 0xFF5E; // WAVE DASH
        case 0x2016:
            return 0x2225; // DOUBLE VERTICAL LINE
        case 0x2212:
            return 0xFF0D; // MINUS SIGN
        case 0x00A2:
            return 0xFFE0; // CENT SIGN
        case 0x00A3:
            return 0xFFE1; // POUND SIGN
        case 0x00AC:
            return 0xFFE2; // NOT SIGN
        case 0x2014:
            return 0x2015; // EM DASH
        case 0x00A6:
            return 0xFFE4; // BROKEN BAR
        default:
            return 0;
        }
    };
    const qsizetype n = text.size();
    const char16_t* data = reinterpret_cast<const char16_t*>(text.constData());
    qsizetype i = 0;
    while (i < n && !target(data[i]))
        ++i;
    if (i == n)
        return text;
    char16_t* w = reinterpret_cast<char16_t*>(text.data());
    for (; i < n; ++i)
        if (const char16_t t = target(w[i]))
            w[i] = t;
    return text;
}

} // namespace brindle
