// The initialization part of the download tree against a local CDN: the
// geofence with and without a geolocation answer, and packages the tree
// refuses.

#include <gtest/gtest.h>

#include "engine/workflow/TransferError.h"
#include "tests/engine/workflow/WorkflowTestSupport.h"

namespace tvl::test {
namespace {

using cdn::CdnEndpoint;
using cdn::CdnFault;

constexpr std::uint8_t Error(TransferError error) {
    return static_cast<std::uint8_t>(error);
}

Delivery::Source Fenced(const std::string& policy, std::vector<std::string> countries) {
    Delivery::Source source = Delivery::StandardSource();
    source.files.resize(4);
    source.policy = policy;
    source.countries = std::move(countries);
    return source;
}

struct GeofenceCase {
    const char* policy;
    const char* listed;
    const char* country;  // empty: the geolocation endpoint answers 503
    bool allowed;
};

class GeofenceTest : public ::testing::TestWithParam<GeofenceCase> {};

TEST_P(GeofenceTest, DecidesByTheUsersCountry) {
    const GeofenceCase& c = GetParam();
    Delivery delivery;
    delivery.Publish(Fenced(c.policy, {c.listed}));
    if (*c.country == '\0') {
        delivery.Server().SetFault(CdnEndpoint::Geolocation(), CdnFault::WithStatus(503));
    } else {
        delivery.Server().SetCountry(c.country);
    }
    auto transfer = delivery.NewDownload();

    const TransferStatus status = Delivery::Initialize(*transfer);

    if (c.allowed) {
        EXPECT_EQ(StateOf(status), TransferState::Initialized);
        EXPECT_EQ(status.error, 0);
    } else {
        EXPECT_EQ(status.error, Error(TransferError::Geofenced));
        EXPECT_FALSE(status.retryable);
        EXPECT_NE(StateOf(status), TransferState::Initialized);
    }
    if (*c.country == '\0') {
        // Asked twice (one retry), then decided without a country.
        EXPECT_EQ(delivery.Server().Requests(CdnEndpoint::Geolocation()).size(), 2u);
    }
    // Nothing is downloaded during initialization.
    EXPECT_EQ(delivery.NodeRequests(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Policies, GeofenceTest,
                         ::testing::Values(GeofenceCase{"Whitelist", "US", "US", true},
                                           GeofenceCase{"Whitelist", "US", "DE", false},
                                           GeofenceCase{"Blacklist", "DE", "US", true},
                                           GeofenceCase{"Blacklist", "DE", "DE", false},
                                           GeofenceCase{"Whitelist", "US", "", false},
                                           GeofenceCase{"Blacklist", "DE", "", true},
                                           GeofenceCase{"None", "DE", "DE", true}));

TEST(InitializeWorkflowTest, GeolocationThatIsNotThereFallsBackAtOnce) {
    Delivery delivery;
    delivery.Publish(Fenced("Blacklist", {"DE"}));
    delivery.Server().SetFault(CdnEndpoint::Geolocation(), CdnFault::WithStatus(404));
    auto transfer = delivery.NewDownload();

    const TransferStatus status = Delivery::Initialize(*transfer);

    EXPECT_EQ(StateOf(status), TransferState::Initialized);
    EXPECT_EQ(delivery.Server().Requests(CdnEndpoint::Geolocation()).size(), 1u);
}

TEST(InitializeWorkflowTest, InactivePackageEndsWithContentError) {
    Delivery delivery;
    Delivery::Source source = Delivery::StandardSource();
    source.inactive = true;
    delivery.Publish(source);
    auto transfer = delivery.NewDownload();

    const TransferStatus status = Delivery::Initialize(*transfer);

    EXPECT_EQ(status.error, Error(TransferError::ContentError));
    EXPECT_FALSE(status.retryable);
    EXPECT_TRUE(WaitUntil([&] { return transfer->GetStatus().IsFinal(); }));
}

TEST(InitializeWorkflowTest, PackageWithoutFilesEndsWithInternalError) {
    Delivery delivery;
    delivery.Publish(Delivery::StandardSource());
    WriteBytes(fs::path(delivery.Server().ContentRoot()) / "manifests/pkg/current.xml",
               "<package id=\"pkg\" name=\"Empty\" partnerId=\"partner\" versionId=\"3\"><files/></package>");
    auto transfer = delivery.NewDownload();

    const TransferStatus status = Delivery::Initialize(*transfer);

    EXPECT_EQ(status.error, Error(TransferError::InternalError));
    EXPECT_NE(StateOf(status), TransferState::Initialized);
    EXPECT_EQ(delivery.NodeRequests(), 0u);
}

TEST(InitializeWorkflowTest, MissingPackageEndsWithContentError) {
    Delivery delivery;
    delivery.Publish(Delivery::StandardSource());
    fs::remove(fs::path(delivery.Server().ContentRoot()) / "manifests/pkg/current.xml");
    auto transfer = delivery.NewDownload();

    const TransferStatus status = Delivery::Initialize(*transfer);

    EXPECT_EQ(status.error, Error(TransferError::ContentError));
    EXPECT_FALSE(status.retryable);
}

TEST(InitializeWorkflowTest, PauseDuringAHangingFetchCancelsItAndResumeFetchesAgain) {
    Delivery delivery;
    delivery.Publish(Delivery::StandardSource());
    delivery.Server().SetFault(CdnEndpoint::Manifest(), CdnFault::StalledAfter(0));
    auto transfer = delivery.NewDownload();
    transfer->Initialize();
    ASSERT_TRUE(WaitUntil([&] { return delivery.Server().Requests(CdnEndpoint::Manifest()).size() >= 2; }));

    const TransferStatus paused = transfer->Pause();
    EXPECT_EQ(StateOf(paused), TransferState::InitializingPaused);
    delivery.Server().ClearFaults();
    transfer->Resume();

    TransferStatus status;
    ASSERT_TRUE(WaitUntil([&] {
        status = transfer->GetStatus();
        return StateOf(status) == TransferState::Initialized || status.error != 0;
    }));
    EXPECT_EQ(StateOf(status), TransferState::Initialized);
    EXPECT_EQ(status.error, 0);
}

}  // namespace
}  // namespace tvl::test
