#pragma once
#include <optional>
#include <QString>
#include <QStringList>

namespace brindle {

// The allow list ("許可リスト"): sender addresses, or whole domains written "@example.jp", whose mail
// no rule deletes. The file is UTF-8, one entry a line; a line whose first non-blank character is
// "#" is a comment. Entries compare without regard to letter case, and a domain entry also covers
// its subdomains ("@example.jp" allows "a@example.jp" and "b@mail.example.jp").

// "\\★MailData\\allow.txt"
QString allowListPath();

// The longest entry taken from the file or the editor. An address is at most 254 characters (RFC
// 5321 4.5.3.1.3); a longer line is no address and is ignored, so that a damaged file cannot make
// the list hold megabytes.
inline constexpr qsizetype kAllowEntryMaxChars = 254;
// A file larger than this is not read (the list is then empty): the user's list of senders is a
// few kilobytes; anything this large is not that file.
inline constexpr qint64 kAllowListMaxFileBytes = 1024 * 1024;

// The entry as it is stored and compared: blanks around it removed, full-width forms folded to
// ASCII (NFKC), lower case. nullopt when the text is no address ("name@domain") and no domain
// ("@domain"): blank, a comment, spaces inside, no or several "@", too long.
std::optional<QString> normalizeAllowEntry(const QString& text);

// The entries of the file, normalized, in file order, without repeats. A missing or unreadable file
// is an empty list; lines that are no entry are skipped.
QStringList readAllowList(const QString& path = allowListPath());

// Whether the address (as the mail's From gives it) is allowed by one of the entries.
bool allowListMatches(const QStringList& entries, const QString& address);

// Adds the entry (normalized) at the end of the file, unless it is there already; the other lines,
// comments included, are kept as they are. The file is replaced atomically and made when missing.
// False when the text is no entry or the file could not be written.
bool addToAllowList(const QString& entry, const QString& path = allowListPath());

// Removes every line holding this entry (compared normalized); the other lines stay as they are.
// False when the file could not be written; true when there was nothing to remove.
bool removeFromAllowList(const QString& entry, const QString& path = allowListPath());

} // namespace brindle
