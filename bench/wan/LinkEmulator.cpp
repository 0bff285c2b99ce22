// talvane-link-emulator: wide-area links between one client and several
// download nodes, each in a network namespace of its own, for the benchmark
// harness (bench/compare/wan.py). The kernel it runs on has no netem, so the
// delay, rate, queue and loss of every link are applied here, in user space,
// to the IPv4 packets that cross TUN devices.
//
//   talvane-link-emulator --client ns=NS,dev=DEV
//       --link name=A,ns=NS,dev=DEV,addr=10.77.1.1,mbit=200,rtt_ms=20[,loss=0.01][,queue=BYTES] ...
//       [--change link=A,after=BYTES,mbit=8[,rtt_ms=MS][,loss=P]]
//       [--seed N] [--interval-ms 100] [--stats PATH] [--control]
//
// Every device is created inside its namespace (the namespaces must exist,
// named as `ip netns` names them); the caller gives them addresses and brings
// them up, then reads "ready" on standard output. Packets from the client
// device go to the link whose node address they are sent to, packets from a
// node device go to the client device.
//
// With --control, standard input takes one command per line:
//   start PATH [CHANGE]
//               zero the counters, restore the first profiles, drop what is
//               queued, and write counters to PATH (CSV) every interval; CHANGE
//               (as --change takes it) replaces --change for this run;
//               answers "started"
//   finish      write the last row, close PATH; answers one JSON line with,
//               per link, the payload bytes delivered towards the client, the
//               packets put on the wire, lost and dropped at the queue, and
//               the emulator's CPU time (all, and user) since it started
// and the end of standard input stops the emulator, so that it never outlives
// the harness. SIGTERM and SIGINT stop it too. --stats starts a run at once.

#include "bench/wan/LinkModel.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <sched.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

using tvl::wan::ByteTrigger;
using tvl::wan::Decision;
using tvl::wan::Direction;
using tvl::wan::Profile;
using tvl::wan::Verdict;

constexpr std::size_t kBufferBytes = 2048;  // the devices' MTU is 1500
// Released a little early rather than one timer expiry per packet: at
// 200 Mbit/s a full packet leaves every 60 µs, and a wake-up for each would
// cost more CPU than the client under test.
constexpr std::int64_t kReleaseSlackNs = 100000;
// Reads per device before the others get a turn.
constexpr int kReadBurst = 64;

std::int64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * tvl::wan::kNsPerSecond + ts.tv_nsec;
}

[[noreturn]] void fail(const std::string& message) {
    throw std::runtime_error(message + (errno ? std::string(": ") + std::strerror(errno) : std::string()));
}

std::map<std::string, std::string> parseFields(const std::string& text) {
    std::map<std::string, std::string> fields;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find(',', start), text.size());
        const std::string item = text.substr(start, end - start);
        const std::size_t eq = item.find('=');
        if (eq == std::string::npos || eq == 0) {
            throw std::runtime_error("expected key=value in '" + text + "'");
        }
        fields[item.substr(0, eq)] = item.substr(eq + 1);
        start = end + 1;
    }
    return fields;
}

std::string need(const std::map<std::string, std::string>& fields, const std::string& key) {
    const auto found = fields.find(key);
    if (found == fields.end()) {
        throw std::runtime_error("missing " + key + "=");
    }
    return found->second;
}

double number(const std::string& text) {
    std::size_t used = 0;
    const double value = std::stod(text, &used);
    if (used != text.size() || value < 0) {
        throw std::runtime_error("not a non-negative number: " + text);
    }
    return value;
}

// Only the keys present change the profile: a change that names the rate
// alone keeps the delay and the loss.
void applyFields(Profile& profile, const std::map<std::string, std::string>& fields) {
    if (fields.count("mbit")) {
        profile.bitsPerSecond = number(fields.at("mbit")) * 1e6;
    }
    if (fields.count("rtt_ms")) {
        profile.oneWayDelayNs = std::llround(number(fields.at("rtt_ms")) * 1e6 / 2.0);
    }
    if (fields.count("loss")) {
        profile.loss = number(fields.at("loss"));
        if (profile.loss >= 1) {
            throw std::runtime_error("loss is a probability below 1");
        }
    }
    if (fields.count("queue")) {
        profile.queueBytes = static_cast<std::int64_t>(number(fields.at("queue")));
    }
}

int openTunIn(const std::string& ns, const std::string& dev) {
    if (dev.empty() || dev.size() >= IFNAMSIZ) {
        throw std::runtime_error("bad device name '" + dev + "'");
    }
    const int home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    if (home < 0) {
        fail("open /proc/self/ns/net");
    }
    const std::string path = "/run/netns/" + ns;
    const int target = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (target < 0) {
        close(home);
        fail("open " + path);
    }
    if (setns(target, CLONE_NEWNET) != 0) {
        close(home);
        close(target);
        fail("setns " + ns);
    }
    close(target);
    const int fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    int saved = errno;
    if (fd >= 0) {
        ifreq request{};
        request.ifr_flags = IFF_TUN | IFF_NO_PI;
        std::strncpy(request.ifr_name, dev.c_str(), IFNAMSIZ - 1);
        if (ioctl(fd, TUNSETIFF, &request) != 0) {
            saved = errno;
            close(fd);
            setns(home, CLONE_NEWNET);
            close(home);
            errno = saved;
            fail("TUNSETIFF " + dev + " in " + ns);
        }
    }
    const bool back = setns(home, CLONE_NEWNET) == 0;
    close(home);
    if (fd < 0) {
        errno = saved;
        fail("open /dev/net/tun in " + ns);
    }
    if (!back) {
        fail("setns back to the emulator's namespace");
    }
    return fd;
}

struct Packet {
    std::int64_t dueNs;
    std::size_t length;
    std::unique_ptr<std::array<std::uint8_t, kBufferBytes>> data;
};

class BufferPool {
public:
    std::unique_ptr<std::array<std::uint8_t, kBufferBytes>> take() {
        if (free_.empty()) {
            return std::make_unique<std::array<std::uint8_t, kBufferBytes>>();
        }
        auto buffer = std::move(free_.back());
        free_.pop_back();
        return buffer;
    }
    void give(std::unique_ptr<std::array<std::uint8_t, kBufferBytes>> buffer) {
        free_.push_back(std::move(buffer));
    }

private:
    std::vector<std::unique_ptr<std::array<std::uint8_t, kBufferBytes>>> free_;
};

// One direction's packets in the order they will leave. The delay is the same
// for every packet of a direction, so the departure times only grow and a
// FIFO serves as the timer queue.
struct Lane {
    Direction direction;
    std::deque<Packet> queue;
    int outFd = -1;
    std::uint64_t onWire = 0;  // forwarded or lost: what the loss rate applies to
    std::uint64_t lost = 0;
    std::uint64_t queueDrops = 0;
};

struct Link {
    std::string name;
    std::string ns;
    std::string dev;
    std::uint32_t address = 0;  // network order
    Profile first;
    Profile changed;
    bool hasChange = false;
    int fd = -1;
    Lane up;    // client to node
    Lane down;  // node to client
    std::uint64_t deliveredPayload = 0;  // towards the client, this run
};

class Emulator {
public:
    void parse(int argc, char** argv) {
        for (int i = 1; i < argc; ++i) {
            const std::string argument = argv[i];
            const bool hasValue = i + 1 < argc;
            if (argument == "--client" && hasValue) {
                const auto fields = parseFields(argv[++i]);
                clientNs_ = need(fields, "ns");
                clientDev_ = need(fields, "dev");
            } else if (argument == "--link" && hasValue) {
                const auto fields = parseFields(argv[++i]);
                auto link = std::make_unique<Link>();
                link->name = need(fields, "name");
                link->ns = need(fields, "ns");
                link->dev = need(fields, "dev");
                if (inet_pton(AF_INET, need(fields, "addr").c_str(), &link->address) != 1) {
                    throw std::runtime_error("bad addr= for link " + link->name);
                }
                need(fields, "mbit");
                need(fields, "rtt_ms");
                applyFields(link->first, fields);
                links_.push_back(std::move(link));
            } else if (argument == "--change" && hasValue) {
                change_ = argv[++i];
            } else if (argument == "--seed" && hasValue) {
                seed_ = std::stoull(argv[++i]);
            } else if (argument == "--interval-ms" && hasValue) {
                intervalMs_ = std::stoi(argv[++i]);
                if (intervalMs_ < 1) {
                    throw std::runtime_error("--interval-ms must be positive");
                }
            } else if (argument == "--stats" && hasValue) {
                initialStats_ = argv[++i];
            } else if (argument == "--control") {
                control_ = true;
            } else {
                throw std::runtime_error("unknown or incomplete argument: " + argument);
            }
        }
        if (clientNs_.empty() || links_.empty()) {
            throw std::runtime_error("need --client and at least one --link");
        }
        configureChange(change_);
    }

    // An empty spec: no change in this run.
    void configureChange(const std::string& spec) {
        for (auto& link : links_) {
            link->hasChange = false;
        }
        trigger_ = ByteTrigger(0);
        if (spec.empty()) {
            return;
        }
        const auto fields = parseFields(spec);
        const std::string name = need(fields, "link");
        Link* link = find(name);
        if (link == nullptr) {
            throw std::runtime_error("the change names an unknown link: " + name);
        }
        const auto after = static_cast<std::uint64_t>(number(need(fields, "after")));
        if (after == 0) {
            throw std::runtime_error("the change needs after= above zero");
        }
        link->changed = link->first;
        applyFields(link->changed, fields);
        link->hasChange = true;
        trigger_ = ByteTrigger(after);
    }

    int run() {
        setUp();
        std::cout << "ready" << std::endl;
        if (!initialStats_.empty()) {
            startRun(initialStats_);
        }
        std::array<epoll_event, 16> events{};
        while (!stopping_) {
            // The wait's own timeout, in nanoseconds, is the timer of the
            // next departure: no timer descriptor to read and rearm at every
            // wake-up, which at full rate are thousands a second.
            const std::int64_t earliest = earliestDue();
            timespec timeout{};
            if (earliest >= 0) {
                const std::int64_t wait = std::max<std::int64_t>(0, earliest - nowNs());
                timeout.tv_sec = wait / tvl::wan::kNsPerSecond;
                timeout.tv_nsec = wait % tvl::wan::kNsPerSecond;
            }
            const int count = epoll_pwait2(epoll_, events.data(), static_cast<int>(events.size()),
                                           earliest >= 0 ? &timeout : nullptr, nullptr);
            if (count < 0) {
                if (errno == EINTR) {
                    continue;
                }
                fail("epoll_pwait2");
            }
            for (int e = 0; e < count; ++e) {
                handle(events[static_cast<std::size_t>(e)].data.u32);
            }
            release(nowNs());
        }
        if (stats_ != nullptr) {
            finishRun();
        }
        return 0;
    }

private:
    enum Source : std::uint32_t { kTick = 1000, kSignal, kControl, kClient };

    Link* find(const std::string& name) {
        for (auto& link : links_) {
            if (link->name == name) {
                return link.get();
            }
        }
        return nullptr;
    }

    void watch(int fd, std::uint32_t tag) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u32 = tag;
        if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0) {
            fail("epoll_ctl");
        }
    }

    void setUp() {
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGTERM);
        sigaddset(&signals, SIGINT);
        sigaddset(&signals, SIGPIPE);
        sigprocmask(SIG_BLOCK, &signals, nullptr);
        signalFd_ = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
        epoll_ = epoll_create1(EPOLL_CLOEXEC);
        tick_ = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
        if (signalFd_ < 0 || epoll_ < 0 || tick_ < 0) {
            fail("signalfd, epoll or timerfd");
        }
        clientFd_ = openTunIn(clientNs_, clientDev_);
        watch(clientFd_, kClient);
        for (std::size_t i = 0; i < links_.size(); ++i) {
            Link& link = *links_[i];
            link.fd = openTunIn(link.ns, link.dev);
            link.up.outFd = link.fd;
            link.down.outFd = clientFd_;
            link.up.direction.setProfile(link.first);
            link.down.direction.setProfile(link.first);
            watch(link.fd, static_cast<std::uint32_t>(i));
        }
        watch(tick_, kTick);
        watch(signalFd_, kSignal);
        if (control_) {
            watch(STDIN_FILENO, kControl);
        }
        rng_.seed(seed_);
    }

    void handle(std::uint32_t tag) {
        if (tag == kTick) {
            std::uint64_t expirations = 0;
            if (read(tick_, &expirations, sizeof expirations) < 0 && errno != EAGAIN) {
                fail("read timerfd");
            }
            if (stats_ != nullptr) {
                writeRow(nowNs());
            }
        } else if (tag == kSignal) {
            stopping_ = true;
        } else if (tag == kControl) {
            readControl();
        } else if (tag == kClient) {
            drain(clientFd_, nullptr);
        } else if (tag < links_.size()) {
            drain(links_[tag]->fd, links_[tag].get());
        }
    }

    // from == nullptr: the client's device, routed by destination address.
    void drain(int fd, Link* from) {
        for (int n = 0; n < kReadBurst; ++n) {
            auto buffer = pool_.take();
            const ssize_t got = read(fd, buffer->data(), buffer->size());
            if (got <= 0) {
                pool_.give(std::move(buffer));
                if (got < 0 && errno != EAGAIN && errno != EINTR) {
                    fail("read tun");
                }
                return;
            }
            const auto length = static_cast<std::size_t>(got);
            Lane* lane = nullptr;
            if (from != nullptr) {
                lane = &from->down;
            } else if (length >= 20 && ((*buffer)[0] >> 4) == 4) {
                std::uint32_t destination = 0;
                std::memcpy(&destination, buffer->data() + 16, 4);
                for (auto& link : links_) {
                    if (link->address == destination) {
                        lane = &link->up;
                        break;
                    }
                }
            }
            if (lane == nullptr) {  // IPv6 chatter, or an address no link leads to
                pool_.give(std::move(buffer));
                continue;
            }
            const double draw = lane->direction.profile().loss > 0 ? uniform_(rng_) : 1.0;
            const Decision decision = lane->direction.admit(nowNs(), length, draw);
            lane->onWire += decision.verdict == Verdict::QueueFull ? 0 : 1;
            if (decision.verdict == Verdict::Forward) {
                lane->queue.push_back(Packet{decision.dueNs, length, std::move(buffer)});
            } else {
                (decision.verdict == Verdict::Lost ? lane->lost : lane->queueDrops) += 1;
                pool_.give(std::move(buffer));
            }
        }
    }

    void release(std::int64_t now) {
        const std::int64_t until = now + kReleaseSlackNs;
        for (auto& link : links_) {
            for (Lane* lane : {&link->up, &link->down}) {
                while (!lane->queue.empty() && lane->queue.front().dueNs <= until) {
                    Packet& packet = lane->queue.front();
                    // A write to a TUN device hands the packet to the kernel's
                    // receive path and does not wait; a refusal is a drop.
                    if (write(lane->outFd, packet.data->data(), packet.length) < 0 && errno != EAGAIN &&
                        errno != ENOBUFS && errno != EIO) {
                        fail("write tun");
                    }
                    if (lane == &link->down) {
                        const std::size_t payload = tvl::wan::transportPayload(packet.data->data(), packet.length);
                        link->deliveredPayload += payload;
                        if (trigger_.add(payload)) {
                            applyChange(now);
                        }
                    }
                    pool_.give(std::move(packet.data));
                    lane->queue.pop_front();
                }
            }
        }
    }

    void applyChange(std::int64_t now) {
        changedAtNs_ = now;
        for (auto& link : links_) {
            if (link->hasChange) {
                link->up.direction.setProfile(link->changed);
                link->down.direction.setProfile(link->changed);
            }
        }
    }

    // -1: nothing queued.
    std::int64_t earliestDue() const {
        std::int64_t earliest = -1;
        for (const auto& link : links_) {
            for (const Lane* lane : {&link->up, &link->down}) {
                if (!lane->queue.empty() && (earliest < 0 || lane->queue.front().dueNs < earliest)) {
                    earliest = lane->queue.front().dueNs;
                }
            }
        }
        return earliest;
    }

    void readControl() {
        char chunk[4096];
        const ssize_t got = read(STDIN_FILENO, chunk, sizeof chunk);
        if (got == 0) {
            stopping_ = true;  // the harness is gone
            return;
        }
        if (got < 0) {
            if (errno != EAGAIN && errno != EINTR) {
                stopping_ = true;
            }
            return;
        }
        pendingControl_.append(chunk, static_cast<std::size_t>(got));
        std::size_t newline;
        while ((newline = pendingControl_.find('\n')) != std::string::npos) {
            const std::string line = pendingControl_.substr(0, newline);
            pendingControl_.erase(0, newline + 1);
            if (line.rfind("start ", 0) == 0) {
                // start PATH [CHANGE]: the path holds no space.
                const std::string rest = line.substr(6);
                const std::size_t space = rest.find(' ');
                try {
                    configureChange(space == std::string::npos ? std::string() : rest.substr(space + 1));
                } catch (const std::exception& error) {
                    std::cout << "error " << error.what() << std::endl;
                    continue;
                }
                startRun(rest.substr(0, space));
                std::cout << "started" << std::endl;
            } else if (line == "finish") {
                std::cout << finishRun() << std::endl;
            } else if (!line.empty()) {
                std::cout << "error unknown command" << std::endl;
            }
        }
    }

    // Rearms the change configured last.
    void startRun(const std::string& path) {
        if (stats_ != nullptr) {
            std::fclose(stats_);
        }
        stats_ = std::fopen(path.c_str(), "w");
        if (stats_ == nullptr) {
            fail("open " + path);
        }
        // What a finished downloader left in flight belongs to no run.
        for (auto& link : links_) {
            for (Lane* lane : {&link->up, &link->down}) {
                for (auto& packet : lane->queue) {
                    pool_.give(std::move(packet.data));
                }
                lane->queue.clear();
                lane->direction.setProfile(link->first);
                lane->direction.reset();
                lane->onWire = 0;
                lane->lost = 0;
                lane->queueDrops = 0;
            }
            link->deliveredPayload = 0;
        }
        trigger_.rearm();
        rng_.seed(seed_);
        changedAtNs_ = -1;
        runStartNs_ = nowNs();
        std::fprintf(stats_, "ms");
        for (auto& link : links_) {
            std::fprintf(stats_, ",%s", link->name.c_str());
        }
        std::fprintf(stats_, "\n");
        writeRow(runStartNs_);
        itimerspec spec{};
        spec.it_interval.tv_sec = intervalMs_ / 1000;
        spec.it_interval.tv_nsec = static_cast<long>(intervalMs_ % 1000) * 1000000L;
        spec.it_value = spec.it_interval;
        timerfd_settime(tick_, 0, &spec, nullptr);
    }

    void writeRow(std::int64_t now) {
        std::fprintf(stats_, "%lld", static_cast<long long>((now - runStartNs_) / 1000000));
        for (auto& link : links_) {
            std::fprintf(stats_, ",%llu", static_cast<unsigned long long>(link->deliveredPayload));
        }
        std::fprintf(stats_, "\n");
        std::fflush(stats_);
    }

    std::string finishRun() {
        if (stats_ == nullptr) {
            return "{\"error\":\"no run started\"}";
        }
        const std::int64_t now = nowNs();
        writeRow(now);
        std::fclose(stats_);
        stats_ = nullptr;
        itimerspec off{};
        timerfd_settime(tick_, 0, &off, nullptr);
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        const double user = static_cast<double>(usage.ru_utime.tv_sec) +
                            static_cast<double>(usage.ru_utime.tv_usec) / 1e6;
        const double cpu = user + static_cast<double>(usage.ru_stime.tv_sec) +
                           static_cast<double>(usage.ru_stime.tv_usec) / 1e6;
        // The system time includes the receive processing of the packets
        // written to the devices, which the kernel does in the writer's call.
        std::string out = "{\"ms\":" + std::to_string((now - runStartNs_) / 1000000) + ",\"cpu_s\":" +
                          std::to_string(cpu) + ",\"user_s\":" + std::to_string(user) + ",\"changed_ms\":" +
                          (changedAtNs_ < 0 ? std::string("null")
                                            : std::to_string((changedAtNs_ - runStartNs_) / 1000000));
        const std::pair<const char*, std::uint64_t (*)(const Link&)> fields[] = {
            {"bytes", [](const Link& l) { return l.deliveredPayload; }},
            {"packets", [](const Link& l) { return l.up.onWire + l.down.onWire; }},
            {"lost", [](const Link& l) { return l.up.lost + l.down.lost; }},
            {"queue_drops", [](const Link& l) { return l.up.queueDrops + l.down.queueDrops; }},
        };
        for (const auto& [field, value] : fields) {
            out += std::string(",\"") + field + "\":{";
            for (std::size_t i = 0; i < links_.size(); ++i) {
                out += (i ? ",\"" : "\"") + links_[i]->name + "\":" + std::to_string(value(*links_[i]));
            }
            out += "}";
        }
        return out + "}";
    }

    std::string clientNs_;
    std::string clientDev_;
    std::vector<std::unique_ptr<Link>> links_;
    ByteTrigger trigger_;
    std::uint64_t seed_ = 1;
    int intervalMs_ = 100;
    std::string initialStats_;
    std::string change_;
    bool control_ = false;

    int epoll_ = -1;
    int tick_ = -1;
    int signalFd_ = -1;
    int clientFd_ = -1;
    bool stopping_ = false;
    std::string pendingControl_;
    std::FILE* stats_ = nullptr;
    std::int64_t runStartNs_ = 0;
    std::int64_t changedAtNs_ = -1;
    BufferPool pool_;
    std::mt19937_64 rng_;
    std::uniform_real_distribution<double> uniform_{0.0, 1.0};
};

}  // namespace

int main(int argc, char** argv) {
    try {
        Emulator emulator;
        emulator.parse(argc, argv);
        return emulator.run();
    } catch (const std::exception& error) {
        std::cerr << "talvane-link-emulator: " << error.what() << "\n";
        return 1;
    }
}
