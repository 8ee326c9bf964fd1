#pragma once
#include <functional>
#include <QByteArrayView>
#include <QString>
#include <QStringList>
#include <vector>

namespace brindle {
struct DecodedMessage;
}

namespace brindle::learn {

// At most this many distinct tokens are taken from one message: a long newsletter has about 1,500
// distinct character pairs, and a message built to hold a million distinct tokens must cost neither
// time nor room in the store beyond this.
inline constexpr qsizetype kMaxTokensPerMessage = 3000;
// Latin words longer than this are one token for their first letters and length bucket: long runs
// are hashes, tracking codes and base64 that would only fill the store with tokens seen once.
inline constexpr qsizetype kMaxWordLength = 24;
// Only this much decoded text is read for tokens: the start of a message carries what tells junk
// apart, and a 50 MB message must be tokenised in bounded time.
inline constexpr qsizetype kMaxTextChars = 200'000;
// Only this much of the raw message is searched for charsets and the HTML-only shape.
inline constexpr qsizetype kMaxRawScanBytes = 1 << 20;
// Hosts are read up to the longest a domain name may be.
inline constexpr qsizetype kMaxHostChars = 253;
// At most this many links are read from one message.
inline constexpr qsizetype kMaxLinks = 200;

// Where in the message the signals below come from: these tokens are what the classifier learns.
//   s:…      subject tokens             n:…, f:…  the sender's display name, its address
//   from:site              the registrable part of the sender's domain
//   character pairs of kanji and kana runs, lower-cased Latin words, otherwise body tokens
//   url:host a link's host              tld:from:… / tld:link:…  top-level domains
//   sig:link-mismatch      a link whose visible text names another domain than its target
//   sig:name-domain        a sender display name holding another domain than the address's
//   sig:html-only          no plain-text part
//   auth:spf=… auth:dkim=… auth:dmarc=…  the receiving server's Authentication-Results
//   charset:…              a declared charset
QStringList tokenize(QByteArrayView rawMessage);
// The same tokens from a message decoded already (decodeMessage(rawMessage), whole): the check
// hands over what its rule decoded, and the raw bytes only tell the declared charsets and shape.
QStringList tokenize(const DecodedMessage& decoded, QByteArrayView rawMessage);

// The same tokens, with the hash the store keys each by (LearnStore::tokenHash of its text) made as
// the token was: judging needs the hashes of all and the texts of the few a verdict shows.
class TokenList {
public:
    TokenList(std::vector<qint64> hashes, QString texts, std::vector<qsizetype> ends)
        : m_hashes(std::move(hashes)), m_texts(std::move(texts)), m_ends(std::move(ends)) {}
    qsizetype size() const { return qsizetype(m_hashes.size()); }
    const std::vector<qint64>& hashes() const { return m_hashes; }
    QString text(qsizetype i) const;
    QStringList texts() const;

private:
    std::vector<qint64> m_hashes;
    QString m_texts;               // the tokens' texts one after another
    std::vector<qsizetype> m_ends; // where each ends in m_texts
};
TokenList tokenList(QByteArrayView rawMessage);
TokenList tokenList(const DecodedMessage& decoded, QByteArrayView rawMessage);

// Hiragana, katakana and the kanji of the first Unicode version: kanji or kana without a lookup
// of the character's script.
constexpr bool isCommonJapanese(char32_t c) {
    return (c >= 0x3041 && c <= 0x3096) || (c >= 0x30A1 && c <= 0x30FA) || (c >= 0x4E00 && c <= 0x9FA5);
}
// Characters that NFKC leaves as they are, alone and beside each other, and that are no invisible
// characters: ASCII, the common kanji and kana, ー, 々 and the commonest Japanese punctuation.
constexpr bool isNfkcPlain(char16_t c) {
    return c < 0x80 || isCommonJapanese(c) || c == 0x30FC || c == 0x3001 || c == 0x3002 || c == 0x3005 ||
           (c >= 0x300C && c <= 0x300F);
}

// The text as the tokens read it: its first kMaxTextChars characters, without invisible characters,
// in NFKC (what removeInvisibleCharacters and QString::normalized make of it, for less).
QString normalisedText(QStringView text);

// What the tokens read HTML with (exposed for tests). The text with each tag, style and script element
// and character reference made one space:
QString stripTags(QStringView html);
// The first run like "a.example.com" in text ('(?:[a-z0-9-]+\.)+[a-z]{2,}' in any case), or empty.
QStringView firstDomain(QStringView text);
// The links of a body, at most kMaxLinks: each anchor's target host (as written) and what it shows,
// in order, then the bare http(s) links outside the anchors (anchor false, shown empty).
void forEachLink(const QString& body,
                 const std::function<void(QStringView host, QStringView shown, bool anchor)>& link);

// "mail.example.co.jp" -> "example.co.jp": the part of a host a sender registers, close enough for
// telling one organisation's domain from another's.
QString siteOf(QStringView host);

} // namespace brindle::learn
