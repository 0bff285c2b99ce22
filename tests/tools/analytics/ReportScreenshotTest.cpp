// The report as a browser draws it: headless Chromium renders the page to a
// PNG, which must have the window's size, show more than a few colours (text
// and charts, not a blank or an error page) and hold the colours of the three
// per-hour series, which only the inline SVG paints. Skipped when Chromium
// is not installed.

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <set>

#include "tests/support/ProgramRun.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/tools/analytics/ReportTestDatabase.h"
#include "tools/talvane-analytics/Report.h"

namespace tvl::analytics {
namespace {

constexpr int kWidth = 1000;
constexpr int kHeight = 1400;

std::string FindChromium() {
    for (const char* name : {"chromium", "chromium-browser", "google-chrome"}) {
        const char* path = std::getenv("PATH");
        std::string folders = path != nullptr ? path : "/usr/bin";
        std::size_t start = 0;
        while (start <= folders.size()) {
            const std::size_t end = std::min(folders.find(':', start), folders.size());
            const std::string candidate = folders.substr(start, end - start) + "/" + name;
            if (end > start && access(candidate.c_str(), X_OK) == 0) {
                return candidate;
            }
            start = end + 1;
        }
    }
    return {};
}

struct Rgb {
    int r, g, b;
};

bool Near(const guchar* pixel, Rgb colour) {
    return std::abs(pixel[0] - colour.r) <= 4 && std::abs(pixel[1] - colour.g) <= 4 &&
           std::abs(pixel[2] - colour.b) <= 4;
}

TEST(ReportScreenshot, ChromiumDrawsThePageWithItsCharts) {
    const std::string chromium = FindChromium();
    if (chromium.empty()) {
        GTEST_SKIP() << "chromium is not installed (Debian package chromium)";
    }
    test::TemporaryFolder folder;
    {
        test::ReportTestDatabase rows(folder.Join("analytics.db"));
        test::FillWithEveryKind(rows);
    }
    const std::string page = folder.Join("report.html");
    std::ostringstream out, err;
    ASSERT_EQ(RunReport({"--database", folder.Join("analytics.db"), "--output", page}, out, err), 0)
        << err.str();

    const std::string png = folder.Join("report.png");
    // No sandbox: test machines often run as root, where Chromium's sandbox
    // refuses to start. The page runs no script, so there is nothing to contain.
    const test::ProgramOutcome run = test::RunProgram(
        chromium,
        {"--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars", "--no-first-run",
         "--user-data-dir=" + folder.Join("profile"), "--screenshot=" + png,
         "--window-size=" + std::to_string(kWidth) + "," + std::to_string(kHeight), "file://" + page},
        std::chrono::seconds(120));
    ASSERT_EQ(run.exitCode, 0) << run.err;

    GError* error = nullptr;
    const std::unique_ptr<GdkPixbuf, decltype(&g_object_unref)> image(
        gdk_pixbuf_new_from_file(png.c_str(), &error), &g_object_unref);
    ASSERT_NE(image, nullptr) << (error != nullptr ? error->message : "no image");
    ASSERT_EQ(gdk_pixbuf_get_width(image.get()), kWidth);
    ASSERT_EQ(gdk_pixbuf_get_height(image.get()), kHeight);

    const int channels = gdk_pixbuf_get_n_channels(image.get());
    const int stride = gdk_pixbuf_get_rowstride(image.get());
    const guchar* pixels = gdk_pixbuf_get_pixels(image.get());
    std::set<std::uint32_t> colours;
    bool started = false, completed = false, failed = false;
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const guchar* p = pixels + y * stride + x * channels;
            colours.insert(static_cast<std::uint32_t>(p[0] << 16 | p[1] << 8 | p[2]));
            started |= Near(p, {0x4e, 0x79, 0xa7});
            completed |= Near(p, {0x59, 0xa1, 0x4f});
            failed |= Near(p, {0xe1, 0x57, 0x59});
        }
    }
    EXPECT_GT(colours.size(), 100u);
    EXPECT_TRUE(started);
    EXPECT_TRUE(completed);
    EXPECT_TRUE(failed);
}

}  // namespace
}  // namespace tvl::analytics
