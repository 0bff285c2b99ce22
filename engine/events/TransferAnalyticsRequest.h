#pragma once

// The document of the transfers endpoint: where one transfer stands and what
// it did since its previous report,
//   {"pid":...,"pkgid":...,"vid":...,"tid":...,"status":"active","transferBytes":"0","duration":"0"}
// with the duration in seconds. Built, written and dropped on one thread.

#include <cstdint>
#include <string>

#include "engine/manifest/Manifest.h"
#include "engine/service/TransferState.h"

namespace tvl {

class TransferParams;

class TransferAnalyticsRequest : public OutputManifest {
  public:
    TransferAnalyticsRequest(const TransferParams& params, TransferState state, std::uint64_t transferBytes,
                             std::uint64_t durationMs);

    void Write(boost::property_tree::ptree& tree) const override;

    // "suspended", "completed", "canceled", or "active" for every other state.
    static const char* StatusText(std::uint8_t state);
    // Milliseconds as seconds with up to 16 significant digits and no trailing
    // zeros: 12345 gives "12.345", 0 gives "0".
    static std::string DurationText(std::uint64_t durationMs);

  private:
    std::string pid_;
    std::string pkgid_;
    std::string vid_;
    std::string tid_;
    std::uint8_t state_;
    std::uint64_t transferBytes_;
    std::uint64_t durationMs_;
};

}  // namespace tvl
