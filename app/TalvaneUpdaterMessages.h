#pragma once

#include "app/UpdaterMessages.h"

namespace tvl {

// The Talvane updater's texts, naming the deployment's support site.
class TalvaneUpdaterMessages : public Updater::UpdaterMessages {
public:
    // The support host of the compiled-in deployment.
    TalvaneUpdaterMessages();
    explicit TalvaneUpdaterMessages(std::string supportHost);

    std::string GetDomain() const override;
    std::string GetErrorMessage(TransferError code) const override;
    std::string GetTitle() const override;
    std::string GetErrorTitle() const override;
    std::string GetLaunchingMessage() const override;
    std::string GetLaunchFailedMessage() const override;

private:
    std::string SupportSentence() const;

    std::string supportHost_;
};

}  // namespace tvl
