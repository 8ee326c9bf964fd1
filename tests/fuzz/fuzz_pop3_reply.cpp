// The POP3 reply reader and the server-text parsers fed arbitrary server bytes. Byte 0: which of up to
// eight replies are multi-line; 1: the cuts into reads and each reply's wire budget; 2: the data limit.
#include "mailcheck/pop3/Pop3Reply.h"
#include "mailcheck/pop3/Pop3Session.h"

#include <cstdint>
#include <cstdlib>

using namespace brindle;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3)
        return 0;
    const uint8_t shape = data[0];
    const size_t chunk = 1 + data[1] % 64;
    const qsizetype limit = 16 + qsizetype(data[2]) * 64;
    const qsizetype budget = 32 + qsizetype(data[1]) * 512;
    const QByteArray stream(reinterpret_cast<const char*>(data + 3), qsizetype(size - 3));

    Pop3ReplyParser parser;
    QByteArray buffer;
    int next = 0;
    bool stop = false;
    qsizetype consumed = 0; // of the reply under way
    for (qsizetype from = 0; from < stream.size() && !stop && next < 8; from += qsizetype(chunk)) {
        buffer.append(stream.mid(from, qsizetype(chunk)));
        while (next < 8) {
            if (parser.idle()) {
                parser.expect((shape >> next) & 1, limit, budget);
                consumed = 0;
            }
            const qsizetype before = buffer.size();
            const auto r = parser.feed(buffer);
            if (buffer.size() > before)
                std::abort(); // feeding never adds bytes
            consumed += before - buffer.size();
            // Within its budget, what waits in the buffer counted, or refused.
            if (r == Pop3ReplyParser::Result::NeedMore && consumed + buffer.size() > budget)
                std::abort();
            if (r == Pop3ReplyParser::Result::Reply && consumed > budget)
                std::abort();
            if (r == Pop3ReplyParser::Result::NeedMore)
                break;
            if (r == Pop3ReplyParser::Result::Malformed) {
                stop = true;
                break;
            }
            const Pop3Reply reply = parser.take();
            if (reply.body.size() > limit)
                std::abort();
            if (!reply.body.isEmpty() && !reply.body.endsWith("\r\n"))
                std::abort();
            ++next;
        }
        // Unread bytes stay bounded by one line (plus the chunk that just came in).
        if (buffer.size() > kPop3MaxLineBytes + qsizetype(chunk) + 1)
            std::abort();
    }

    const QByteArray line = stream.left(512);
    const QByteArray ts = apopTimestampOf(line);
    if (!ts.isEmpty() && (!ts.startsWith('<') || !ts.endsWith('>') || !ts.contains('@')))
        std::abort();
    Pop3AddressError error{Pop3AddressError::Problem::BadPort, QStringLiteral("unset")};
    const QString text = QString::fromUtf8(line);
    const auto address = parsePop3Address(text, &error);
    if (address && (address->host.isEmpty() || address->port == 0))
        std::abort();
    // A refusal says why, quoting no more than a bounded part of the text.
    if (!address && (error.part == QStringLiteral("unset") || error.part.size() > 100))
        std::abort();
    return 0;
}
