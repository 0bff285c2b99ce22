// The earliest-finish choice against simulated nodes that share their link
// among the requests they serve: it must keep the fast nodes busy, leave the
// slow ones nearly idle, stop requests that would end far behind, and follow
// a node that slows down. Time is simulated; nothing here waits.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <map>
#include <memory>
#include <vector>

#include "engine/optimizer/EarliestFinishTransferOptimizer.h"
#include "engine/optimizer/ProportionalGamblingTransferOptimizer.h"
#include "tests/engine/optimizer/OptimizerTestSupport.h"

namespace tvl {
namespace {

using testing::MakeNode;
using testing::MakeNodeList;
using testing::MakeParams;
using testing::TestSettings;

constexpr std::uint64_t kChunk = 1048576;
constexpr double kStep = 0.005;
constexpr double kCheckInterval = 0.2;

struct SimNode {
    double linkRate;        // bytes per second the node's link carries, shared by its requests
    double connectionRate;  // at most this per request (loss and delay limit one connection)
    double latency;         // seconds to the first byte
};

struct Flight {
    std::unique_ptr<OptimizedRequestParams> params;
    double started = 0;
    double received = 0;
    double nextCheck = 0;
    bool inFlightCounted = true;
};

// A transfer of `chunks` chunks with `slots` requests in flight against the
// nodes, in simulated time; retries as the chunk work does (stopped and failed
// requests go to the chunk's remaining candidates).
class Simulation {
  public:
    Simulation(std::map<std::string, SimNode> nodes, std::vector<std::string> order, std::uint32_t slots)
        : nodes_(std::move(nodes)), list_(MakeNodeList(order)), slots_(slots) {}

    // Calls change(time) every step, so that a test can change a node mid-run.
    template <typename Optimizer, typename Change>
    double Run(Optimizer& optimizer, int chunks, Change change) {
        std::deque<std::unique_ptr<OptimizedRequestParams>> pending;
        for (int i = 0; i < chunks; ++i) {
            pending.push_back(MakeParams(list_, kChunk));
        }
        std::vector<Flight> flights;
        int done = 0;
        for (int step = 0; step < 10000000 && done < chunks; ++step) {
            change(now_);
            while (flights.size() < slots_ && !pending.empty()) {
                Flight flight;
                flight.params = std::move(pending.front());
                pending.pop_front();
                flight.params->waitingRequests = pending.size();
                optimizer.GetNode(*flight.params);
                flight.started = now_;
                flight.nextCheck = now_ + kCheckInterval;
                flights.push_back(std::move(flight));
            }
            std::map<std::string, int> load;
            for (const auto& flight : flights) {
                ++load[flight.params->selectedNode->GetHost()];
            }
            now_ += kStep;
            for (std::size_t i = 0; i < flights.size();) {
                Flight& flight = flights[i];
                const std::string host = flight.params->selectedNode->GetHost();
                const SimNode& node = nodes_.at(host);
                if (now_ - flight.started > node.latency) {
                    const double share = std::min(node.connectionRate, node.linkRate / load[host]);
                    flight.received = std::min<double>(kChunk, flight.received + share * kStep);
                    bytesByHost_[host] += share * kStep;
                }
                busyByHost_[host] += kStep;
                bool stopped = false;
                if (flight.received < kChunk && now_ >= flight.nextCheck) {
                    flight.nextCheck = now_ + kCheckInterval;
                    flight.params->waitingRequests = pending.size();
                    stopped = !optimizer.KeepGoing(*flight.params, static_cast<std::uint64_t>(flight.received),
                                                   now_ - flight.started);
                }
                if (flight.received >= kChunk || stopped) {
                    HttpRequestStatus status;
                    status.result = stopped ? HttpRequestResult::RequestTimeout : HttpRequestResult::Success;
                    status.bytesWritten = static_cast<std::uint64_t>(flight.received);
                    status.firstByteTimeMs = static_cast<std::uint32_t>(node.latency * 1000);
                    status.requestTimeMs = static_cast<std::uint32_t>((now_ - flight.started) * 1000);
                    flight.params->stoppedSlow = stopped;
                    optimizer.OnRequestEnd(*flight.params, status);
                    optimizer.ReportResult(*flight.params,
                                           std::make_shared<HttpTransferStatusData>(host, status));
                    if (stopped) {
                        ++stops_;
                        ++flight.params->slowStops;
                        flight.params->RemoveSelectedNode();
                        pending.push_front(std::move(flight.params));
                    } else {
                        ++done;
                    }
                    flights.erase(flights.begin() + static_cast<std::ptrdiff_t>(i));
                } else {
                    ++i;
                }
            }
        }
        return now_;
    }

    template <typename Optimizer>
    double Run(Optimizer& optimizer, int chunks) {
        return Run(optimizer, chunks, [](double) {});
    }

    double Now() const { return now_; }
    const EarliestFinishTransferOptimizer::Clock Clock() const {
        return [this] { return now_; };
    }
    double TotalBytes() const {
        double total = 0;
        for (const auto& entry : bytesByHost_) {
            total += entry.second;
        }
        return total;
    }
    double Share(const std::string& host) const {
        double total = 0;
        for (const auto& entry : bytesByHost_) {
            total += entry.second;
        }
        const auto found = bytesByHost_.find(host);
        return found == bytesByHost_.end() || total <= 0 ? 0 : found->second / total;
    }
    double BusySeconds(const std::string& host) const {
        const auto found = busyByHost_.find(host);
        return found == busyByHost_.end() ? 0 : found->second;
    }
    int Stops() const { return stops_; }
    std::map<std::string, SimNode>& Nodes() { return nodes_; }

  private:
    std::map<std::string, SimNode> nodes_;
    std::shared_ptr<NodeListManifest> list_;
    std::uint32_t slots_;
    double now_ = 100.0;
    std::map<std::string, double> bytesByHost_;
    std::map<std::string, double> busyByHost_;
    int stops_ = 0;
};

// Node A 25 MB/s, B 5 MB/s, C 1 MB/s whose connections reach only 125 kB/s.
std::map<std::string, SimNode> UnequalNodes() {
    return {{"a", {25e6, 14e6, 0.02}}, {"b", {5e6, 5e6, 0.06}}, {"c", {1e6, 125e3, 0.15}}};
}

TEST(EarliestFinishOptimizerTest, ThreeUnequalNodesFinishNearTheSumOfTheirRates) {
    const int chunks = 228;
    const double limit = chunks * static_cast<double>(kChunk) / (25e6 + 5e6 + 1e6);
    for (const auto& order : {std::vector<std::string>{"a", "b", "c"}, std::vector<std::string>{"c", "b", "a"}}) {
        Simulation simulation(UnequalNodes(), order, 16);
        EarliestFinishTransferOptimizer optimizer(TestSettings(), simulation.Clock());
        const double seconds = simulation.Run(optimizer, chunks) - 100.0;
        EXPECT_LT(seconds, 1.25 * limit) << "order " << order.front();
        // The slow node is used, but only for about its share of the rate.
        EXPECT_GT(simulation.Share("c"), 0.0);
        EXPECT_LT(simulation.Share("c"), 0.06);
        EXPECT_GT(simulation.Share("a"), 0.7);
        EXPECT_GT(simulation.Share("b"), 0.08);
    }

    // The per-request bet with its floor, in the same network and slots,
    // lets the slow node hold slots and ends far later: the reason for the
    // default.
    Simulation gamblingRun(UnequalNodes(), {"a", "b", "c"}, 16);
    ProportionalGamblingTransferOptimizer gambling(TestSettings(), 7);
    Simulation finishRun(UnequalNodes(), {"a", "b", "c"}, 16);
    EarliestFinishTransferOptimizer finish(TestSettings(), finishRun.Clock());
    EXPECT_LT(finishRun.Run(finish, chunks) - 100.0, 0.7 * (gamblingRun.Run(gambling, chunks) - 100.0));
}

TEST(EarliestFinishOptimizerTest, FollowsAFastNodeThatSlowsDown) {
    const int chunks = 228;
    Simulation simulation(UnequalNodes(), {"a", "b", "c"}, 16);
    EarliestFinishTransferOptimizer optimizer(TestSettings(), simulation.Clock());
    bool degraded = false;
    double degradedAt = 0;
    double received = 0;
    const double end = simulation.Run(optimizer, chunks, [&](double now) {
        if (!degraded && simulation.TotalBytes() >= chunks * static_cast<double>(kChunk) / 2) {
            degraded = true;
            degradedAt = now;
            received = simulation.TotalBytes();
            simulation.Nodes()["a"] = {1e6, 1e6, 0.02};
        }
    });
    ASSERT_TRUE(degraded);
    // The second half moves at about what B and the slowed A can carry
    // together; waiting on the requests A still had would take far longer.
    const double left = chunks * static_cast<double>(kChunk) - received;
    EXPECT_LT(end - degradedAt, 1.3 * left / (5e6 + 1e6));
    EXPECT_GT(simulation.Stops(), 0);
}

TEST(EarliestFinishOptimizerTest, ProbesEachUnknownHostOnceThenSpreads) {
    double now = 0;
    EarliestFinishTransferOptimizer optimizer(TestSettings(), [&] { return now; });
    auto list = MakeNodeList({"a", "b", "c"});
    std::vector<std::unique_ptr<OptimizedRequestParams>> requests;
    std::map<std::string, int> probes;
    for (int i = 0; i < 3; ++i) {
        requests.push_back(MakeParams(list, kChunk));
        optimizer.GetNode(*requests.back());
        EXPECT_TRUE(requests.back()->exploring);
        ++probes[requests.back()->selectedNode->GetHost()];
    }
    EXPECT_EQ(probes.size(), 3u);
    // Every host has its probe out and none has answered: no second probe,
    // the requests spread over the least loaded.
    for (int i = 0; i < 3; ++i) {
        requests.push_back(MakeParams(list, kChunk));
        optimizer.GetNode(*requests.back());
        EXPECT_FALSE(requests.back()->exploring);
        EXPECT_EQ(optimizer.GetHostLoad(requests.back()->selectedNode->GetHost()).inFlight, 2u);
    }

    // Once "b" has answered, new requests go there until its queue makes it
    // slower than nothing at all (the others are unmeasured).
    now = 0.5;
    HttpRequestStatus success;
    success.result = HttpRequestResult::Success;
    success.bytesWritten = kChunk;
    success.firstByteTimeMs = 50;
    for (auto& request : requests) {
        if (request->selectedNode->GetHost() == "b") {
            optimizer.OnRequestEnd(*request, success);
        }
    }
    EXPECT_TRUE(optimizer.GetHostLoad("b").measured);
    // Each of the two got 1 MiB in 0.5 s beside one other: 4 MiB/s in all.
    EXPECT_NEAR(optimizer.GetHostLoad("b").rate, 2.0 * kChunk / 0.5, 1.0);
    auto next = MakeParams(list, kChunk);
    optimizer.GetNode(*next);
    EXPECT_EQ(next->selectedNode->GetHost(), "b");

    // A request that never ran only gives its slot back; a cancelled one
    // says nothing of the node's rate.
    const double rate = optimizer.GetHostLoad("b").rate;
    optimizer.OnRequestEnd(*next, HttpRequestStatus());
    EXPECT_EQ(optimizer.GetHostLoad("b").inFlight, 0u);
    optimizer.GetNode(*next);
    now = 5.0;
    HttpRequestStatus aborted;
    aborted.result = HttpRequestResult::Aborted;
    optimizer.OnRequestEnd(*next, aborted);
    EXPECT_EQ(optimizer.GetHostLoad("b").rate, rate);

    // A host idle for long is probed again.
    now = 5.0 + EarliestFinishTransferOptimizer::kReprobeSeconds + 1;
    auto later = MakeParams(MakeNodeList({"a", "b"}), kChunk);
    for (auto& request : requests) {
        if (request->selectedNode->GetHost() == "a") {
            optimizer.OnRequestEnd(*request, success);
        }
    }
    optimizer.GetNode(*later);
    EXPECT_EQ(later->selectedNode->GetHost(), "b");
    EXPECT_TRUE(later->exploring);
}

TEST(EarliestFinishOptimizerTest, StopsOnlyRequestsFarBehindAFreshOneElsewhere) {
    double now = 0;
    EarliestFinishTransferOptimizer optimizer(TestSettings(), [&] { return now; });
    auto list = MakeNodeList({"fast", "slow"});
    HttpRequestStatus success;
    success.result = HttpRequestResult::Success;
    success.bytesWritten = kChunk;
    success.firstByteTimeMs = 20;
    // Both measured: "fast" delivers 10 MB/s.
    for (const char* host : {"fast", "slow"}) {
        auto params = MakeParams(list, kChunk);
        params->nodes = {list->GetNodes()[std::string(host) == "fast" ? 0 : 1]};
        optimizer.GetNode(*params);
        now += std::string(host) == "fast" ? 0.1 : 8.0;
        optimizer.OnRequestEnd(*params, success);
    }

    auto params = MakeParams(list, kChunk);
    params->selectedNode = list->GetNodes()[1];
    params->waitingRequests = 3;
    // Too early to judge, however little arrived.
    EXPECT_TRUE(optimizer.KeepGoing(*params, 0, 0.5));
    // At 125 kB/s the rest takes 7 s; a fresh request on "fast" about 0.1 s.
    EXPECT_FALSE(optimizer.KeepGoing(*params, 125000, 1.0));
    // Nearly done: finishing here beats starting over.
    EXPECT_TRUE(optimizer.KeepGoing(*params, kChunk - 50000, 8.0));
    // A request sent to the slow node while the fast one was busy is left to
    // finish while others wait, and judged sooner and harder once none does.
    params->spare = true;
    EXPECT_TRUE(optimizer.KeepGoing(*params, 125000, 1.0));
    params->waitingRequests = 0;
    EXPECT_FALSE(optimizer.KeepGoing(*params, 40000, 0.3));
    EXPECT_FALSE(optimizer.KeepGoing(*params, kChunk - 200000, 7.0));
    params->spare = false;
    // In the last requests the rest of a chunk moves to an idle fast node as
    // soon as it would arrive sooner there, since the next request asks only
    // for what this one has not written; not when it would come no sooner.
    EXPECT_FALSE(optimizer.KeepGoing(*params, kChunk - 30000, (kChunk - 30000) / 125000.0));
    EXPECT_TRUE(optimizer.KeepGoing(*params, kChunk - 2000, (kChunk - 2000) / 125000.0));
    params->waitingRequests = 3;
    // Each chunk is stopped at most once per node, so it always ends.
    params->slowStops = 2;
    EXPECT_TRUE(optimizer.KeepGoing(*params, 125000, 1.0));
    params->slowStops = 0;

    // Nowhere else to go: a one-node list is never stopped.
    auto single = MakeParams(MakeNodeList({"slow"}), kChunk);
    single->selectedNode = single->nodes.front();
    EXPECT_TRUE(optimizer.KeepGoing(*single, 0, 30.0));

    // A weight of 0 keeps a node as the last resort: it is no alternative.
    auto weighted = std::make_shared<testing::FixedNodeList>(
        NodeManifestList{MakeNode("fast", 0), MakeNode("slow", 5)});
    auto unweighted = MakeParams(weighted, kChunk);
    unweighted->selectedNode = weighted->GetNodes()[1];
    EXPECT_TRUE(optimizer.KeepGoing(*unweighted, 125000, 1.0));
    auto choice = MakeParams(weighted, kChunk);
    optimizer.GetNode(*choice);
    EXPECT_EQ(choice->selectedNode->GetHost(), "slow");

    // A stopped request neither lengthens the shared timeouts nor counts as
    // the node's timeout beyond its statistics.
    const std::int32_t connect = optimizer.GetCurrentConnectTimeoutSeconds();
    params->stoppedSlow = true;
    HttpRequestStatus stopped;
    stopped.result = HttpRequestResult::RequestTimeout;
    optimizer.ReportResult(*params, std::make_shared<HttpTransferStatusData>("slow", stopped));
    EXPECT_EQ(optimizer.GetCurrentConnectTimeoutSeconds(), connect);
}

}  // namespace
}  // namespace tvl
