// Each tool as people run it: --help and --version answer on stdout with
// status 0, and a usage error is one line on stderr that names the option,
// then the hint to --help, with status 2 and nothing on stdout.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/ProgramRun.h"

namespace tvl {
namespace {

struct Misuse {
    std::vector<std::string> arguments;
    std::string option;   // the option the error must name
    std::string program;  // how the error names the program (a subcommand included)
};

struct Tool {
    std::string name;
    std::string path;
    std::vector<std::string> options;  // some that --help must describe
    std::vector<Misuse> misuses;
};

std::vector<Tool> Tools() {
    return {
        {"talvane-get",
         TALVANE_GET_PATH,
         {"--partner ID", "--package-version ID", "--dest DIR", "--list", "--cancel TRANSFER_ID",
          "--delete-files", "--json", "--quiet"},
         {{{"--partner", "p", "--package", "k", "--dest", "d", "--retries=1001"}, "--retries", "talvane-get"},
          {{"--partner", "p", "--package-version"}, "--package-version", "talvane-get"},
          {{"--partner", "p", "--package", "k"}, "--dest", "talvane-get"},
          {{"--version", "1.0"}, "'1.0'", "talvane-get"}}},
        {"talvane-pack",
         TALVANE_PACK_PATH,
         {"--input DIR", "--package-version ID", "--chunk-size BYTES", "--sign-key FILE",
          "keygen --out FILE"},
         {{{"--input", "in", "--chunk-size=0"}, "--chunk-size", "talvane-pack"},
          {{"--bogus"}, "--bogus", "talvane-pack"},
          {{"keygen", "--out"}, "--out", "talvane-pack keygen"}}},
        {"talvane-cdn",
         TALVANE_CDN_PATH,
         {"--root DIR", "--nodes N", "--fixed-ports", "--country CC"},
         {{{"--root=/nonexistent", "--nodes=100"}, "--nodes", "talvane-cdn"},
          {{"--nodes", "2"}, "--root", "talvane-cdn"}}},
        {"talvane-analytics",
         TALVANE_ANALYTICS_PATH,
         {"serve", "prune", "report", "--version"},
         {{{"bogus"}, "bogus", "talvane-analytics"},
          {{"serve", "--events-listen=127.0.0.1:0"}, "--transfers-listen", "talvane-analytics serve"},
          {{"report", "--bogus"}, "--bogus", "talvane-analytics report"}}},
    };
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

TEST(ToolCommandLines, HelpAndVersionAnswerOnStdoutWithStatusZero) {
    for (const Tool& tool : Tools()) {
        SCOPED_TRACE(tool.name);
        const test::ProgramOutcome help = test::RunProgram(tool.path, {"--help"});
        EXPECT_EQ(help.exitCode, 0);
        EXPECT_EQ(help.out.rfind("Usage: " + tool.name + " ", 0), 0u) << help.out;
        for (const std::string& option : tool.options) {
            EXPECT_NE(help.out.find(option), std::string::npos) << option;
        }
        EXPECT_EQ(help.err, "");
        EXPECT_EQ(test::RunProgram(tool.path, {"-h"}).out, help.out);

        const test::ProgramOutcome version = test::RunProgram(tool.path, {"--version"});
        EXPECT_EQ(version.exitCode, 0);
        const std::string expected = tool.name + " " + TALVANE_PROJECT_VERSION + " (rev ";
        EXPECT_EQ(version.out.rfind(expected, 0), 0u) << version.out;
        EXPECT_EQ(version.out.substr(version.out.size() - 2), ")\n") << version.out;
        EXPECT_EQ(Lines(version.out).size(), 1u) << version.out;
        EXPECT_EQ(version.err, "");
    }
    const test::ProgramOutcome keygen = test::RunProgram(TALVANE_PACK_PATH, {"keygen", "--help"});
    EXPECT_EQ(keygen.exitCode, 0);
    EXPECT_EQ(keygen.out.rfind("Usage: talvane-pack keygen --out FILE\n", 0), 0u) << keygen.out;
}

TEST(ToolCommandLines, AUsageErrorIsOneLineNamingTheOptionThenTheHintWithStatusTwo) {
    for (const Tool& tool : Tools()) {
        for (const Misuse& misuse : tool.misuses) {
            SCOPED_TRACE(tool.name + " " + misuse.arguments.back());
            const test::ProgramOutcome outcome = test::RunProgram(tool.path, misuse.arguments);
            EXPECT_EQ(outcome.exitCode, 2);
            EXPECT_EQ(outcome.out, "");
            const std::vector<std::string> lines = Lines(outcome.err);
            ASSERT_EQ(lines.size(), 2u) << outcome.err;
            EXPECT_EQ(lines[0].rfind(misuse.program + ": ", 0), 0u) << lines[0];
            EXPECT_NE(lines[0].find(misuse.option), std::string::npos) << lines[0];
            EXPECT_EQ(lines[1], "Try '" + misuse.program + " --help' for more information.");
        }
    }
}

}  // namespace
}  // namespace tvl
