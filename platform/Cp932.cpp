#include "platform/Cp932.h"

#include "platform/Iconv.h"

#include <algorithm>
#include <array>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace brindle {

namespace {

const QByteArray& cp932Name() {
    static const QByteArray name("CP932");
    return name;
}

bool isAscii(QStringView text) {
    for (QChar c : text) {
        if (c.unicode() >= 0x80)
            return false;
    }
    return true;
}

bool isAscii(QByteArrayView bytes) {
    for (char b : bytes) {
        if (static_cast<unsigned char>(b) >= 0x80)
            return false;
    }
    return true;
}

const IconvEncodeTable* encodeTable() {
    static const IconvEncodeTable* const table = IconvEncodeTable::get(cp932Name());
    return table;
}

// What unit i of text adds to its code page 932 bytes: its code, or kEndOfPair for a low surrogate
// after a high one, which ends the character the high one began (iconvEncode writes a pair as one
// replacement byte).
constexpr quint32 kEndOfPair = 0x10000;
inline quint32 unitCode(const IconvEncodeTable& table, QStringView text, qsizetype i) {
    const char16_t u = text[i].unicode();
    if (QChar::isLowSurrogate(u) && i > 0 && text[i - 1].isHighSurrogate())
        return kEndOfPair;
    return table.code(u);
}

// Its length in bytes.
inline int unitLength(quint32 code) {
    return code == kEndOfPair ? 0 : code == IconvEncodeTable::kNone ? 1 : code > 0xFF ? 2 : 1;
}

// The units of text that are not ASCII, counted four at a time: a lane's bit 15 is set when any
// of its bits from 7 up is, and no lane carries into the next.
qsizetype nonAsciiCount(QStringView text) {
    const char16_t* const u = text.utf16();
    const qsizetype n = text.size();
    qsizetype count = 0;
    qsizetype i = 0;
#if defined(__SSE2__)
    // Eight units a step: a unit above 0x7F stays non-zero after a saturating 0x7F is taken off, an
    // ASCII one adds -1 to its lane, and the lanes are summed every 4096 steps (before they overflow).
    const __m128i ascii = _mm_set1_epi16(0x7F), zero = _mm_setzero_si128();
    while (i + 8 <= n) {
        __m128i lanes = zero;
        const qsizetype from = i;
        for (int k = 0; k < 4096 && i + 8 <= n; ++k, i += 8) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u + i));
            lanes = _mm_add_epi16(lanes, _mm_cmpeq_epi16(_mm_subs_epu16(v, ascii), zero));
        }
        std::array<qint32, 4> sums;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(sums.data()), _mm_madd_epi16(lanes, _mm_set1_epi16(1)));
        count += (i - from) + sums[0] + sums[1] + sums[2] + sums[3];
    }
#endif
    for (; i + 4 <= n; i += 4) {
        quint64 w;
        std::memcpy(&w, u + i, 8);
        const quint64 high = w & 0xFF80FF80FF80FF80ULL;
        const quint64 any =
            (high | ((high & 0x7FFF7FFF7FFF7FFFULL) + 0x7FFF7FFF7FFF7FFFULL)) & 0x8000800080008000ULL;
        // The four lane bits moved to the lanes' bottoms and summed into the top lane.
        count += qsizetype(((any >> 15) * 0x0001000100010001ULL) >> 48);
    }
    for (; i < n; ++i)
        count += u[i] >= 0x80;
    return count;
}

} // namespace

qsizetype cp932UnreadableLength(const unsigned char* p, qsizetype left) {
    return left >= 2 && isCp932LeadByte(p[0]) && isCp932TrailByte(p[1]) ? 2 : 1;
}

const IconvTable* cp932Table(IconvTable::Remap remap) {
    // Code page 932 is at most two bytes a character: a longer reading is not code page 932.
    static const bool twoBytes = [] {
        const IconvTable* table = IconvTable::get(cp932Name());
        if (!table)
            return false;
        for (int b = 0x80; b < 256; ++b)
            if (table->firstRow(static_cast<unsigned char>(b)) >= 0)
                for (int c = 0; c < 256; ++c)
                    if (table->next(table->firstRow(static_cast<unsigned char>(b)),
                                    static_cast<unsigned char>(c)) == IconvTable::kLonger)
                        return false;
        return true;
    }();
    return twoBytes ? IconvTable::get(cp932Name(), remap) : nullptr;
}

bool isCp932LeadByte(unsigned char b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

bool isCp932TrailByte(unsigned char b) {
    return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC);
}

QByteArray toCp932(QStringView text) {
    if (isAscii(text)) {
        QByteArray out(text.size(), Qt::Uninitialized);
        for (qsizetype i = 0; i < text.size(); ++i)
            out[i] = static_cast<char>(text[i].unicode());
        return out;
    }
    const IconvEncodeTable* table = encodeTable();
    if (!table)
        return iconvEncode(cp932Name(), text, '?');
    QByteArray out(text.size() * 2, Qt::Uninitialized);
    char* w = out.data();
    for (qsizetype i = 0; i < text.size(); ++i) {
        const quint32 code = unitCode(*table, text, i);
        if (code == kEndOfPair)
            continue;
        if (code == IconvEncodeTable::kNone) {
            *w++ = '?';
        } else if (code > 0xFF) {
            *w++ = static_cast<char>(code >> 8);
            *w++ = static_cast<char>(code & 0xFF);
        } else {
            *w++ = static_cast<char>(code);
        }
    }
    out.truncate(w - out.constData());
    return out;
}

QString fromCp932(QByteArrayView bytes) {
    if (isAscii(bytes))
        return QString::fromLatin1(bytes);
    static const IconvTable* const table = cp932Table();
    if (table)
        return *table->decode(bytes, false, cp932UnreadableLength);
    if (auto text = iconvDecode(cp932Name(), bytes, false, cp932UnreadableLength))
        return *text;
    // Without the converter only the ASCII part can be read.
    QString out;
    for (char b : bytes)
        out.append(static_cast<unsigned char>(b) < 0x80 ? QChar(b) : QChar(QChar::ReplacementCharacter));
    return out;
}

std::optional<QString> fromCp932Strict(QByteArrayView bytes) {
    if (isAscii(bytes))
        return QString::fromLatin1(bytes);
    static const IconvTable* const table = cp932Table();
    if (table)
        return table->decode(bytes, true, cp932UnreadableLength);
    return iconvDecode(cp932Name(), bytes, true, cp932UnreadableLength);
}

bool cp932CanEncode(QStringView text) {
    return fromCp932(toCp932(text)) == text;
}

qsizetype cp932Length(QStringView text) {
    const IconvEncodeTable* table = encodeTable();
    if (!table || isAscii(text))
        return toCp932(text).size();
    qsizetype length = 0;
    for (qsizetype i = 0; i < text.size(); ++i)
        length += unitLength(unitCode(*table, text, i));
    return length;
}

QString cutToCp932Bytes(const QString& text, qsizetype maxBytes) {
    if (maxBytes <= 0)
        return {};
    if (text.size() * 2 <= maxBytes)
        return text;
    // Code page 932 gives an ASCII character one byte and any other unit at most two: a bound that
    // takes one quick pass decides most texts without the table.
    if (text.size() + nonAsciiCount(text) <= maxBytes || cp932Length(text) <= maxBytes)
        return text;
    qsizetype lo = 0;
    if (const IconvEncodeTable* table = encodeTable()) {
        // The longest start that fits: every unit adds its bytes (the end of a pair none).
        for (qsizetype length = 0; lo < text.size(); ++lo) {
            const int more = unitLength(unitCode(*table, text, lo));
            if (length + more > maxBytes)
                break;
            length += more;
        }
    } else {
        // Every character takes at least one byte, and one character at most two UTF-16 units (an
        // emoji, one "?" byte, is a surrogate pair).
        qsizetype hi = qMin(text.size(), maxBytes * 2);
        while (lo < hi) {
            const qsizetype mid = (lo + hi + 1) / 2;
            if (cp932Length(QStringView(text).left(mid)) <= maxBytes)
                lo = mid;
            else
                hi = mid - 1;
        }
    }
    if (lo > 0 && text.at(lo - 1).isHighSurrogate())
        --lo;
    return text.left(lo);
}

} // namespace brindle
