#pragma once

// The holder of the engine's components behind TransferService. The engine's
// components (work managers, factories, transfer manager) are not assembled
// yet: until they are, the holder keeps only the settings and the service
// knows no transfer, so every id gets the unknown-transfer status.

#include "engine/service/TransferSettings.h"

namespace tvl {

class TransferServiceImpl {
public:
    explicit TransferServiceImpl(const TransferSettings& settings) : settings_(settings) {}
    TransferServiceImpl(const TransferServiceImpl&) = delete;
    TransferServiceImpl& operator=(const TransferServiceImpl&) = delete;

    const TransferSettings& Settings() const { return settings_; }

private:
    TransferSettings settings_;
};

}  // namespace tvl
