#include "mailcheck/mime/Rfc2047.h"

#include "mailcheck/mime/Charset.h"
#include "mailcheck/mime/TransferDecode.h"

#include <optional>
#include <QList>

namespace brindle {

namespace {

// Real charset names are short; a longer run after "=?" is not an encoded-word.
constexpr qsizetype kMaxCharsetNameLength = 64;

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

struct EncodedWord {
    qsizetype end = 0; // just past the word
    QByteArrayView charset;
    QByteArray bytes; // payload after B or Q decoding
};

// s[p] and s[p + 1] are "=?".
std::optional<EncodedWord> parseEncodedWord(QByteArrayView s, qsizetype p) {
    const qsizetype n = s.size();
    const qsizetype cs = p + 2;
    qsizetype q = cs;
    while (q < n && s[q] != '?' && !isBlank(s[q]) && q - cs <= kMaxCharsetNameLength)
        ++q;
    if (q >= n || s[q] != '?' || q == cs || q + 2 >= n || s[q + 2] != '?')
        return std::nullopt;
    const char enc = s[q + 1];
    const qsizetype start = q + 3;
    qsizetype j = start;
    if (enc != 'B' && enc != 'b' && enc != 'Q' && enc != 'q')
        return std::nullopt;
    const bool base64 = enc == 'B' || enc == 'b';
    // "?" never stands unencoded in a payload; blanks sometimes do in Q words, from careless encoders.
    while (j < n && s[j] != '?' && s[j] != '\r' && s[j] != '\n' && !(base64 && isBlank(s[j])))
        ++j;
    EncodedWord w;
    w.charset = s.sliced(cs, q - cs);
    const QByteArrayView payload = s.sliced(start, j - start);
    w.bytes =
        (enc == 'B' || enc == 'b') ? decodeBase64Lenient(payload) : decodeQuotedPrintable(payload, true);
    // A missing "?=" ends the word where its payload ends.
    w.end = (j + 1 < n && s[j] == '?' && s[j + 1] == '=') ? j + 2 : j;
    return w;
}

class Decoder {
public:
    explicit Decoder(QByteArrayView raw) : m_raw(raw) {}

    QString run() {
        const qsizetype n = m_raw.size();
        qsizetype textStart = 0;
        qsizetype i = 0;
        while (i + 1 < n) {
            const qsizetype p = m_raw.indexOf("=?", i);
            if (p < 0)
                break;
            auto word = parseEncodedWord(m_raw, p);
            if (!word) {
                i = p + 2;
                continue;
            }
            const QByteArrayView between = m_raw.sliced(textStart, p - textStart);
            if (m_pieces.isEmpty() || !allBlank(between)) {
                flushWords();
                appendRaw(between);
            }
            if (!m_pieces.isEmpty() && !sameCharsetLabel(m_charset, word->charset))
                flushWords();
            if (m_pieces.isEmpty())
                m_charset = word->charset;
            m_pieces.append(std::move(word->bytes));
            i = textStart = word->end;
        }
        flushWords();
        appendRaw(m_raw.sliced(textStart));
        return m_out;
    }

private:
    static bool allBlank(QByteArrayView s) {
        for (char c : s)
            if (!isBlank(c))
                return false;
        return true;
    }

    void flushWords() {
        if (m_pieces.isEmpty())
            return;
        m_out += decodeCharsetPieces(m_pieces, m_charset);
        m_pieces.clear();
    }

    void appendRaw(QByteArrayView text) {
        if (text.isEmpty())
            return;
        bool plain = true;
        for (char c : text)
            if (static_cast<unsigned char>(c) >= 0x80 || c == '\x1b') {
                plain = false;
                break;
            }
        if (plain) {
            m_out += QLatin1StringView(text);
            return;
        }
        // One guess for the whole field: its raw pieces share one charset, and a short piece alone
        // could pass for several.
        if (!m_guess)
            m_guess = guessCharset(m_raw).charset;
        m_out += decodeGuessed(text, *m_guess);
    }

    QByteArrayView m_raw;
    QString m_out;
    QByteArrayView m_charset;
    QList<QByteArray> m_pieces;
    std::optional<GuessedCharset> m_guess;
};

} // namespace

QString decodeHeaderText(QByteArrayView raw, bool unfold) {
    QByteArray unfolded;
    if (unfold && (raw.contains('\r') || raw.contains('\n'))) {
        unfolded.reserve(raw.size());
        for (char c : raw)
            if (c != '\r' && c != '\n')
                unfolded += c;
        raw = unfolded;
    }
    if (!raw.contains("=?"))
        return guessCharset(raw).text;
    return Decoder(raw).run();
}

} // namespace brindle
