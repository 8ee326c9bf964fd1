#pragma once
// Mail saved in files, for learning: .eml files (one message each), mbox files (mboxrd or mboxo,
// messages after "From " lines) and folders of them.
#include <functional>
#include <QByteArray>
#include <QString>
#include <QStringList>

namespace brindle::learn {

// A message longer than this is skipped with a warning: the tokenizer reads only the start of a
// message (kMaxTextChars), and a batch of such messages must fit in memory. POP3 servers we fetch
// from give at most 64 MB; mail this large is attachments, which teach nothing.
inline constexpr qint64 kMaxTrainingMessageBytes = 16LL * 1024 * 1024;
// An mbox is read this many bytes of a line at a time, never whole: a 1 GB mbox, or one line of a
// gigabyte, costs this much memory beyond the message being gathered.
inline constexpr qint64 kMailFileReadChunk = 64 * 1024;
// The first line of an .eml is looked at this far to tell mail from other files.
inline constexpr qint64 kMailFileSniffBytes = 998; // RFC 5322's longest line

// What is not learned, and why (an English sentence; the path as given, not yet sanitized).
using SkipNotice = std::function<void(const QString& path, const QString& why)>;
// A message read, its bytes as in the file (mboxrd's ">From " quoting undone). False stops reading.
using MessageSink = std::function<bool(QByteArray&& raw)>;

// Reads each path: a file holding one message, an mbox, or a folder, whose files and the files of
// its subfolders (one level: maildir's cur and new) are read in name order. What is no mail (no
// header field on its first line) is skipped with a notice. False when the sink stopped the reading.
bool readMailFiles(const QStringList& paths, const MessageSink& sink, const SkipNotice& skipped);

// True when the text starts as a message does: a header field name and its colon.
bool looksLikeMail(QByteArrayView start);

} // namespace brindle::learn
