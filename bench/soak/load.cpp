// The soak's load: a steady mix of DNS queries to a proxy on 127.0.0.1:PORT, each one tracked to
// its answer or its deadline, on one thread.
//   bench-soak-load --port P --rate Q --seconds S [--connections K]
// Every 10 s, and once more at the end after the last deadline, it prints one line of JSON with
// the counts so far; exit 0 when it ran to the end (the verdict is the caller's), 1 when it
// could not start, 2 for bad usage.
//
// Names and what the proxy owes for them (the upstream's fate of a name is in fate.h):
//   N.blocked.soak    blocked by every list: answered by the proxy with 0.0.0.0
//   N.flip-a.soak     blocked by every other list (flip-b by the others): 0.0.0.0 or relayed
//   N.relay.soak      never blocked: relayed, answered with the upstream's 192.0.2.53 unless the
//                     upstream drops it or holds it past the proxy's timeout
// Malformed datagrams (garbage, headers cut short, messages with QR set) go from a socket of
// their own; a message with QR set must never be answered.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "common/synthetic.h"
#include "soak/fate.h"

namespace {

using Clock = std::chrono::steady_clock;
using sieveharbor::bench::Fate;

// Long enough for an answer the upstream held back 4.5 s, plus the proxy's own delays.
constexpr auto kDeadline = std::chrono::seconds(8);
// Held back less than this: the proxy must relay the answer. Longer: it may have given up (at
// 5 s), or, on a busy machine, seen the answer before its timer; either is right.
constexpr int kSureAnsweredMs = 4500;
// Reads of one socket per readiness event, so that one busy socket does not hold up the rest.
constexpr int kReadsPerEvent = 256;

volatile std::sig_atomic_t stopRequested = 0;

enum class Kind { blocked, flipA, flipB, relay, garbage, truncated, response, count };
enum class Transport { udp, tcpKept, tcpShort, count };
enum class Expect : std::uint8_t { must, may, mustNot };

const char* kindName(Kind k) {
    static const char* names[] = {"blocked", "flip_a",    "flip_b",  "relay",
                                  "garbage", "truncated", "response"};
    return names[static_cast<int>(k)];
}
const char* transportName(Transport t) {
    static const char* names[] = {"udp", "tcp_kept", "tcp_short"};
    return names[static_cast<int>(t)];
}

struct Tally {
    std::uint64_t sent = 0, answered = 0, missed = 0, unexpected = 0, wrong = 0, twice = 0;
    std::uint64_t asBlocked = 0, asRelayed = 0;  // flip names: which way the list had them
};

struct Stats {
    std::array<std::array<Tally, static_cast<int>(Kind::count)>, static_cast<int>(Transport::count)>
        tally{};
    std::uint64_t late = 0;           // a reply after its query's deadline
    std::uint64_t stray = 0;          // a reply to an id never asked
    std::uint64_t foreign = 0;        // one for a name this run never made: another's traffic
    std::uint64_t tcpClosed = 0;      // kept-open connections the proxy ended
    std::uint64_t connectFailed = 0;  // TCP connections the proxy refused or reset at once
    std::uint64_t sendErrors = 0;
    std::uint64_t behind = 0;  // queries the pacing could not send on time (sent late)
    std::array<std::uint64_t, 1001> latencyMs{};  // answers not held back, by whole milliseconds
    Tally& of(Transport t, Kind k) { return tally[static_cast<int>(t)][static_cast<int>(k)]; }
};

struct Slot {
    std::uint32_t serial = 0;  // 0: free
    Kind kind{};
    Transport transport{};
    Expect expect{};
    bool timed = false;     // answered at once by the proxy or the upstream: its latency is kept
    bool expired = false;   // the last query with this id ran out its deadline
    bool answered = false;  // the last query with this id was answered
    std::uint32_t nameHash = 0;
    Clock::time_point sentAt;
};

struct Channel {
    int fd = -1;
    Transport transport{};
    bool connecting = false;
    std::uint16_t nextId = 1;
    int active = 0;  // slots in progress
    std::vector<Slot> slots = std::vector<Slot>(65536);
    std::vector<std::uint8_t> input, output;
};

struct Deadline {
    int channel;
    std::uint16_t id;
    std::uint32_t serial;
    Clock::time_point at;
};

// The address of the reply's first A record: 0 for 0.0.0.0, -1 for no such record or a bad one.
std::int64_t firstAddress(const std::uint8_t* r, std::size_t n) {
    if (n < 12 || (r[6] == 0 && r[7] == 0)) {
        return -1;
    }
    std::size_t at = 12;
    while (at < n && r[at] != 0) {
        at += 1u + r[at];
    }
    at += 5;  // root, QTYPE, QCLASS
    if (at + 2 > n) {
        return -1;
    }
    if ((r[at] & 0xC0) == 0xC0) {
        at += 2;
    } else {
        while (at < n && r[at] != 0) {
            at += 1u + r[at];
        }
        at += 1;
    }
    if (at + 14 > n || r[at] != 0 || r[at + 1] != 1 || r[at + 8] != 0 || r[at + 9] != 4) {
        return -1;
    }
    return (std::int64_t{r[at + 10]} << 24) | (r[at + 11] << 16) | (r[at + 12] << 8) | r[at + 13];
}

Expect expectationOf(Kind kind, std::uint32_t nameHash) {
    const Fate fate = sieveharbor::bench::fateOf(nameHash);
    Expect relayed = Expect::must;
    if (fate.kind == Fate::Kind::drop) {
        relayed = Expect::mustNot;  // no answer ever came from upstream
    } else if (fate.kind == Fate::Kind::delay && fate.delayMs >= kSureAnsweredMs) {
        relayed = Expect::may;
    }
    switch (kind) {
        case Kind::blocked:
            return Expect::must;
        case Kind::flipA:
        case Kind::flipB:
            // Relayed or answered here, depending on the list in force when it arrives.
            return relayed == Expect::must ? Expect::must : Expect::may;
        case Kind::relay:
            return relayed;
        case Kind::response:
            return Expect::mustNot;
        default:
            return Expect::may;
    }
}

class Load {
  public:
    Load(std::uint16_t port, double rate, int seconds, int connections)
        : rate_(rate), seconds_(seconds), connections_(connections) {
        proxy_.sin_family = AF_INET;
        proxy_.sin_port = htons(port);
        proxy_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }

    int run();

  private:
    int openUdp();
    bool openTcp(int channel);
    int newChannel(Transport transport);
    void closeChannel(int channel);
    void sendOne(std::uint64_t n, Clock::time_point now);
    void track(int channel, Kind kind, const std::vector<std::uint8_t>& query, std::uint16_t id,
               Clock::time_point now);
    std::uint16_t takeId(int channel);
    void write(int channel, const std::vector<std::uint8_t>& bytes);
    void flush(int channel);
    bool onReadable(int channel);
    void onReply(int channel, const std::uint8_t* r, std::size_t n, Clock::time_point now);
    void expire(Clock::time_point now);
    bool askedHere(const std::uint8_t* r, std::size_t n) const;
    void logOdd(const char* what, int channel, const std::uint8_t* r, std::size_t n);
    void report(bool final, Clock::time_point now);

    double rate_;
    int seconds_;
    int connections_;
    sockaddr_in proxy_{};
    int poller_ = -1;
    std::vector<Channel> channels_;
    std::vector<int> freeChannels_;
    std::vector<int> udp_, kept_;
    int malformed_ = -1;
    std::deque<Deadline> deadlines_;
    std::uint32_t serials_ = 0;
    std::uint64_t names_ = 0;
    Stats stats_;
    Clock::time_point start_;
    std::mt19937 random_{12345};
    int shortPending_ = -1;  // the short connection being filled
    std::uint64_t shortCount_ = 0;
    std::uint64_t shortCloses_ = 0;
    int oddLogged_ = 0;
};

int Load::newChannel(Transport transport) {
    int index;
    if (!freeChannels_.empty()) {
        index = freeChannels_.back();
        freeChannels_.pop_back();
    } else {
        index = static_cast<int>(channels_.size());
        channels_.emplace_back();
    }
    channels_[index].transport = transport;
    return index;
}

int Load::openUdp() {
    const int channel = newChannel(Transport::udp);
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    // Root may go past rmem_max: a burst of answers after a pause must not overflow the
    // generator's own buffer, or the loss would be counted against the proxy.
    const int size = 8 * 1024 * 1024;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&proxy_), sizeof proxy_) != 0) {
        std::perror("bench-soak-load: udp socket");
        std::exit(1);
    }
    channels_[channel].fd = fd;
    epoll_event event{EPOLLIN, {.u32 = static_cast<std::uint32_t>(channel)}};
    ::epoll_ctl(poller_, EPOLL_CTL_ADD, fd, &event);
    return channel;
}

bool Load::openTcp(int channel) {
    Channel& c = channels_[channel];
    c.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (c.fd < 0 || (::connect(c.fd, reinterpret_cast<sockaddr*>(&proxy_), sizeof proxy_) != 0 &&
                     errno != EINPROGRESS)) {
        ++stats_.connectFailed;
        if (c.fd >= 0) {
            ::close(c.fd);
        }
        c.fd = -1;
        return false;
    }
    c.connecting = true;
    c.input.clear();
    c.output.clear();
    epoll_event event{EPOLLIN | EPOLLOUT | EPOLLRDHUP,
                      {.u32 = static_cast<std::uint32_t>(channel)}};
    ::epoll_ctl(poller_, EPOLL_CTL_ADD, c.fd, &event);
    return true;
}

void Load::closeChannel(int channel) {
    Channel& c = channels_[channel];
    if (c.fd >= 0) {
        ::close(c.fd);
        c.fd = -1;
    }
    c.connecting = false;
    c.input.clear();
    c.output.clear();
    if (c.transport == Transport::tcpShort && c.active == 0 && channel != shortPending_) {
        freeChannels_.push_back(channel);
    }
}

std::uint16_t Load::takeId(int channel) {
    Channel& c = channels_[channel];
    // An id still in progress is passed over; with tens of thousands to go round, rarely.
    while (c.slots[c.nextId].serial != 0) {
        ++c.nextId;
    }
    return c.nextId++;
}

void Load::track(int channel, Kind kind, const std::vector<std::uint8_t>& query, std::uint16_t id,
                 Clock::time_point now) {
    Channel& c = channels_[channel];
    Slot& slot = c.slots[id];
    slot.serial = ++serials_ == 0 ? ++serials_ : serials_;
    slot.kind = kind;
    slot.transport = c.transport;
    slot.nameHash = sieveharbor::bench::questionNameHash(query.data(), query.size());
    slot.expect = expectationOf(kind, slot.nameHash);
    slot.timed = kind == Kind::blocked ||
                 (slot.expect == Expect::must &&
                  sieveharbor::bench::fateOf(slot.nameHash).kind == Fate::Kind::answer);
    slot.sentAt = now;
    slot.expired = false;
    slot.answered = false;
    ++c.active;
    ++stats_.of(c.transport, kind).sent;
    deadlines_.push_back({channel, id, slot.serial, now + kDeadline});
}

void Load::write(int channel, const std::vector<std::uint8_t>& bytes) {
    Channel& c = channels_[channel];
    c.output.push_back(static_cast<std::uint8_t>(bytes.size() >> 8));
    c.output.push_back(static_cast<std::uint8_t>(bytes.size()));
    c.output.insert(c.output.end(), bytes.begin(), bytes.end());
    if (!c.connecting) {
        flush(channel);
    }
}

void Load::flush(int channel) {
    Channel& c = channels_[channel];
    if (c.fd < 0 || c.output.empty()) {
        return;
    }
    const ssize_t sent = ::send(c.fd, c.output.data(), c.output.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno != EAGAIN && errno != EINTR) {
        ++stats_.sendErrors;
        return;  // the read side sees the end and deals with the connection
    }
    if (sent > 0) {
        c.output.erase(c.output.begin(), c.output.begin() + sent);
    }
}

void Load::sendOne(std::uint64_t n, Clock::time_point now) {
    // One hundred queries a round: UDP 70 (18 blocked, 7 flip, 39 relayed, 6 malformed), TCP on
    // kept-open connections 24 (8 blocked, 3 flip, 13 relayed), short TCP connections 6 (three
    // connections of two queries).
    const int step = static_cast<int>(n % 100);
    const Kind flip = (n / 100) % 2 == 0 ? Kind::flipA : Kind::flipB;
    Kind kind;
    Transport transport;
    if (step < 70) {
        transport = Transport::udp;
        kind = step < 18   ? Kind::blocked
               : step < 25 ? flip
               : step < 64 ? Kind::relay
               : step < 66 ? Kind::garbage
               : step < 68 ? Kind::truncated
                           : Kind::response;
    } else if (step < 94) {
        transport = Transport::tcpKept;
        kind = step < 78 ? Kind::blocked : step < 81 ? flip : Kind::relay;
    } else {
        transport = Transport::tcpShort;
        kind = step == 94 ? Kind::blocked : step == 96 ? flip : Kind::relay;
    }
    const std::uint64_t serial = ++names_;
    const char* zone = kind == Kind::blocked ? "b%llu.blocked.soak"
                       : kind == Kind::flipA ? "f%llu.flip-a.soak"
                       : kind == Kind::flipB ? "f%llu.flip-b.soak"
                                             : "r%llu.relay.soak";
    char nameText[64];
    std::snprintf(nameText, sizeof nameText, zone, static_cast<unsigned long long>(serial));
    const std::string name = nameText;

    if (transport == Transport::udp) {
        const bool bad = kind == Kind::garbage || kind == Kind::truncated || kind == Kind::response;
        const int channel = bad ? malformed_ : udp_[serial % udp_.size()];
        const std::uint16_t id = takeId(channel);
        std::vector<std::uint8_t> message = sieveharbor::bench::queryFor(name, id);
        if (kind == Kind::response) {
            message[2] |= 0x80;
        } else if (kind == Kind::truncated) {
            message.resize(2 + random_() % 10);  // the id and part of the header
        } else if (kind == Kind::garbage) {
            message.resize(12 + random_() % 200);
            for (std::size_t i = 2; i < message.size(); ++i) {
                message[i] = static_cast<std::uint8_t>(random_());
            }
        }
        track(channel, kind, message, id, now);
        if (::send(channels_[channel].fd, message.data(), message.size(), 0) < 0) {
            ++stats_.sendErrors;
        }
        return;
    }
    int channel;
    if (transport == Transport::tcpKept) {
        channel = kept_[serial % kept_.size()];
        if (channels_[channel].fd < 0 && !openTcp(channel)) {
            ++stats_.of(transport, kind).sent;  // lost before it could be sent
            ++stats_.of(transport, kind).missed;
            return;
        }
    } else {
        if (shortPending_ < 0) {
            shortPending_ = newChannel(Transport::tcpShort);
            openTcp(shortPending_);
        }
        channel = shortPending_;
    }
    const std::uint16_t id = takeId(channel);
    const auto query = sieveharbor::bench::queryFor(name, id);
    track(channel, kind, query, id, now);
    if (channels_[channel].fd >= 0) {
        write(channel, query);
    }
    if (transport == Transport::tcpShort && (step == 95 || step == 97 || step == 99)) {
        shortPending_ = -1;  // two queries each; the connection ends once both are settled
        ++shortCount_;
    }
}

// True when more may be waiting than was read.
bool Load::onReadable(int channel) {
    Channel& c = channels_[channel];
    const auto now = Clock::now();
    std::uint8_t buffer[65536];
    if (c.transport == Transport::udp) {
        for (int i = 0; i < kReadsPerEvent; ++i) {
            const ssize_t got = ::recv(c.fd, buffer, sizeof buffer, 0);
            if (got < 0) {
                return false;  // drained (a refused port shows here too, and is seen as missed)
            }
            onReply(channel, buffer, static_cast<std::size_t>(got), now);
        }
        return true;
    }
    const ssize_t got = ::recv(c.fd, buffer, sizeof buffer, 0);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
        return false;
    }
    if (got <= 0) {
        // The proxy ended the connection: what is still in progress on it is missed.
        if (c.transport == Transport::tcpKept) {
            ++stats_.tcpClosed;
        } else if (c.active > 0) {
            ++stats_.connectFailed;
        }
        const int fd = c.fd;
        c.fd = -1;
        ::close(fd);
        c.input.clear();
        c.output.clear();
        return false;
    }
    c.input.insert(c.input.end(), buffer, buffer + got);
    std::size_t at = 0;
    while (c.input.size() - at >= 2) {
        const std::size_t length = (std::size_t{c.input[at]} << 8) | c.input[at + 1];
        if (c.input.size() - at - 2 < length) {
            break;
        }
        onReply(channel, c.input.data() + at + 2, length, now);
        at += 2 + length;
    }
    c.input.erase(c.input.begin(), c.input.begin() + static_cast<long>(at));
    if (c.transport == Transport::tcpShort && c.active == 0 && channel != shortPending_) {
        // Half of the short connections end with a reset rather than a close.
        if (shortCloses_++ % 2 == 0) {
            const linger reset{1, 0};
            ::setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        }
        closeChannel(channel);
        return false;
    }
    return got == static_cast<ssize_t>(sizeof buffer);
}

void Load::onReply(int channel, const std::uint8_t* r, std::size_t n, Clock::time_point now) {
    if (n < 2) {
        ++stats_.late;
        return;
    }
    const std::uint16_t id = static_cast<std::uint16_t>((r[0] << 8) | r[1]);
    Channel& c = channels_[channel];
    Slot& slot = c.slots[id];
    if (slot.serial == 0) {
        if (slot.expired) {
            ++stats_.late;
        } else if (slot.answered) {
            ++stats_.of(slot.transport, slot.kind).twice;  // a second reply to the query
            logOdd("a second reply", channel, r, n);
        } else if (askedHere(r, n)) {
            ++stats_.stray;  // a name of this run, on a socket or an id it was not asked on
            logOdd("a reply to no query", channel, r, n);
        } else {
            ++stats_.foreign;
            logOdd("a reply for a name this run never made", channel, r, n);
        }
        return;
    }
    Tally& tally = stats_.of(slot.transport, slot.kind);
    ++tally.answered;
    const bool malformed =
        slot.kind == Kind::garbage || slot.kind == Kind::truncated || slot.kind == Kind::response;
    if (slot.expect == Expect::mustNot) {
        ++tally.unexpected;
    } else if (!malformed) {
        const std::int64_t address = firstAddress(r, n);
        const bool sameName = n >= 12 && (r[2] & 0x80) != 0 &&
                              sieveharbor::bench::questionNameHash(r, n) == slot.nameHash;
        const bool blockedAnswer = sameName && (r[3] & 0x0F) == 0 && address == 0;
        const bool relayedAnswer = sameName && (r[3] & 0x0F) == 0 && address == 0xC0000235;
        if (slot.kind == Kind::flipA || slot.kind == Kind::flipB) {
            tally.asBlocked += blockedAnswer;
            tally.asRelayed += relayedAnswer;
        }
        const bool right = slot.kind == Kind::blocked ? blockedAnswer
                           : slot.kind == Kind::relay ? relayedAnswer
                                                      : blockedAnswer || relayedAnswer;
        tally.wrong += !right;
        if (slot.timed) {
            const auto ms =
                std::chrono::duration_cast<std::chrono::milliseconds>(now - slot.sentAt).count();
            ++stats_.latencyMs[std::min<std::size_t>(static_cast<std::size_t>(ms), 1000)];
        }
    }
    slot.serial = 0;
    slot.answered = true;
    --c.active;
}

// Whether the reply's name is one this run made: its first label a letter and a serial not past
// the last one used (the loopback is shared; another program's stray datagram is not the
// proxy's fault).
bool Load::askedHere(const std::uint8_t* r, std::size_t n) const {
    if (n < 14 || r[12] < 2 || 13u + r[12] > n) {
        return false;
    }
    std::uint64_t serial = 0;
    for (std::size_t i = 14; i < 13u + r[12]; ++i) {
        if (r[i] < '0' || r[i] > '9') {
            return false;
        }
        serial = serial * 10 + (r[i] - '0');
    }
    return serial <= names_;
}

// The first few replies that fit no query, on stderr, to be looked into.
void Load::logOdd(const char* what, int channel, const std::uint8_t* r, std::size_t n) {
    if (++oddLogged_ > 10) {
        return;
    }
    std::string hex;
    for (std::size_t i = 0; i < std::min<std::size_t>(n, 64); ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02x", r[i]);
        hex += byte;
    }
    std::fprintf(stderr, "bench-soak-load: %s on %s channel %d, %zu bytes: %s\n", what,
                 transportName(channels_[channel].transport), channel, n, hex.c_str());
}

void Load::expire(Clock::time_point now) {
    while (!deadlines_.empty() && deadlines_.front().at <= now) {
        const Deadline d = deadlines_.front();
        deadlines_.pop_front();
        Channel& c = channels_[d.channel];
        Slot& slot = c.slots[d.id];
        if (slot.serial != d.serial) {
            continue;  // answered
        }
        if (slot.expect == Expect::must) {
            ++stats_.of(slot.transport, slot.kind).missed;
        }
        slot.serial = 0;
        slot.expired = true;
        --c.active;
        if (c.transport == Transport::tcpShort && c.active == 0 && d.channel != shortPending_) {
            closeChannel(d.channel);
        }
    }
}

void Load::report(bool final, Clock::time_point now) {
    std::string out = "{\"final\": ";
    out += final ? "true" : "false";
    out += ", \"elapsed\": " + std::to_string(std::chrono::duration<double>(now - start_).count()) +
           ", \"counts\": {";
    bool first = true;
    for (int t = 0; t < static_cast<int>(Transport::count); ++t) {
        for (int k = 0; k < static_cast<int>(Kind::count); ++k) {
            const Tally& a = stats_.tally[t][k];
            if (a.sent == 0) {
                continue;
            }
            const Tally& sum = a;
            char line[400];
            std::snprintf(
                line, sizeof line,
                "%s\"%s.%s\": {\"sent\": %llu, \"answered\": %llu, \"missed\": %llu, "
                "\"unexpected\": %llu, \"wrong\": %llu, \"twice\": %llu, \"as_blocked\": %llu, "
                "\"as_relayed\": %llu}",
                first ? "" : ", ", transportName(static_cast<Transport>(t)),
                kindName(static_cast<Kind>(k)), static_cast<unsigned long long>(sum.sent),
                static_cast<unsigned long long>(sum.answered),
                static_cast<unsigned long long>(sum.missed),
                static_cast<unsigned long long>(sum.unexpected),
                static_cast<unsigned long long>(sum.wrong),
                static_cast<unsigned long long>(sum.twice),
                static_cast<unsigned long long>(sum.asBlocked),
                static_cast<unsigned long long>(sum.asRelayed));
            out += line;
            first = false;
        }
    }
    std::uint64_t total = 0;
    for (const auto count : stats_.latencyMs) {
        total += count;
    }
    const auto percentile = [&](double p) {
        std::uint64_t seen = 0;
        for (std::size_t ms = 0; ms < stats_.latencyMs.size(); ++ms) {
            seen += stats_.latencyMs[ms];
            if (total > 0 && seen >= p * static_cast<double>(total)) {
                return static_cast<long>(ms);
            }
        }
        return -1L;
    };
    char tail[400];
    std::snprintf(
        tail, sizeof tail,
        "}, \"late\": %llu, \"stray\": %llu, \"foreign\": %llu, \"tcp_closed_by_proxy\": %llu, "
        "\"connect_failed\": %llu, "
        "\"send_errors\": %llu, \"behind\": %llu, \"latency_ms\": {\"p50\": %ld, "
        "\"p99\": %ld, \"p999\": %ld}}\n",
        static_cast<unsigned long long>(stats_.late), static_cast<unsigned long long>(stats_.stray),
        static_cast<unsigned long long>(stats_.foreign),
        static_cast<unsigned long long>(stats_.tcpClosed),
        static_cast<unsigned long long>(stats_.connectFailed),
        static_cast<unsigned long long>(stats_.sendErrors),
        static_cast<unsigned long long>(stats_.behind), percentile(0.5), percentile(0.99),
        percentile(0.999));
    out += tail;
    std::fputs(out.c_str(), stdout);
    std::fflush(stdout);
}

int Load::run() {
    poller_ = ::epoll_create1(EPOLL_CLOEXEC);
    // Enough sockets that no id comes round again within a deadline: 65,536 ids each, at most
    // about 6,000 queries a second on one.
    const int udpSockets = 4 + static_cast<int>(rate_ / 6000);
    for (int i = 0; i < udpSockets; ++i) {
        udp_.push_back(openUdp());
    }
    malformed_ = openUdp();
    for (int i = 0; i < connections_; ++i) {
        kept_.push_back(newChannel(Transport::tcpKept));
        openTcp(kept_.back());
    }
    start_ = Clock::now();
    const auto sendUntil = start_ + std::chrono::seconds(seconds_);
    auto nextReport = start_ + std::chrono::seconds(10);
    std::uint64_t sent = 0;
    std::array<epoll_event, 128> ready{};
    // Sending stops at --seconds; then every query in progress is waited for to its deadline,
    // and the whole run is bounded by that.
    while (true) {
        auto now = Clock::now();
        if (stopRequested != 0 || (now >= sendUntil && deadlines_.empty()) ||
            now > sendUntil + kDeadline + std::chrono::seconds(2)) {
            break;
        }
        if (now < sendUntil) {
            const double elapsed = std::chrono::duration<double>(now - start_).count();
            const auto due = static_cast<std::uint64_t>(elapsed * rate_);
            // At most 50 ms of queries in one go: a generator that fell behind catches up
            // gradually instead of in one burst.
            const auto burst = static_cast<std::uint64_t>(rate_ / 20) + 1;
            if (due > sent + burst) {
                stats_.behind += due - sent - burst;
                sent = due - burst;
            }
            while (sent < due) {
                sendOne(sent++, now);
            }
        }
        // A query is given up only once every reply that came before its deadline has been
        // read: after a pause of this process the replies wait in its sockets, and are not late.
        const auto readFrom = Clock::now();
        const int count = ::epoll_wait(poller_, ready.data(), ready.size(), 1);
        bool backlog = count == static_cast<int>(ready.size());
        for (int i = 0; i < count; ++i) {
            const int channel = static_cast<int>(ready[i].data.u32);
            Channel& c = channels_[channel];
            if (c.fd < 0) {
                continue;
            }
            if ((ready[i].events & EPOLLOUT) != 0) {
                if (c.connecting) {
                    int error = 0;
                    socklen_t length = sizeof error;
                    ::getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &length);
                    c.connecting = false;
                    if (error != 0) {
                        ++stats_.connectFailed;
                        ::close(c.fd);
                        c.fd = -1;
                        continue;
                    }
                }
                flush(channel);
                if (c.output.empty()) {
                    epoll_event event{EPOLLIN | EPOLLRDHUP,
                                      {.u32 = static_cast<std::uint32_t>(channel)}};
                    ::epoll_ctl(poller_, EPOLL_CTL_MOD, c.fd, &event);
                }
            }
            if ((ready[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0 &&
                channels_[channel].fd >= 0) {
                backlog |= onReadable(channel);
            }
        }
        now = Clock::now();
        for (const int channel : kept_) {
            Channel& c = channels_[channel];
            if (c.fd >= 0 && !c.output.empty() && !c.connecting) {
                flush(channel);
            }
        }
        if (!backlog) {
            expire(readFrom);
        }
        if (now >= nextReport) {
            report(false, now);
            nextReport += std::chrono::seconds(10);
        }
    }
    // Whatever is still in progress (only after a stop request) counts as missed if owed.
    expire(Clock::time_point::max());
    report(true, Clock::now());
    for (Channel& c : channels_) {
        if (c.fd >= 0) {
            ::close(c.fd);
        }
    }
    ::close(poller_);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    long port = 0, seconds = 0, connections = 8;
    double rate = 5000;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        char* end = nullptr;
        const double value = std::strtod(argv[i + 1], &end);
        if (*end != '\0' || value <= 0) {
            port = -1;
            break;
        }
        if (flag == "--port") {
            port = static_cast<long>(value);
        } else if (flag == "--rate") {
            rate = value;
        } else if (flag == "--seconds") {
            seconds = static_cast<long>(value);
        } else if (flag == "--connections") {
            connections = static_cast<long>(value);
        } else {
            port = -1;
            break;
        }
    }
    // Past 100,000 queries a second the malformed socket's and the kept connections' ids would
    // come round within a deadline.
    if (argc % 2 != 1 || port <= 0 || port > 65535 || seconds <= 0 || connections <= 0 ||
        connections > 256 || rate > 100000) {
        std::fputs("usage: bench-soak-load --port P --rate Q --seconds S [--connections K]\n",
                   stderr);
        return 2;
    }
    struct sigaction action {};
    action.sa_handler = [](int) { stopRequested = 1; };
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    Load load(static_cast<std::uint16_t>(port), rate, static_cast<int>(seconds),
              static_cast<int>(connections));
    return load.run();
}
