#include "engine/service/TransferParams.h"

#include <gtest/gtest.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <set>
#include <sstream>

namespace tvl {
namespace {

std::vector<std::string> Keys(const boost::property_tree::ptree& tree) {
    std::vector<std::string> keys;
    for (const auto& child : tree) {
        keys.push_back(child.first);
    }
    return keys;
}

TEST(TransferParams, DefaultIsUnspecifiedEverywhere) {
    const TransferParams params;
    boost::property_tree::ptree tree;
    params.Describe(tree);
    const std::vector<std::string> expectedKeys = {"transferId", "partnerId", "packageId", "versionId",
                                                   "destPath"};
    EXPECT_EQ(Keys(tree), expectedKeys);
    for (const auto& child : tree) {
        EXPECT_EQ(child.second.data(), "?") << child.first;
    }
    EXPECT_FALSE(params.suspended);
    EXPECT_EQ(params.transferType, 0);
}

TEST(TransferParams, DescribesOnlyTheFiveStringsAsAFlatObject) {
    TransferParams params;
    params.transferId = "0123456789abcdef0123456789abcdef";
    params.partnerId = "p";
    params.packageId = "k";
    params.versionId = "v.1";  // a "." in a value must not become a path
    params.destPath = "/home/u/Downloads";
    params.suspended = true;
    params.transferType = 1;

    boost::property_tree::ptree tree;
    params.Describe(tree);
    EXPECT_EQ(tree.size(), 5u);
    EXPECT_EQ(tree.get<std::string>("versionId"), "v.1");
    EXPECT_EQ(tree.count("suspended"), 0u);
    EXPECT_EQ(tree.count("transferType"), 0u);

    std::ostringstream json;
    boost::property_tree::write_json(json, tree, false);
    EXPECT_EQ(json.str(),
              "{\"transferId\":\"0123456789abcdef0123456789abcdef\",\"partnerId\":\"p\",\"packageId\":\"k\","
              "\"versionId\":\"v.1\",\"destPath\":\"\\/home\\/u\\/Downloads\"}\n");
}

TEST(TransferParams, CopiesKeepEveryField) {
    TransferParams params;
    params.transferId = "t";
    params.destPath = "d";
    params.suspended = true;
    params.transferType = 1;
    TransferParams copy;
    copy = params;
    EXPECT_EQ(copy.transferId, "t");
    EXPECT_EQ(copy.destPath, "d");
    EXPECT_TRUE(copy.suspended);
    EXPECT_EQ(copy.transferType, 1);
}

TEST(NewTransferId, IsAVersionFourUuidWithoutHyphensAndNeverRepeats) {
    std::set<std::string> seen;
    std::set<char> variants;
    for (int i = 0; i < 2000; ++i) {
        const std::string id = NewTransferId();
        ASSERT_EQ(id.size(), 32u) << id;
        ASSERT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
        ASSERT_EQ(id[12], '4') << id;
        ASSERT_NE(std::string("89ab").find(id[16]), std::string::npos) << id;
        variants.insert(id[16]);
        ASSERT_TRUE(seen.insert(id).second) << "duplicate " << id;
    }
    // The variant digit keeps two random bits: all four values turn up.
    EXPECT_EQ(variants.size(), 4u);
}

}  // namespace
}  // namespace tvl
