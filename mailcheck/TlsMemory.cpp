#include "mailcheck/TlsMemory.h"

#include "mailcheck/pop3/Pop3Session.h"
#include "mailcheck/ServerText.h"
#include "platform/AppFolder.h"
#include "platform/AtomicFile.h"

#include <algorithm>
#include <QFile>

namespace brindle {

namespace {

const QByteArray kHeading =
    "# What Brindle learnt of each POP3 server's TLS. Delete a server's block to forget it.\n"
    "# tls-seen: it offered TLS, so a connection without TLS is refused.\n"
    "# pinned-sha256: the certificate you trusted for it. plain-agreed: you agreed that\n"
    "# the password goes to it unencrypted. capabilities, quirks: what its CAPA announced and\n"
    "# what it did wrong, so that the next check sends its first commands together.\n";
const QByteArray kTlsSeen = "tls-seen";
const QByteArray kPinned = "pinned-sha256";
const QByteArray kPlainAgreed = "plain-agreed";
const QByteArray kCapabilities = "capabilities";
const QByteArray kQuirks = "quirks";

// The words of the two lists and the flags they stand for; any other word is skipped.
struct Word {
    const char* text;
    bool Pop3Known::*flag;
};
constexpr Word kCapabilityWords[] = {{"pipelining", &Pop3Known::pipelining},
                                     {"top", &Pop3Known::top},
                                     {"uidl", &Pop3Known::uidl},
                                     {"utf8", &Pop3Known::utf8},
                                     {"stls", &Pop3Known::stls}};
constexpr Word kQuirkWords[] = {{"login-apart", &Pop3Known::loginApart}, {"garbled", &Pop3Known::garbled}};

template <size_t N> void readWords(const QByteArray& value, const Word (&words)[N], Pop3Known& known) {
    for (const QByteArray& w : value.simplified().split(' ')) {
        for (const Word& word : words)
            if (w == word.text)
                known.*word.flag = true;
    }
}

template <size_t N> QByteArray wordsOf(const Pop3Known& known, const Word (&words)[N], bool upper) {
    QByteArray out;
    for (const Word& word : words)
        if (known.*word.flag)
            out += ' ' + (upper ? QByteArray(word.text).toUpper() : QByteArray(word.text));
    return out;
}

QByteArray yesNo(bool value) {
    return value ? "yes" : "no";
}

// A key goes into the file only as the sanitizer leaves it: a host name has no controls, and a key
// with any (an edited file, a damaged setting) is not ours to write back where a terminal shows it.
bool writableKey(const QString& key) {
    return !key.isEmpty() && sanitizeServerText(key, QString(), kTlsMemoryKeyMaxChars) == key;
}

} // namespace

QString tlsMemoryPath() {
    return appPath(QStringLiteral(u"\\★MailData\\tls.ini"));
}

QString serverTrustKey(const QString& pop3Server) {
    const std::optional<Pop3ServerAddress> a = parsePop3Address(pop3Server);
    return a ? pop3TrustKey(a->host, a->port) : QString();
}

QList<TlsMemoryEntry> readTlsMemory(const QString& path) {
    QList<TlsMemoryEntry> entries;
    QFile file(path);
    if (file.size() > kTlsMemoryMaxBytes || !file.open(QIODevice::ReadOnly))
        return entries;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray& raw : lines) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith('[') && line.endsWith(']') && line.size() > 2) {
            entries.append({QString::fromUtf8(line.mid(1, line.size() - 2)).toLower(), {}});
            continue;
        }
        const qsizetype eq = line.indexOf('=');
        if (line.startsWith('#') || eq < 0 || entries.isEmpty())
            continue;
        const QByteArray name = line.left(eq).trimmed().toLower();
        const QByteArray value = line.mid(eq + 1).trimmed().toLower();
        Pop3Trust& t = entries.last().trust;
        if (name == kTlsSeen)
            t.tlsSeen = value == "yes";
        else if (name == kPlainAgreed)
            t.plainAgreed = value == "yes";
        else if (name == kPinned)
            t.pinnedSha256 = parseFingerprint(QString::fromLatin1(value)).value_or(QByteArray());
        else if (name == kCapabilities)
            t.known.seen = true, readWords(value, kCapabilityWords, t.known);
        else if (name == kQuirks)
            readWords(value, kQuirkWords, t.known);
    }
    // A server named twice: its first block counts.
    QList<TlsMemoryEntry> unique;
    for (const TlsMemoryEntry& e : std::as_const(entries)) {
        if (std::none_of(unique.cbegin(), unique.cend(),
                         [&](const TlsMemoryEntry& u) { return u.key == e.key; }))
            unique.append(e);
    }
    return unique;
}

Pop3Trust trustFor(const QString& path, const QString& key) {
    for (const TlsMemoryEntry& e : readTlsMemory(path)) {
        if (e.key == key.toLower())
            return e.trust;
    }
    return {};
}

bool rememberTrust(const QString& path, const QString& key, const Pop3Trust& learnt) {
    if (!writableKey(key.toLower()))
        return false;
    if (QFile(path).size() > kTlsMemoryMaxBytes)
        return false; // not ours to overwrite
    QList<TlsMemoryEntry> entries = readTlsMemory(path);
    Pop3Trust merged = learnt;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        if (entries[i].key != key.toLower())
            continue;
        const Pop3Trust& old = entries[i].trust;
        merged.tlsSeen = merged.tlsSeen || old.tlsSeen;
        merged.plainAgreed = merged.plainAgreed || old.plainAgreed;
        if (merged.pinnedSha256.isEmpty())
            merged.pinnedSha256 = old.pinnedSha256;
        const bool loginApart = merged.known.loginApart || old.known.loginApart;
        const bool garbled = merged.known.garbled || old.known.garbled;
        if (!merged.known.seen)
            merged.known = old.known;
        merged.known.loginApart = loginApart;
        merged.known.garbled = garbled;
        entries.removeAt(i);
        break;
    }
    entries.prepend({key.toLower(), merged});
    while (entries.size() > kTlsMemoryMaxServers)
        entries.removeLast();
    QByteArray out = kHeading;
    for (const TlsMemoryEntry& e : std::as_const(entries)) {
        if (!writableKey(e.key))
            continue;
        out += "\n[" + e.key.toUtf8() + "]\n";
        out += kTlsSeen + " = " + yesNo(e.trust.tlsSeen) + '\n';
        if (!e.trust.pinnedSha256.isEmpty())
            out += kPinned + " = " + fingerprintText(e.trust.pinnedSha256).toLatin1() + '\n';
        out += kPlainAgreed + " = " + yesNo(e.trust.plainAgreed) + '\n';
        if (e.trust.known.seen)
            out += kCapabilities + " =" + wordsOf(e.trust.known, kCapabilityWords, true) + '\n';
        if (e.trust.known.loginApart || e.trust.known.garbled)
            out += kQuirks + " =" + wordsOf(e.trust.known, kQuirkWords, false) + '\n';
    }
    return writeFileAtomically(path, out);
}

} // namespace brindle
