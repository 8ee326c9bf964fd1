#include "LatencyProxy.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <deque>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace brindle::bench {

namespace {

// One read takes at most this much; a chunk is what one read returned, as a router would forward it.
constexpr size_t kReadBytes = 256 * 1024;
// What one direction holds in flight at most before it stops reading (and TCP flow control slows
// the sender). Far above a bandwidth-delay product at these delays, so that it never limits the
// bandwidth; it only keeps a runaway peer from filling memory.
constexpr std::int64_t kMaxInFlightBytes = 256LL * 1024 * 1024;
// The first letters of a command or reply line decide what it is; the rest is not kept.
constexpr int kLinePrefix = 16;

bool startsWith(const std::string& s, const char* prefix) {
    return s.compare(0, std::strlen(prefix), prefix) == 0;
}

void setNoDelay(int fd) {
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

} // namespace

// Follows the POP3 dialogue in both directions to know how many replies the client still awaits.
struct LatencyProxy::Connection {
    int clientFd = -1;
    int serverFd = -1;
    int halfRttUs = 0;
    std::thread toServer, toClient;
    std::mutex mutex;
    ConnectionTrace trace;
    // Guarded by mutex.
    int owed = 1;                       // replies not yet delivered whole; the greeting first
    std::deque<bool> multiLine{false};  // per owed reply: multi-line when it is +OK
    std::string commandLine, replyLine; // prefixes of the current lines
    bool partialCommand = false;
    bool inBody = false;

    ~Connection() {
        if (toServer.joinable())
            toServer.join();
        if (toClient.joinable())
            toClient.join();
        ::close(clientFd);
        ::close(serverFd);
    }

    void commandBytes(const char* p, size_t n, Clock::time_point at) {
        std::lock_guard lock(mutex);
        trace.events.push_back({at, true, std::int64_t(n), owed + (partialCommand ? 1 : 0)});
        for (size_t i = 0; i < n && !trace.opaque; ++i) {
            if (p[i] != '\n') {
                if (commandLine.size() < size_t(kLinePrefix))
                    commandLine += char(std::toupper(static_cast<unsigned char>(p[i])));
                partialCommand = true;
                continue;
            }
            partialCommand = false;
            std::string line = commandLine;
            commandLine.clear();
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (line.empty())
                continue;
            const bool hasArgument = line.find(' ') != std::string::npos;
            const bool multi = startsWith(line, "CAPA") || startsWith(line, "RETR") ||
                               startsWith(line, "TOP") ||
                               ((startsWith(line, "LIST") || startsWith(line, "UIDL")) && !hasArgument);
            multiLine.push_back(multi);
            ++owed;
            if (line == "STLS")
                trace.opaque = true;
        }
    }

    void replyBytes(const char* p, size_t n, Clock::time_point at) {
        std::lock_guard lock(mutex);
        trace.events.push_back({at, false, std::int64_t(n), 0});
        for (size_t i = 0; i < n && !trace.opaque; ++i) {
            if (p[i] != '\n') {
                if (replyLine.size() < size_t(kLinePrefix))
                    replyLine += p[i];
                continue;
            }
            std::string line = replyLine;
            replyLine.clear();
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (inBody) {
                if (line == ".") {
                    inBody = false;
                    --owed;
                }
                continue;
            }
            if (multiLine.empty())
                continue; // a reply to nothing: not counted
            const bool multi = multiLine.front();
            multiLine.pop_front();
            if (multi && startsWith(line, "+OK"))
                inBody = true;
            else
                --owed;
        }
    }

    // Relays one direction: each chunk is written halfRttUs after it was read, in order.
    void pump(bool clientToServer) {
        const int src = clientToServer ? clientFd : serverFd;
        const int dst = clientToServer ? serverFd : clientFd;
        struct Chunk {
            Clock::time_point due;
            std::string data;
        };
        std::deque<Chunk> queue;
        std::int64_t queued = 0;
        bool eof = false;
        // The connect's own round trip, which loopback does not have: the greeting comes one whole
        // round trip after the connect, as over a network.
        std::chrono::microseconds extra =
            clientToServer ? std::chrono::microseconds(0) : std::chrono::microseconds(halfRttUs);
        std::vector<char> buffer(kReadBytes);
        while (!eof || !queue.empty()) {
            const Clock::time_point now = Clock::now();
            while (!queue.empty() && queue.front().due <= now) {
                Chunk& c = queue.front();
                // Counted before the write: the client may answer before this thread runs again.
                if (!clientToServer)
                    replyBytes(c.data.data(), c.data.size(), Clock::now());
                if (!writeAll(dst, c.data.data(), c.data.size())) {
                    queue.clear();
                    eof = true;
                    break;
                }
                queued -= std::int64_t(c.data.size());
                queue.pop_front();
            }
            if (eof && queue.empty())
                break;
            pollfd pfd{src, short(!eof && queued < kMaxInFlightBytes ? POLLIN : 0), 0};
            timespec timeout{};
            timespec* wait = nullptr;
            if (!queue.empty()) {
                const auto left = std::max<std::int64_t>(
                    0, std::chrono::duration_cast<std::chrono::nanoseconds>(queue.front().due - Clock::now())
                           .count());
                timeout = {time_t(left / 1000000000), long(left % 1000000000)};
                wait = &timeout;
            }
            if (::ppoll(&pfd, 1, wait, nullptr) <= 0 || !(pfd.revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const ssize_t n = ::read(src, buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                eof = true;
                continue;
            }
            const Clock::time_point at = Clock::now();
            if (clientToServer)
                commandBytes(buffer.data(), size_t(n), at);
            queue.push_back(
                {at + std::chrono::microseconds(halfRttUs) + extra, std::string(buffer.data(), n)});
            extra = std::chrono::microseconds(0);
            queued += n;
        }
        ::shutdown(dst, SHUT_WR);
    }
};

int countRoundTrips(const ConnectionTrace& trace) {
    if (trace.events.empty())
        return 0;
    int trips = 1;
    for (const TraceEvent& e : trace.events)
        trips += e.toServer && e.owedReplies == 0 ? 1 : 0;
    return trips;
}

LatencyProxy::~LatencyProxy() {
    if (m_acceptor.joinable()) {
        const char stop = 's';
        (void)!::write(m_stopPipe[1], &stop, 1);
        m_acceptor.join();
    }
    takeTraces();
    for (int fd : {m_listenFd, m_stopPipe[0], m_stopPipe[1]})
        if (fd >= 0)
            ::close(fd);
}

bool LatencyProxy::start(std::uint16_t targetPort) {
    m_targetPort = targetPort;
    if (::pipe(m_stopPipe) != 0)
        return false;
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (m_listenFd < 0 || ::bind(m_listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(m_listenFd, 16) != 0 ||
        ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return false;
    m_port = ntohs(addr.sin_port);
    m_acceptor = std::thread([this] { acceptLoop(); });
    return true;
}

void LatencyProxy::acceptLoop() {
    for (;;) {
        pollfd fds[2] = {{m_listenFd, POLLIN, 0}, {m_stopPipe[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        if (fds[1].revents)
            return;
        if (!(fds[0].revents & POLLIN))
            continue;
        const int client = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        const Clock::time_point accepted = Clock::now();
        if (client < 0)
            continue;
        const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(m_targetPort);
        if (server < 0 || ::connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(client);
            if (server >= 0)
                ::close(server);
            continue;
        }
        setNoDelay(client);
        setNoDelay(server);
        auto* c = new Connection;
        c->clientFd = client;
        c->serverFd = server;
        c->halfRttUs = m_rttUs / 2;
        c->trace.accepted = accepted;
        c->toServer = std::thread([c] { c->pump(true); });
        c->toClient = std::thread([c] { c->pump(false); });
        std::lock_guard lock(m_mutex);
        m_connections.push_back(c);
    }
}

std::vector<ConnectionTrace> LatencyProxy::takeTraces() {
    std::vector<Connection*> done;
    {
        std::lock_guard lock(m_mutex);
        done.swap(m_connections);
    }
    std::vector<ConnectionTrace> traces;
    for (Connection* c : done) {
        c->toServer.join();
        c->toClient.join();
        traces.push_back(std::move(c->trace));
        delete c;
    }
    return traces;
}

} // namespace brindle::bench
