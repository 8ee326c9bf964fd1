#include "learn/MailFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace brindle::learn {

bool looksLikeMail(QByteArrayView start) {
    // A field name is printable ASCII other than the colon (RFC 5322 2.2), then a colon.
    qsizetype i = 0;
    while (i < start.size() && start[i] > ' ' && start[i] < 127 && start[i] != ':')
        ++i;
    return i > 0 && i < start.size() && start[i] == ':';
}

namespace {

bool isFromLine(QByteArrayView line) {
    return line.startsWith("From ");
}

// An mbox, a line at a time; a line longer than the chunk comes in pieces, and only the start of a
// line can separate messages.
bool readMbox(QFile& file, const QString& path, const MessageSink& sink, const SkipNotice& skipped) {
    QByteArray message;
    bool tooLarge = false;
    bool inMessage = false;
    int index = 0;
    auto finish = [&]() -> bool {
        if (!inMessage)
            return true;
        inMessage = false;
        if (message.endsWith("\r\n\r\n") || message.endsWith("\n\n"))
            message.chop(message.endsWith("\r\n") ? 2 : 1); // the blank line before the next "From "
        if (tooLarge) {
            skipped(path, QStringLiteral("message %1 is larger than %2 MB")
                              .arg(index)
                              .arg(kMaxTrainingMessageBytes >> 20));
        } else if (!looksLikeMail(message.left(kMailFileSniffBytes))) {
            skipped(path, QStringLiteral("message %1 is not mail").arg(index));
        } else if (!sink(std::move(message))) {
            return false;
        }
        message.clear();
        tooLarge = false;
        return true;
    };
    bool atLineStart = true;
    QByteArray piece;
    while (!file.atEnd()) {
        piece = file.readLine(kMailFileReadChunk);
        if (piece.isEmpty())
            break;
        const bool lineStart = atLineStart;
        atLineStart = piece.endsWith('\n');
        if (lineStart && isFromLine(piece)) {
            if (!finish())
                return false;
            inMessage = true;
            ++index;
            continue;
        }
        if (!inMessage)
            continue; // before the first "From " line
        if (lineStart && piece.startsWith('>')) {
            qsizetype q = 0;
            while (q < piece.size() && piece[q] == '>')
                ++q;
            if (QByteArrayView(piece).sliced(q).startsWith("From "))
                piece.remove(0, 1); // mboxrd and mboxo quote "From " lines alike
        }
        if (tooLarge)
            continue;
        if (message.size() + piece.size() > kMaxTrainingMessageBytes) {
            tooLarge = true;
            message.clear();
            message.squeeze();
            continue;
        }
        message += piece;
    }
    return finish();
}

bool readFile(const QString& path, const MessageSink& sink, const SkipNotice& skipped) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        skipped(path, QStringLiteral("cannot be read"));
        return true;
    }
    const QByteArray start = file.peek(kMailFileSniffBytes);
    if (isFromLine(start))
        return readMbox(file, path, sink, skipped);
    if (!looksLikeMail(start)) {
        skipped(path, QStringLiteral("is not mail"));
        return true;
    }
    if (file.size() > kMaxTrainingMessageBytes) {
        skipped(path, QStringLiteral("is larger than %1 MB").arg(kMaxTrainingMessageBytes >> 20));
        return true;
    }
    return sink(file.readAll());
}

QStringList filesIn(const QString& folder) {
    return QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

} // namespace

bool readMailFiles(const QStringList& paths, const MessageSink& sink, const SkipNotice& skipped) {
    for (const QString& path : paths) {
        const QFileInfo info(path);
        if (!info.exists()) {
            skipped(path, QStringLiteral("does not exist"));
            continue;
        }
        if (!info.isDir()) {
            if (!readFile(path, sink, skipped))
                return false;
            continue;
        }
        const QDir dir(path);
        QStringList files;
        for (const QString& f : filesIn(path))
            files << dir.filePath(f);
        for (const QString& sub : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
            for (const QString& f : filesIn(dir.filePath(sub)))
                files << dir.filePath(sub + u'/' + f);
        }
        for (const QString& f : std::as_const(files)) {
            if (!readFile(f, sink, skipped))
                return false;
        }
    }
    return true;
}

} // namespace brindle::learn
