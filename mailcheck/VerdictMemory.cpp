#include "mailcheck/VerdictMemory.h"

#include "mailcheck/ServerText.h"

#include <algorithm>
#include <QCryptographicHash>
#include <QUrl>

namespace brindle {

namespace {

const QString kFileName = QStringLiteral("verdicts.txt");
const QByteArray kHeading =
    "# Messages judged \"keep\" (a UIDL a line) and caught (\"!\" lines): a section per "
    "server and account.\n";
// Raised whenever a change of the decoding or of a rule can turn a "keep" into a catch.
constexpr int kJudgingVersion = 1;
// A section line is the server, the account and a 64-digit digest; anything longer is damage.
constexpr qsizetype kSectionLineMaxBytes = 4096;
// RFC 1939 7: a UIDL is 1 to 70 characters in 0x21..0x7E.
constexpr qsizetype kUidlMaxBytes = 70;
// A catch line: the UIDL and four texts of kVerdictTextMaxChars, each character percent-encoded from
// up to four bytes of UTF-8; anything longer is damage.
constexpr qsizetype kCatchLineMaxBytes = kUidlMaxBytes + 4 * (kVerdictTextMaxChars * 12 + 1);
constexpr char kCatchMark = '!';

bool validUidl(QByteArrayView id) {
    return !id.isEmpty() && id.size() <= kUidlMaxBytes &&
           std::all_of(id.begin(), id.end(), [](char c) { return c > 0x20 && c < 0x7F; });
}

QByteArray encoded(const QString& text) {
    return QUrl::toPercentEncoding(text);
}

QString decoded(QByteArrayView text) {
    return QUrl::fromPercentEncoding(text.toByteArray());
}

// Mail text, and the keyword file's, as it may go into the file: no controls, bounded.
QString fitText(const QString& text) {
    return sanitizeServerText(text, QString(), kVerdictTextMaxChars);
}

RememberedCatch fitCatch(const RememberedCatch& c) {
    return RememberedCatch{fitText(c.ruleWord), fitText(c.keyword), fitText(c.sender), fitText(c.subject)};
}

// "!uidl<TAB>rule<TAB>keyword<TAB>sender<TAB>subject": the catch, or nothing when the line is damaged.
std::optional<std::pair<QString, RememberedCatch>> catchFrom(QByteArrayView line) {
    if (line.size() > kCatchLineMaxBytes)
        return std::nullopt;
    const QList<QByteArray> parts = line.sliced(1).toByteArray().split('\t');
    if (parts.size() != 5 || !validUidl(parts[0]))
        return std::nullopt;
    const RememberedCatch c{decoded(parts[1]), decoded(parts[2]), decoded(parts[3]), decoded(parts[4])};
    if (c.ruleWord.isEmpty() || fitCatch(c) != c)
        return std::nullopt; // an edit that put controls or overlong text in
    return std::pair{QString::fromLatin1(parts[0]), c};
}

} // namespace

QString verdictMemoryPath(const QString& dataFolder) {
    return dataFolder + u'/' + kFileName;
}

QByteArray judgementDigest(int ruleNumber, const QStringList& keywords, const QStringList& allowList,
                           const QString& sizeLimit, bool learning) {
    QCryptographicHash h(QCryptographicHash::Sha256);
    // Each list is counted and each item length-prefixed, so that no two inputs hash alike by
    // moving text from one item to the next.
    auto add = [&](const QString& text) {
        const QByteArray bytes = text.toUtf8();
        h.addData(QByteArray::number(bytes.size()) + ':');
        h.addData(bytes);
    };
    add(QString::number(kJudgingVersion));
    add(QString::number(ruleNumber));
    add(QString::number(keywords.size()));
    for (const QString& k : keywords)
        add(k);
    add(QString::number(allowList.size()));
    for (const QString& a : allowList)
        add(a);
    add(sizeLimit);
    // Only when on, so that the memory of the checks without learning stays as it was.
    if (learning)
        add(QStringLiteral("learning"));
    return h.result().toHex();
}

VerdictMemory::VerdictMemory(QString server, QString account, QByteArray judgement)
    : m_server(std::move(server)), m_account(std::move(account)), m_judgement(std::move(judgement)) {}

QList<VerdictMemory::Section> VerdictMemory::readSections(QByteArrayView all) {
    QList<Section> sections;
    if (all.size() > kVerdictFileMaxBytes)
        return sections;
    qsizetype pos = 0;
    while (pos < all.size()) {
        qsizetype eol = all.indexOf('\n', pos);
        if (eol < 0)
            break; // a last line without its end was cut off: it names nothing
        const QByteArrayView line = all.sliced(pos, eol - pos);
        pos = eol + 1;
        if (line.startsWith('@')) {
            const QList<QByteArray> parts = line.sliced(1).toByteArray().split('\t');
            if (line.size() > kSectionLineMaxBytes || parts.size() != 3 || parts[2].size() != 64) {
                sections.append(Section{}); // damaged: its UIDLs go nowhere
                sections.last().judgement = "damaged";
                continue;
            }
            sections.append(Section{decoded(parts[0]), decoded(parts[1]), parts[2], {}, {}});
        } else if (line.startsWith(kCatchMark) && !sections.isEmpty()) {
            if (const auto c = catchFrom(line))
                sections.last().catches.append(*c);
        } else if (!line.startsWith('#') && !sections.isEmpty() && validUidl(line)) {
            sections.last().uidls.append(QString::fromLatin1(line));
        }
    }
    sections.removeIf([](const Section& s) { return s.judgement == "damaged"; });
    return sections;
}

void VerdictMemory::load(QByteArrayView fileText) {
    m_remembered.clear();
    for (const Section& s : readSections(fileText)) {
        if (s.server == m_server && s.account == m_account && s.judgement == m_judgement) {
            m_remembered = QSet<QString>(s.uidls.cbegin(), s.uidls.cend());
            for (const auto& [uidl, c] : s.catches)
                m_rememberedCatches.insert(uidl, c);
            m_sectionFound = true;
            return;
        }
    }
}

void VerdictMemory::keep(const QString& uidl) {
    if (uidl.isEmpty() || m_keptSet.contains(uidl) || !validUidl(uidl.toLatin1()))
        return;
    m_keptSet.insert(uidl);
    m_kept.append(uidl);
}

std::optional<RememberedCatch> VerdictMemory::rememberedCatch(const QString& uidl) const {
    const auto it = m_rememberedCatches.constFind(uidl);
    if (uidl.isEmpty() || it == m_rememberedCatches.cend())
        return std::nullopt;
    return *it;
}

void VerdictMemory::caught(const QString& uidl, const RememberedCatch& verdict) {
    if (uidl.isEmpty() || m_caughtByUidl.contains(uidl) || !validUidl(uidl.toLatin1()))
        return;
    const RememberedCatch fitted = fitCatch(verdict);
    m_caughtByUidl.insert(uidl, fitted);
    m_caught.append({uidl, fitted});
}

bool VerdictMemory::changed() const {
    // The usual interval check of a quiet mailbox changes nothing.
    return !(m_sectionFound && m_keptSet == m_remembered && m_caughtByUidl == m_rememberedCatches);
}

QByteArray VerdictMemory::mergedInto(QByteArrayView fileText) const {
    QList<Section> sections = readSections(fileText);
    sections.removeIf([&](const Section& s) { return s.server == m_server && s.account == m_account; });
    if (!m_kept.isEmpty() || !m_caught.isEmpty())
        sections.prepend(Section{m_server, m_account, m_judgement, m_kept, m_caught});
    while (sections.size() > kVerdictMaxSections)
        sections.removeLast();
    QByteArray out = kHeading;
    for (const Section& s : std::as_const(sections)) {
        out += '@' + encoded(s.server) + '\t' + encoded(s.account) + '\t' + s.judgement + '\n';
        for (const QString& id : s.uidls)
            out += id.toLatin1() + '\n';
        for (const auto& [id, c] : s.catches) {
            out += kCatchMark + id.toLatin1() + '\t' + encoded(c.ruleWord) + '\t' + encoded(c.keyword) +
                   '\t' + encoded(c.sender) + '\t' + encoded(c.subject) + '\n';
        }
    }
    return out;
}

} // namespace brindle
