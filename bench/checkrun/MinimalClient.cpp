#include "MinimalClient.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace brindle::bench {

namespace {

// A reply line longer than this is no POP3: the client gives up instead of growing its buffer.
constexpr size_t kMaxLineBytes = 4096;
constexpr size_t kReadBytes = 256 * 1024;

bool writeAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

// Reads until `lines` line ends have arrived; what came after them stays in `buffer`.
bool readLines(int fd, std::string& buffer, int lines, std::vector<std::string>& out, std::int64_t& bytes) {
    std::vector<char> chunk(kReadBytes);
    while (int(out.size()) < lines) {
        const size_t end = buffer.find('\n');
        if (end != std::string::npos) {
            out.push_back(buffer.substr(0, end));
            buffer.erase(0, end + 1);
            continue;
        }
        if (buffer.size() > kMaxLineBytes)
            return false;
        const ssize_t n = ::recv(fd, chunk.data(), chunk.size(), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        buffer.append(chunk.data(), size_t(n));
    }
    return true;
}

} // namespace

MinimalResult runMinimalClient(std::uint16_t port, const std::string& user, const std::string& password) {
    MinimalResult r;
    const auto started = std::chrono::steady_clock::now();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        r.error = "connect failed";
        if (fd >= 0)
            ::close(fd);
        return r;
    }
    std::string buffer;
    std::vector<std::string> lines;
    bool ok = readLines(fd, buffer, 1, lines, r.bytes) &&
              writeAll(fd, "USER " + user + "\r\nPASS " + password + "\r\nSTAT\r\n") &&
              readLines(fd, buffer, 4, lines, r.bytes);
    if (!ok || lines[3].rfind("+OK ", 0) != 0) {
        r.error = "login failed: " + (lines.empty() ? std::string() : lines.back().substr(0, 80));
        ::close(fd);
        return r;
    }
    r.messages = std::stoi(lines[3].substr(4));
    std::string fetches;
    for (int i = 1; i <= r.messages; ++i)
        fetches += "RETR " + std::to_string(i) + "\r\n";
    fetches += "QUIT\r\n";
    // The flight goes out from its own thread so that reading never waits for the writing.
    bool written = false;
    std::thread writer([&] { written = writeAll(fd, fetches); });
    std::vector<char> chunk(kReadBytes);
    for (;;) {
        const ssize_t n = ::recv(fd, chunk.data(), chunk.size(), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        r.bytes += n;
    }
    writer.join();
    ::close(fd);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    r.ok = written;
    if (!written)
        r.error = "the fetches could not be sent";
    return r;
}

} // namespace brindle::bench
