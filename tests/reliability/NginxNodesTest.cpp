// One pass with a real static HTTP server as the download node: nginx serves
// the packed content root, the node list also names a node that refuses every
// connection, and the manifest host stays the in-process CDN.

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "tests/reliability/ReliabilityHarness.h"
#include "tests/support/NginxServer.h"

namespace tvl::reliability {
namespace {

using cdn::CdnEndpoint;
using cdn::CdnFault;

class NginxNodes : public ReliabilityTest {};

TEST_F(NginxNodes, AnNginxNodeBesideARefusingNodeDeliversThePackage) {
    result_.fault = "nodes: nginx and a node refusing connections";
    if (!test::NginxServer::Available()) {
        result_.outcome = "skipped: nginx is not installed";
        GTEST_SKIP() << "nginx is not installed";
    }
    // Refused before nginx starts: nginx inherits the test's open sockets, and
    // a copy of the node's listening socket in nginx would keep accepting
    // connections that nobody answers.
    server_->SetFault(CdnEndpoint::Node(1), CdnFault::Refused());
    test::NginxServer nginx(root_.Path());
    Pack({nginx.Authority(0), server_->Authority(CdnEndpoint::Node(1))});

    const auto outcome = RunToEnd(NewTransferArguments(3));
    EXPECT_EQ(outcome.signal, 0);
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    ExpectDestinationMatchesSource();
    ExpectNothingWrittenOutsideDestination();
    EXPECT_TRUE(server_->Requests(CdnEndpoint::Node(1)).empty());
    EXPECT_TRUE(server_->Requests(CdnEndpoint::Node(0)).empty()) << "the CDN's own nodes are not in the list";

    // nginx keeps no record for us; the engine's count of received bytes stands in.
    const std::string key = "\"bytesDownloaded\":\"";
    const std::size_t at = outcome.out.find(key);
    ASSERT_NE(at, std::string::npos) << outcome.out;
    const std::uint64_t received = std::strtoull(outcome.out.c_str() + at + key.size(), nullptr, 10);
    // A chunk of zeros (the one-byte tail of plus-one.bin, now and then) is
    // already right in a new file and is never asked for.
    EXPECT_EQ(received, TreeBytes(source_) - ZeroChunkBytes(source_, CurrentMode().chunkSize))
        << "each chunk came once from nginx";
    Record(result_.fault, OutcomeText(outcome), true);
    result_.bytesServed = received;
}

}  // namespace
}  // namespace tvl::reliability
