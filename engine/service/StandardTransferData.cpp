#include "engine/service/StandardTransferData.h"

#include "engine/http/HttpSession.h"
#include "engine/manifest/GeolocationManifest.h"
#include "engine/manifest/NodeManifest.h"
#include "engine/manifest/PackageManifest.h"
#include "engine/service/TransferStatusImpl.h"

namespace tvl {

StandardTransferData::StandardTransferData(const TransferParams& params, const TransferBehavior& behavior,
                                           MillisecondClock clock)
    : params(params),
      behavior(behavior),
      status(std::make_shared<TransferStatusImpl>(&this->params, behavior.settings.rateWindowSeconds,
                                                  behavior.settings.estimateIntervalMs, std::move(clock))),
      httpSession(behavior.httpSessionFactory != nullptr ? behavior.httpSessionFactory->Create()
                                                         : std::shared_ptr<HttpSession>()),
      registeredFiles(11) {
    registeredFiles.max_load_factor(1.0f);
}

StandardTransferData::~StandardTransferData() = default;

}  // namespace tvl
