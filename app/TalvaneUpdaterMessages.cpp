#include "app/TalvaneUpdaterMessages.h"

#include <utility>

#include "resources/Deployment.h"

namespace tvl {

TalvaneUpdaterMessages::TalvaneUpdaterMessages() : supportHost_(CompiledDeployment().supportHost) {}

TalvaneUpdaterMessages::TalvaneUpdaterMessages(std::string supportHost) : supportHost_(std::move(supportHost)) {}

std::string TalvaneUpdaterMessages::SupportSentence() const {
    return "Please visit " + supportHost_ + " for further assistance.";
}

std::string TalvaneUpdaterMessages::GetDomain() const { return "updater"; }

std::string TalvaneUpdaterMessages::GetErrorMessage(TransferError code) const {
    switch (code) {
        case TransferError::ConnectionError:
            return "We couldn't establish a connection. Could you please check your connection and try again?";
        case TransferError::OutOfMemory:
            return "The system is out of memory; are you running too many programs? Free up some memory and "
                   "try again.";
        case TransferError::DiskFull:
            return "It looks like your system disk is out of space. Free some space and give it another try.";
        case TransferError::FileAccessError:
        case TransferError::FileWriteError:
            return "We're having some trouble writing to your disk. Can you make sure your user account has "
                   "sufficient permissions and try again?";
        case TransferError::Geofenced:
            return "This download is not available in your location. Please visit " + supportHost_ +
                   " for more information.";
        case TransferError::AuthenticityError:
            // Nothing the user can retry or fix here: what arrived is not what
            // the publisher released, so the only useful pointer is support.
            return "We couldn't verify this download, so it was not started. " + SupportSentence();
        default:
            return "An unexpected error occurred. " + SupportSentence();
    }
}

std::string TalvaneUpdaterMessages::GetTitle() const { return "{1} Downloader"; }

std::string TalvaneUpdaterMessages::GetErrorTitle() const { return "{1} Downloader Error"; }

std::string TalvaneUpdaterMessages::GetLaunchingMessage() const { return "Launching {1} Downloader"; }

std::string TalvaneUpdaterMessages::GetLaunchFailedMessage() const {
    return "The {1} Downloader could not be launched. " + SupportSentence();
}

}  // namespace tvl
