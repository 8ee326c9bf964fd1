#pragma once
// A TCP relay on loopback that makes a local POP3 server look far away: every chunk read from one
// side is written to the other RTT/2 later, in order, with no limit on bandwidth. It keeps a trace
// of what passed and counts the client's round trips from it. Plain POP3 only: after STLS the bytes
// are opaque and the counting stops.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace brindle::bench {

using Clock = std::chrono::steady_clock;

struct TraceEvent {
    Clock::time_point at; // client to server: when the client sent it; server to client: delivered
    bool toServer = false;
    std::int64_t bytes = 0;
    // Client to server only: the replies the client still awaited when it sent this chunk (the
    // greeting counts as one). Zero means it had waited idle for the server.
    int owedReplies = 0;
};

struct ConnectionTrace {
    Clock::time_point accepted;
    std::vector<TraceEvent> events;
    bool opaque = false; // STLS was sent: the rest could not be followed
};

// The round trips of one connection, from its trace. A round trip is a time the client waits idle
// for the server: it has sent everything it had, and sends again only after the server answered
// all of it. So a chunk from the client that arrives while it owes nothing (every command sent
// before it fully answered, the greeting included) ends one round trip; the connect and greeting
// begin the first, and the wait for the last replies (QUIT's) ends the last one:
//     round trips = 1 + (client chunks sent while no reply was owed).
// A client that keeps a window of commands in flight and refills it as replies arrive never owes
// nothing, so refills do not count; one that waits for its whole window to drain pays each time.
int countRoundTrips(const ConnectionTrace& trace);

class LatencyProxy {
public:
    LatencyProxy() = default;
    ~LatencyProxy();
    LatencyProxy(const LatencyProxy&) = delete;
    LatencyProxy& operator=(const LatencyProxy&) = delete;

    // Listens on 127.0.0.1 (a free port) and relays each connection to 127.0.0.1:targetPort.
    bool start(std::uint16_t targetPort);
    std::uint16_t port() const { return m_port; }
    // The round-trip time the relay adds; applies to connections accepted afterwards.
    void setRttMs(int ms) { m_rttUs = ms * 1000; }
    // The traces of the connections since the last call, each complete (its relays have ended).
    std::vector<ConnectionTrace> takeTraces();

private:
    struct Connection;
    void acceptLoop();

    int m_listenFd = -1;
    int m_stopPipe[2] = {-1, -1};
    std::uint16_t m_port = 0;
    std::uint16_t m_targetPort = 0;
    std::atomic<int> m_rttUs{0};
    std::thread m_acceptor;
    std::mutex m_mutex;
    std::vector<Connection*> m_connections;
};

} // namespace brindle::bench
