#pragma once
#include <optional>
#include <QByteArray>
#include <QList>
#include <QString>

namespace brindle {

// Whether decoded text comes with the JIS mapping variants folded as foldJapaneseVariants folds
// them. The Japanese decoders fold in the same pass, so folded text costs them nothing extra.
enum class Folding { None, JapaneseVariants };

// The code point code page 932 gives for a JIS mapping variant (WAVE DASH and friends), or c itself.
constexpr char16_t foldJapaneseVariant(char16_t c) {
    if (c < 0xA2 || c > 0x301C)
        return c; // ASCII, kana, kanji: by far most text
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
        return c;
    }
}

// Maps the known JIS-to-Unicode mapping differences (WAVE DASH and friends) to the code points that
// code page 932 gives, so the same visible text matches the same keyword whatever its charset.
QString foldJapaneseVariants(QString text);

// Text in a declared charset, decoded strictly: nullopt when the label names no charset we know or
// the bytes are not valid text in it. Shift_JIS under any of its names is read as code page 932,
// EUC-JP as its Microsoft variant, ISO-2022-JP with our own decoder (see Iso2022JpDecoder).
std::optional<QString> decodeCharsetStrict(QByteArrayView bytes, QByteArrayView label,
                                           Folding folding = Folding::None);

// Text in a declared charset. A declaration that is unknown or plainly wrong (the bytes do not fit
// it) falls back to decodeUndeclaredText: mailers lie about charsets far more often than they omit
// them. Never empty for non-empty input.
QString decodeCharset(QByteArrayView bytes, QByteArrayView label, Folding folding = Folding::None);

// The payloads of adjacent encoded words that share a charset, decoded as one text: their bytes are
// joined first, so a character split across two words survives. For ISO-2022-JP the state goes back
// to ASCII at each word's end, as each word is meant to be complete.
QString decodeCharsetPieces(const QList<QByteArray>& pieces, QByteArrayView label);

// Whether decodeCharset may read U+0000 from bytes that hold no NUL: only for the charsets left to
// iconv (UTF-16, UTF-7 and the like). Every decoder of our own, and the detection, read U+0000
// from a NUL byte alone.
bool mayDecodeNulWithoutNulByte(QByteArrayView label);

// Two labels that name the same charset spelling ("Shift_JIS", "shift_jis", "ISO-2022-JP*ja").
bool sameCharsetLabel(QByteArrayView a, QByteArrayView b);

// What undeclared 8-bit text most likely is.
enum class GuessedCharset {
    Ascii,        // nothing above 0x7F, no ISO-2022 escapes
    Iso2022Jp,    // JIS escapes present
    Utf8,         // valid UTF-8
    EucJp,        // valid EUC-JP (Microsoft variant), judged likelier than code page 932
    Cp932,        // valid code page 932
    Cp932Damaged, // fits nothing: code page 932 with U+FFFD for what cannot be read
};

struct CharsetGuess {
    GuessedCharset charset;
    QString text; // the input decoded in that charset
};

// Guesses the charset of undeclared text and decodes it. ISO-2022-JP escapes win; then valid UTF-8;
// then strict EUC-JP and strict code page 932, the one that succeeds (when both do, the one that
// reads as more kana and kanji without half-width kana or private-use characters).
CharsetGuess guessCharset(QByteArrayView bytes, Folding folding = Folding::None);
inline QString decodeUndeclaredText(QByteArrayView bytes, Folding folding = Folding::None) {
    return guessCharset(bytes, folding).text;
}

// Decodes bytes in a charset guessed earlier (for example for the whole header field they sit in).
QString decodeGuessed(QByteArrayView bytes, GuessedCharset charset);

// ISO-2022-JP as Japanese mailers really send it: NEC row 13 and the NEC-selected IBM extensions
// included, which strict decoders reject. Each JIS pair reads as code page 932 reads its Shift_JIS
// pair. ESC $ @, ESC $ B (and JIS X 0213 plane 1) are two-byte; ESC ( B, ESC ( J are ASCII;
// ESC ( I and SO/SI are half-width katakana; JIS X 0212 and other sets give U+FFFD. A missing final
// ESC ( B is tolerated. Decodes straight to UTF-16 through a table of the JIS pairs.
struct JisReading; // what each JIS pair, katakana byte and fault reads as
class Iso2022JpDecoder {
public:
    explicit Iso2022JpDecoder(Folding folding = Folding::None);
    // For a decoder whose text is only wanted when clean (finish(true)): reading stops at the first
    // fault instead of decoding text that will be thrown away.
    void stopAtFirstFault() { m_stopAtFault = true; }

    void feed(QByteArrayView bytes);
    // The end of one encoded word: the state goes back to ASCII, unless a two-byte character was cut
    // in two by the word boundary (some mailers split the bytes anywhere).
    void endOfWord();
    // The decoded text. With strict set, nullopt when anything was invalid or unsupported.
    std::optional<QString> finish(bool strict);

private:
    enum class Mode { Ascii, TwoByte, Katakana, Unsupported };
    char16_t* room(qsizetype units);

    const JisReading* m_reading;
    Mode m_mode = Mode::Ascii;
    bool m_shiftedOut = false;
    int m_lead = -1;
    bool m_clean = true;
    bool m_stopAtFault = false;
    QString m_text; // m_used units written, the rest room for more
    qsizetype m_used = 0;
};

} // namespace brindle
