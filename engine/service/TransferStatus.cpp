#include "engine/service/TransferStatus.h"

#include "engine/service/TransferState.h"
#include "engine/service/UnsetValue.h"
#include "engine/workflow/TransferError.h"

namespace tvl {

TransferStatus::TransferStatus()
    : partnerId(Unspecified()),
      packageId(Unspecified()),
      versionId(Unspecified()),
      destPath(Unspecified()),
      state(static_cast<std::uint8_t>(TransferState::None)),
      error(static_cast<std::uint8_t>(TransferError::InternalError)),
      retryable(false),
      bytesDownloaded(0),
      bytesDone(0),
      bytesVerified(0),
      bytesTotal(0),
      bytesPerSecond(0),
      secondsRemaining(-1) {}

bool TransferStatus::IsFinal() const {
    switch (static_cast<TransferState>(state)) {
        case TransferState::None:
        case TransferState::Suspended:
        case TransferState::Completed:
        case TransferState::Canceled:
            return true;
        default:
            return error != 0 && !retryable;
    }
}

}  // namespace tvl
