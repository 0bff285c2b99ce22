#include "app/TalvaneUpdaterMessages.h"

#include <gtest/gtest.h>

#include "resources/Deployment.h"

namespace tvl {
namespace {

const char kUnexpected[] = "An unexpected error occurred. Please visit help.example.org for further assistance.";
const char kDisk[] =
    "We're having some trouble writing to your disk. Can you make sure your user account has sufficient "
    "permissions and try again?";

std::string Message(int code) {
    return TalvaneUpdaterMessages("help.example.org").GetErrorMessage(static_cast<TransferError>(code));
}

TEST(TalvaneUpdaterMessages, SpecificTextsForTheirCodes) {
    EXPECT_EQ(Message(2),
              "We couldn't establish a connection. Could you please check your connection and try again?");
    EXPECT_EQ(Message(3),
              "The system is out of memory; are you running too many programs? Free up some memory and try "
              "again.");
    EXPECT_EQ(Message(4), "It looks like your system disk is out of space. Free some space and give it another try.");
    EXPECT_EQ(Message(5), kDisk);
    EXPECT_EQ(Message(7), kDisk);
    EXPECT_EQ(Message(10),
              "This download is not available in your location. Please visit help.example.org for more "
              "information.");
    EXPECT_EQ(Message(11),
              "We couldn't verify this download, so it was not started. Please visit help.example.org for "
              "further assistance.");
}

TEST(TalvaneUpdaterMessages, EveryOtherCodeIsUnexpected) {
    for (int code : {0, 1, 6, 8, 9}) {
        EXPECT_EQ(Message(code), kUnexpected) << "code " << code;
    }
    for (int code = 12; code <= 255; ++code) {
        EXPECT_EQ(Message(code), kUnexpected) << "code " << code;
    }
}

TEST(TalvaneUpdaterMessages, TitlesAndLaunchTexts) {
    const TalvaneUpdaterMessages messages("help.example.org");
    EXPECT_EQ(messages.GetDomain(), "updater");
    EXPECT_EQ(messages.GetTitle(), "{1} Downloader");
    EXPECT_EQ(messages.GetErrorTitle(), "{1} Downloader Error");
    EXPECT_EQ(messages.GetLaunchingMessage(), "Launching {1} Downloader");
    EXPECT_EQ(messages.GetLaunchFailedMessage(),
              "The {1} Downloader could not be launched. Please visit help.example.org for further assistance.");
}

TEST(TalvaneUpdaterMessages, DefaultSupportHostIsTheDeployments) {
    const std::string text = TalvaneUpdaterMessages().GetErrorMessage(TransferError::InternalError);
    EXPECT_EQ(text, std::string("An unexpected error occurred. Please visit ") + CompiledDeployment().supportHost +
                        " for further assistance.");
}

}  // namespace
}  // namespace tvl
