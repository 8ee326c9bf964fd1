#pragma once
// The least a POP3 client can do to download a mailbox: wait for the greeting, send USER, PASS and
// STAT in one write, then every RETR and QUIT in one write, and read to the end. It parses nothing
// but the greeting's line and STAT's count: the floor the other clients are measured against.
#include <cstdint>
#include <string>

namespace brindle::bench {

struct MinimalResult {
    bool ok = false;
    double seconds = 0; // from before the connect to the server's close
    int messages = 0;   // STAT's count
    std::int64_t bytes = 0;
    std::string error;
};

MinimalResult runMinimalClient(std::uint16_t port, const std::string& user, const std::string& password);

} // namespace brindle::bench
