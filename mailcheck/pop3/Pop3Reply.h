#pragma once
#include <QByteArray>
#include <QString>

#include <optional>

namespace brindle {

// Limits on what a POP3 server may send. The server is not trusted: every limit keeps a broken or
// hostile server from exhausting memory.

// One line of a reply. RFC 1939 allows 512 octets, but real servers send longer header lines and
// unwrapped base64 bodies; 64 KiB is far beyond any of those and still cheap to hold.
inline constexpr qsizetype kPop3MaxLineBytes = 64 * 1024;
// The header block of one message (TOP n 0). Genuine headers are a few kilobytes; 1 MiB leaves
// room for long Received chains while bounding the read-ahead buffer.
inline constexpr qsizetype kPop3MaxHeaderBytes = 1024 * 1024;
// One whole message (RETR n). Mail larger than this is not judged by its text.
inline constexpr qsizetype kPop3MaxMessageBytes = 64 * 1024 * 1024;
// The LIST and UIDL listings of the largest mailbox we accept.
inline constexpr qsizetype kPop3MaxListingBytes = 32 * 1024 * 1024;
// A capability list (CAPA): a few dozen short lines in practice.
inline constexpr qsizetype kPop3MaxCapaBytes = 64 * 1024;
// RFC 1939 7: a unique-id is 1 to 70 characters; a longer one is taken as no id at all.
inline constexpr qsizetype kPop3MaxUidlBytes = 70;

// What one reply may take on the wire, status line, dot-stuffing and terminator included. Past its
// budget a reply is no longer read: the server is flooding, and the connection is dropped at once.
// A single-line reply (and a greeting): RFC 1939 allows 512 octets; real servers stay far below 4 KiB.
inline constexpr qsizetype kPop3MaxStatusReplyBytes = 4 * 1024;
// Added to every multi-line budget: the status line, the terminator, and a listing's few lines more
// than the count it was sized by.
inline constexpr qsizetype kPop3ReplyMarginBytes = 64 * 1024;
// Data on the wire per byte of a listed size: a server may list a message stored with bare LF, and
// each line may be dot-stuffed, so that a line of one character takes four octets instead of two.
inline constexpr qsizetype kPop3WireGrowth = 2;
// One line of a LIST or UIDL listing: "n size" or "n unique-id" (an id is at most 70 characters).
inline constexpr qsizetype kPop3MaxListingLineBytes = 128;

struct Pop3Reply {
    bool ok = false;       // +OK
    QByteArray text;       // what follows +OK / -ERR on the status line
    QByteArray body;       // multi-line data, dot-unstuffed, each line ended by CR LF
    bool tooLarge = false; // the data passed its limit: the rest was read and dropped
};

// The wire budget of a multi-line reply whose data is at most dataBytes long (unstuffed, as listed).
inline qsizetype pop3WireBudget(qsizetype dataBytes) {
    return qMax<qsizetype>(dataBytes, 0) * kPop3WireGrowth + kPop3ReplyMarginBytes;
}

// Reads POP3 replies from a byte stream, however the bytes are split. Over-long data lines are
// dropped (the reply is marked tooLarge) so that the stream stays in step; a status line that is
// not +OK or -ERR, or is over-long, makes the stream unusable (Malformed), and so does a reply that
// takes more than its wire budget (Malformed, overBudget()): bytes of the reply still waiting in the
// buffer count, so that a line without end is caught as soon as it passes the budget.
class Pop3ReplyParser {
public:
    enum class Result { NeedMore, Reply, Malformed };

    // The next reply: multiLine when an +OK is followed by data lines up to a lone ".".
    void expect(bool multiLine, qsizetype bodyLimit, qsizetype wireBudget = kPop3MaxMessageBytes);
    // Consumes bytes from the front of buffer, at most up to the end of the expected reply.
    Result feed(QByteArray& buffer);
    // The reply after feed() returned Reply.
    Pop3Reply take();
    // Why feed() returned Malformed (English, for logs and tests).
    QString error() const { return m_error; }
    // The Malformed came of a reply longer than its wire budget.
    bool overBudget() const { return m_overBudget; }
    bool idle() const { return m_state == State::Idle; }

private:
    enum class State { Idle, Status, Data, Done, Broken };
    Result feedFrom(const QByteArray& buffer, qsizetype& pos);
    // One data line that is not plain (see feedFrom): a result, or nothing when reading goes on.
    std::optional<Result> takeLine(const QByteArray& buffer, qsizetype& pos);
    bool nextLine(const QByteArray& buffer, qsizetype& pos, QByteArrayView& line, bool& overlong);

    State m_state = State::Idle;
    bool m_multiLine = false;
    qsizetype m_limit = 0;
    qsizetype m_budget = 0;
    qsizetype m_wireBytes = 0; // of the reply under way, consumed from the buffer
    bool m_overBudget = false;
    bool m_discardingLine = false; // inside an over-long data line, dropping up to its LF
    Pop3Reply m_reply;
    QString m_error;
};

} // namespace brindle
