#include "engine/events/JsonText.h"

#include <gtest/gtest.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <random>
#include <sstream>
#include <streambuf>

namespace tvl {
namespace {

using boost::property_tree::json_parser_error;
using boost::property_tree::ptree;

ptree Value(const std::string& value) {
    ptree tree;
    tree.put_value(value);
    return tree;
}

ptree Object(const std::string& key, const std::string& value) {
    ptree tree;
    tree.push_back({key, Value(value)});
    return tree;
}

// Counts flushes and, when told to, refuses every byte.
class RecordingBuffer : public std::streambuf {
  public:
    explicit RecordingBuffer(bool refuse = false) : refuse_(refuse) {}
    std::string text;
    int syncs = 0;

  protected:
    int_type overflow(int_type c) override {
        if (refuse_) {
            return traits_type::eof();
        }
        text += traits_type::to_char_type(c);
        return c;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        if (refuse_) {
            return 0;
        }
        text.append(s, static_cast<std::size_t>(n));
        return n;
    }
    int sync() override {
        ++syncs;
        return 0;
    }

  private:
    bool refuse_;
};

TEST(JsonTextTest, EscapesEachSpecialByteAsSpecified) {
    const std::string raw = std::string("\b\t\n\f\r\"/\\") + std::string(1, '\0') + "\x01\x1f" + " !#~\x7f" +
                            "\x80\xff" + "\xc3\xa9";
    const std::string expected =
        "{\"k\":\"\\b\\t\\n\\f\\r\\\"\\/\\\\\\u0000\\u0001\\u001F !#~\x7f\\u0080\\u00FF\\u00C3\\u00A9\"}\n";
    EXPECT_EQ(expected, JsonText(Object("k", raw)));
}

TEST(JsonTextTest, EscapesKeysLikeValues) {
    EXPECT_EQ("{\"a\\/b\\\"\\u00E2\\u0082\\u00AC\":\"x\"}\n", JsonText(Object("a/b\"\xe2\x82\xac", "x")));
}

TEST(JsonTextTest, LeavesEveryOtherPrintableAsciiByteAlone) {
    std::string printable;
    for (int c = 0x20; c < 0x7f; ++c) {
        if (c != '"' && c != '/' && c != '\\') {
            printable += static_cast<char>(c);
        }
    }
    EXPECT_EQ("{\"v\":\"" + printable + "\"}\n", JsonText(Object("v", printable)));
}

TEST(JsonTextTest, WritesNestedObjectsInOrderWithoutWhiteSpace) {
    ptree tree;
    tree.put("event", "Start");
    tree.put("params.transferId", "t");
    tree.put("params.partnerId", "p");
    tree.put("count", 12);
    tree.put("flag", true);
    tree.put("empty", "");
    EXPECT_EQ(
        "{\"event\":\"Start\",\"params\":{\"transferId\":\"t\",\"partnerId\":\"p\"},"
        "\"count\":\"12\",\"flag\":\"true\",\"empty\":\"\"}\n",
        JsonText(tree));
}

TEST(JsonTextTest, WritesChildrenWithEmptyKeysAsArrays) {
    ptree top;
    top.push_back({"", Object("a", "1")});
    top.push_back({"", Object("b", "2")});
    EXPECT_EQ("[{\"a\":\"1\"},{\"b\":\"2\"}]\n", JsonText(top));

    ptree list;
    list.push_back({"", Value("x")});
    list.push_back({"", Value("7")});
    list.push_back({"", top});
    ptree doc;
    doc.add_child("list", list);
    doc.put("after", "y");
    EXPECT_EQ("{\"list\":[\"x\",\"7\",[{\"a\":\"1\"},{\"b\":\"2\"}]],\"after\":\"y\"}\n", JsonText(doc));
}

TEST(JsonTextTest, MixedKeysMakeAnObjectWithAnEmptyKey) {
    ptree tree;
    tree.push_back({"", Value("1")});
    tree.push_back({"k", Value("2")});
    EXPECT_EQ("{\"\":\"1\",\"k\":\"2\"}\n", JsonText(tree));
}

TEST(JsonTextTest, EmptyTopLevelTreeIsAnEmptyArray) {
    EXPECT_EQ("[]\n", JsonText(ptree()));
}

TEST(JsonTextTest, EmptyNestedTreeIsAnEmptyString) {
    ptree tree;
    tree.add_child("dimensions", ptree());
    EXPECT_EQ("{\"dimensions\":\"\"}\n", JsonText(tree));
}

TEST(JsonTextTest, EmptyMarkersBecomeBareBracesWhereverTheyAreValues) {
    ptree tree;
    tree.put("metrics.numStarts", 1);
    tree.put_child("dimensions", Value(jsonEmptyObject));
    tree.put_child("nodes", Value(jsonEmptyArray));
    ptree list;
    list.push_back({"", Value(jsonEmptyObject)});
    list.push_back({"", Value(jsonEmptyArray)});
    tree.add_child("list", list);
    EXPECT_EQ("{\"metrics\":{\"numStarts\":\"1\"},\"dimensions\":{},\"nodes\":[],\"list\":[{},[]]}\n",
              JsonText(tree));
}

TEST(JsonTextTest, MarkersAreOrdinaryTextAsKeysOrInsideLongerValues) {
    ptree tree;
    tree.push_back({jsonEmptyObject, Value("x")});
    tree.push_back({"v", Value(std::string(jsonEmptyArray) + " ")});
    EXPECT_EQ(
        "{\"boost::property_tree::json_parser::empty_object\":\"x\","
        "\"v\":\"boost::property_tree::json_parser::empty_array \"}\n",
        JsonText(tree));
}

void ExpectRefused(const ptree& tree) {
    std::ostringstream out;
    try {
        WriteJsonText(out, tree);
        FAIL() << "written: " << out.str();
    } catch (const json_parser_error& error) {
        EXPECT_EQ("ptree contains data that cannot be represented in JSON format", error.message());
    }
    EXPECT_TRUE(out.str().empty()) << "nothing is written for a tree that is refused";
}

TEST(JsonTextTest, RefusesValuesItCannotRepresent) {
    ExpectRefused(Value("top"));
    ExpectRefused(Value(jsonEmptyObject));

    ptree both = Object("a", "1");
    both.put_value("also a value");
    ptree nested;
    nested.put("ok", "1");
    nested.add_child("bad", both);
    ExpectRefused(nested);

    ptree deepInArray;
    deepInArray.push_back({"", Object("x", "1")});
    deepInArray.back().second.put("x.y", "2");  // "x" now has a value and a child
    ExpectRefused(deepInArray);
}

TEST(JsonTextTest, EndsWithALineFeedAndFlushes) {
    RecordingBuffer buffer;
    std::ostream out(&buffer);
    WriteJsonText(out, Object("a", "1"));
    EXPECT_EQ("{\"a\":\"1\"}\n", buffer.text);
    EXPECT_GE(buffer.syncs, 1);
}

TEST(JsonTextTest, ReportsAStreamThatFailsAsAWriteError) {
    RecordingBuffer buffer(true);
    std::ostream out(&buffer);
    try {
        WriteJsonText(out, Object("a", "1"));
        FAIL() << "a refused write went unnoticed";
    } catch (const json_parser_error& error) {
        EXPECT_EQ("write error", error.message());
    }
}

// Where the library's own compact writer and this form agree (ASCII text, an
// object at the top, no markers) the two must produce the same bytes.
ptree RandomTree(std::mt19937& random, int depth) {
    static const std::string alphabet = std::string("abcXYZ019 !\"#/\\:{}[],\b\t\n\f\r\x01\x1f~\x7f");
    auto text = [&](std::size_t maxLength) {
        std::string s;
        const std::size_t length = random() % (maxLength + 1);
        for (std::size_t i = 0; i < length; ++i) {
            s += alphabet[random() % alphabet.size()];
        }
        return s;
    };
    ptree tree;
    const bool array = depth > 0 && random() % 3 == 0;
    const std::size_t children = depth >= 3 ? 0 : random() % 4;
    for (std::size_t i = 0; i < children; ++i) {
        const std::string key = array ? std::string() : "k" + text(6);
        tree.push_back({key, random() % 2 ? RandomTree(random, depth + 1) : Value(text(8))});
    }
    if (depth == 0 && tree.empty()) {
        tree.put("only", text(5));
    }
    return tree;
}

TEST(JsonTextTest, AgreesWithTheLibraryWriterWhereBothApply) {
    std::mt19937 random(20240521);
    for (int i = 0; i < 500; ++i) {
        const ptree tree = RandomTree(random, 0);
        std::ostringstream library;
        boost::property_tree::write_json(library, tree, false);
        ASSERT_EQ(library.str(), JsonText(tree)) << "tree " << i;
    }
}

}  // namespace
}  // namespace tvl
