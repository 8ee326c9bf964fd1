#pragma once
// A full disk for a scope: a write past the limit fails with EFBIG, even for root (unlike permissions).
#include <csignal>
#include <sys/resource.h>

namespace brindle::testing {

class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        m_ok = getrlimit(RLIMIT_FSIZE, &m_old) == 0;
        if (m_ok) {
            rlimit limited = m_old;
            limited.rlim_cur = bytes;
            m_ok = setrlimit(RLIMIT_FSIZE, &limited) == 0;
        }
    }
    ~FileSizeLimit() {
        if (m_ok)
            setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

    bool active() const { return m_ok; }

private:
    rlimit m_old{};
    bool m_ok = false;
    void (*m_oldHandler)(int) = nullptr;
};

} // namespace brindle::testing
