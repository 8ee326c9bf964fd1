#include "mailcheck/pop3/Pop3Reply.h"

#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace brindle {

namespace {

// The end of the plain data lines that start at the line start pos (pos > 0): each ended by CR LF,
// with at least one byte before them, not starting with a dot, within kPop3MaxLineBytes; pos when
// the first is not plain. Reads sixteen bytes at a time and stops short of the buffer's last
// seventeen, which the caller reads line by line; without the vectors it leaves every line to the
// caller.
qsizetype plainLinesEnd(const char* d, qsizetype pos, qsizetype size) {
#if defined(__SSE2__)
    if (pos <= 0 || pos >= size || d[pos] == '.')
        return pos;
    const __m128i lfs = _mm_set1_epi8('\n'), crs = _mm_set1_epi8('\r'), dots = _mm_set1_epi8('.');
    qsizetype lineStart = pos; // of the line under way
    qsizetype q = pos;
    while (q + 17 <= size) {
        const auto load = [d](qsizetype at) {
            return _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + at));
        };
        const unsigned lf = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(load(q), lfs)));
        if (lf == 0) {
            q += 16;
            if (q - lineStart > kPop3MaxLineBytes)
                return lineStart;
            continue;
        }
        if (q + __builtin_ctz(lf) - lineStart > kPop3MaxLineBytes)
            return lineStart;
        // A line feed ends a line that is not plain when no CR comes before it (the byte before an
        // empty line's LF is the previous LF); one followed by a dot begins a line that is not.
        const unsigned bare = lf & ~unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(load(q - 1), crs)));
        const unsigned dotted = lf & unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(load(q + 1), dots)));
        if (const unsigned stop = bare | dotted; stop != 0) {
            const int k = __builtin_ctz(stop);
            if ((bare >> k & 1) == 0)
                return q + k + 1; // the line ends plain; the next begins with a dot
            const unsigned before = lf & ((1u << k) - 1);
            return before != 0 ? q + (31 - __builtin_clz(before)) + 1 : lineStart;
        }
        lineStart = q + (31 - __builtin_clz(lf)) + 1;
        q += 16;
    }
    return lineStart;
#else
    Q_UNUSED(d);
    Q_UNUSED(size);
    return pos;
#endif
}

} // namespace

void Pop3ReplyParser::expect(bool multiLine, qsizetype bodyLimit, qsizetype wireBudget) {
    m_state = State::Status;
    m_multiLine = multiLine;
    m_limit = bodyLimit;
    m_budget = wireBudget;
    m_wireBytes = 0;
    m_overBudget = false;
    m_discardingLine = false;
    m_reply = Pop3Reply();
    m_error.clear();
}

// Takes one line without its line end. Bare LF ends a line too: some servers send it.
// pos is where unread bytes start; the caller removes the consumed prefix once, which keeps a
// large reply linear in its size.
bool Pop3ReplyParser::nextLine(const QByteArray& buffer, qsizetype& pos, QByteArrayView& line,
                               bool& overlong) {
    overlong = false;
    const qsizetype eol = buffer.indexOf('\n', pos);
    if (eol < 0) {
        if (buffer.size() - pos > kPop3MaxLineBytes) {
            overlong = true;
            pos = buffer.size();
        }
        return false;
    }
    if (eol - pos > kPop3MaxLineBytes) {
        overlong = true;
        pos = eol + 1;
        return true;
    }
    line = QByteArrayView(buffer).sliced(pos, eol - pos);
    pos = eol + 1;
    if (line.endsWith('\r'))
        line.chop(1);
    return true;
}

Pop3ReplyParser::Result Pop3ReplyParser::feed(QByteArray& buffer) {
    qsizetype pos = 0;
    const Result r = feedFrom(buffer, pos);
    // Until the reply ends, whatever waits in the buffer is still its own.
    const qsizetype pending = r == Result::NeedMore ? buffer.size() - pos : 0;
    buffer.remove(0, pos);
    m_wireBytes += pos;
    if (r != Result::Malformed && m_wireBytes + pending > m_budget && m_state != State::Idle) {
        m_state = State::Broken;
        m_overBudget = true;
        m_error = QStringLiteral("reply longer than %1 bytes").arg(m_budget);
        return Result::Malformed;
    }
    return r;
}

Pop3ReplyParser::Result Pop3ReplyParser::feedFrom(const QByteArray& buffer, qsizetype& pos) {
    if (m_state == State::Broken)
        return Result::Malformed;
    if (m_state == State::Done)
        return Result::Reply;
    if (m_state == State::Idle)
        return Result::NeedMore;

    QByteArrayView line;
    bool overlong = false;
    if (m_state == State::Status) {
        if (!nextLine(buffer, pos, line, overlong)) {
            if (overlong) {
                m_state = State::Broken;
                m_error = QStringLiteral("status line longer than %1 bytes").arg(kPop3MaxLineBytes);
                return Result::Malformed;
            }
            return Result::NeedMore;
        }
        if (overlong) {
            m_state = State::Broken;
            m_error = QStringLiteral("status line longer than %1 bytes").arg(kPop3MaxLineBytes);
            return Result::Malformed;
        }
        auto starts = [&](const char* indicator, qsizetype n) {
            return line.size() >= n && qstrnicmp(line.constData(), indicator, n) == 0 &&
                   (line.size() == n || line[n] == ' ');
        };
        if (starts("+OK", 3)) {
            m_reply.ok = true;
            m_reply.text = (line.size() > 4 ? line.sliced(4) : QByteArrayView()).toByteArray();
        } else if (starts("-ERR", 4)) {
            m_reply.ok = false;
            m_reply.text = (line.size() > 5 ? line.sliced(5) : QByteArrayView()).toByteArray();
        } else {
            m_state = State::Broken;
            m_error = QStringLiteral("not a POP3 reply: \"%1\"")
                          .arg(QString::fromLatin1(line.first(qMin<qsizetype>(80, line.size()))));
            return Result::Malformed;
        }
        if (!m_reply.ok || !m_multiLine) {
            m_state = State::Done;
            return Result::Reply;
        }
        m_state = State::Data;
    }

    // Lines that stand in the body as they stand on the wire (ended by CR LF, no leading dot, within
    // the limits) are taken as one run, [runBegin, pos), and appended at once; any other line goes
    // through takeLine.
    const char* const data = buffer.constData();
    const qsizetype size = buffer.size();
    qsizetype runBegin = pos;
    while (true) {
        if (!m_discardingLine && !m_reply.tooLarge) {
            if (const qsizetype end = plainLinesEnd(data, pos, size);
                end > pos && m_reply.body.size() + (end - runBegin) <= m_limit)
                pos = end;
            if (const void* nl = std::memchr(data + pos, '\n', std::size_t(size - pos)); nl != nullptr) {
                const qsizetype eol = static_cast<const char*>(nl) - data;
                const qsizetype raw = eol - pos;
                if (raw >= 1 && raw <= kPop3MaxLineBytes && data[pos] != '.' && data[eol - 1] == '\r' &&
                    m_reply.body.size() + (eol + 1 - runBegin) <= m_limit) {
                    pos = eol + 1;
                    continue;
                }
            }
        }
        if (pos > runBegin)
            m_reply.body.append(QByteArrayView(data + runBegin, pos - runBegin));
        if (const std::optional<Result> r = takeLine(buffer, pos))
            return *r;
        runBegin = pos;
    }
}

std::optional<Pop3ReplyParser::Result> Pop3ReplyParser::takeLine(const QByteArray& buffer, qsizetype& pos) {
    QByteArrayView line;
    bool overlong = false;
    if (m_discardingLine) {
        const qsizetype eol = buffer.indexOf('\n', pos);
        if (eol < 0) {
            pos = buffer.size();
            return Result::NeedMore;
        }
        pos = eol + 1;
        m_discardingLine = false;
        return std::nullopt;
    }
    if (!nextLine(buffer, pos, line, overlong)) {
        if (overlong) {
            m_reply.tooLarge = true;
            m_discardingLine = true;
        }
        return Result::NeedMore;
    }
    if (overlong) {
        m_reply.tooLarge = true;
        return std::nullopt;
    }
    if (line == ".") {
        m_state = State::Done;
        return Result::Reply;
    }
    if (line.startsWith('.'))
        line = line.sliced(1);
    if (m_reply.tooLarge)
        return std::nullopt;
    if (m_reply.body.size() + line.size() + 2 > m_limit) {
        m_reply.tooLarge = true;
        m_reply.body.clear();
        m_reply.body.squeeze();
        return std::nullopt;
    }
    m_reply.body.append(line);
    m_reply.body.append("\r\n");
    return std::nullopt;
}

Pop3Reply Pop3ReplyParser::take() {
    m_state = State::Idle;
    return std::move(m_reply);
}

} // namespace brindle
