#pragma once
#include <QByteArray>
#include <QString>

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
// Other multi-line replies (CAPA, LIST for the largest mailbox we accept).
inline constexpr qsizetype kPop3MaxListingBytes = 32 * 1024 * 1024;
// RFC 1939 7: a unique-id is 1 to 70 characters; a longer one is taken as no id at all.
inline constexpr qsizetype kPop3MaxUidlBytes = 70;

struct Pop3Reply {
    bool ok = false;       // +OK
    QByteArray text;       // what follows +OK / -ERR on the status line
    QByteArray body;       // multi-line data, dot-unstuffed, each line ended by CR LF
    bool tooLarge = false; // the data passed its limit: the rest was read and dropped
};

// Reads POP3 replies from a byte stream, however the bytes are split. Over-long data lines are
// dropped (the reply is marked tooLarge) so that the stream stays in step; a status line that is
// not +OK or -ERR, or is over-long, makes the stream unusable (Malformed).
class Pop3ReplyParser {
public:
    enum class Result { NeedMore, Reply, Malformed };

    // The next reply: multiLine when an +OK is followed by data lines up to a lone ".".
    void expect(bool multiLine, qsizetype bodyLimit);
    // Consumes bytes from the front of buffer, at most up to the end of the expected reply.
    Result feed(QByteArray& buffer);
    // The reply after feed() returned Reply.
    Pop3Reply take();
    // Why feed() returned Malformed (English, for logs and tests).
    QString error() const { return m_error; }
    bool idle() const { return m_state == State::Idle; }

private:
    enum class State { Idle, Status, Data, Done, Broken };
    Result feedFrom(const QByteArray& buffer, qsizetype& pos);
    bool nextLine(const QByteArray& buffer, qsizetype& pos, QByteArrayView& line, bool& overlong);

    State m_state = State::Idle;
    bool m_multiLine = false;
    qsizetype m_limit = 0;
    bool m_discardingLine = false; // inside an over-long data line, dropping up to its LF
    Pop3Reply m_reply;
    QString m_error;
};

} // namespace brindle
