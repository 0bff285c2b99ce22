#pragma once

// The Talvane updater: its messages and the translations it ships. Used on the
// main thread.

#include "app/TalvaneUpdaterMessages.h"
#include "app/Updater.h"

namespace tvl {

class TalvaneUpdater : public Updater::Updater {
public:
    TalvaneUpdater() = default;

    const ::tvl::Updater::UpdaterMessages& GetMessages() const override;
    void RegisterCatalogs(EmbeddedMessageCatalog& catalog) const override;

private:
    TalvaneUpdaterMessages messages_;
};

}  // namespace tvl
