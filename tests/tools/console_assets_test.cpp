// The console's files as zelctl builds them in: every file byte for byte with its mime type, "/" as the page,
// nothing under other paths, and every file the page refers to is one the server can give.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "console_assets.h"

namespace zelctl {
namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in) << path;
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

struct BuiltIn {
    const char* path;
    std::string file;
    const char* mime;
};

TEST(ConsoleAssets, EveryFileIsBuiltInByteForByteWithItsMimeType) {
    const std::string dir = ZEL_CONSOLE_DIR;
    const BuiltIn cases[] = {
        {"/", dir + "/index.html", "text/html; charset=utf-8"},
        {"/index.html", dir + "/index.html", "text/html; charset=utf-8"},
        {"/console.css", dir + "/console.css", "text/css; charset=utf-8"},
        {"/console.js", dir + "/console.js", "text/javascript; charset=utf-8"},
        {"/chart.min.js", ZEL_CHART_JS, "text/javascript; charset=utf-8"},
    };
    for (const BuiltIn& c : cases) {
        SCOPED_TRACE(c.path);
        const ConsoleAsset* asset = FindConsoleAsset(c.path);
        ASSERT_NE(asset, nullptr);
        EXPECT_EQ(asset->path, c.path);
        EXPECT_EQ(asset->mime, c.mime);
        const std::string want = ReadFile(c.file);
        ASSERT_FALSE(want.empty());
        EXPECT_EQ(asset->body.size(), want.size());
        EXPECT_TRUE(asset->body == want);  // not EXPECT_EQ: a 200 KB diff helps nobody
    }
    EXPECT_EQ(ConsoleAssets().size(), std::size(cases));
}

TEST(ConsoleAssets, OtherPathsHaveNone) {
    for (const char* path : {"", "/api/v1/units", "/console.js/", "console.js", "/CONSOLE.JS", "/chart.js",
                             "/../console.js", "/index.html?x=1"}) {
        EXPECT_EQ(FindConsoleAsset(path), nullptr) << path;
    }
}

// A page that names a file the build leaves out would load half a console: each src= and href= of the page
// and each file its style sheet names must be a built-in asset, by a path relative to the console's origin.
TEST(ConsoleAssets, EveryFileThePageNamesIsBuiltIn) {
    const ConsoleAsset* page = FindConsoleAsset("/");
    ASSERT_NE(page, nullptr);
    const std::string html(page->body);
    const std::regex ref(R"re((?:src|href)="([^"]*)")re");
    std::set<std::string> named;
    for (std::sregex_iterator it(html.begin(), html.end(), ref), end; it != end; ++it) {
        named.insert((*it)[1].str());
    }
    EXPECT_TRUE(named.count("console.js"));
    EXPECT_TRUE(named.count("chart.min.js"));
    for (const std::string& name : named) {
        SCOPED_TRACE(name);
        if (name.rfind("data:", 0) == 0) continue;  // inline, no request
        EXPECT_EQ(name.find(':'), std::string::npos) << "the page loads nothing from outside";
        EXPECT_NE(name.rfind("//", 0), 0u);
        if (!name.empty() && name[0] != '#') {
            EXPECT_NE(FindConsoleAsset("/" + name), nullptr);
        }
    }
}

}  // namespace
}  // namespace zelctl
