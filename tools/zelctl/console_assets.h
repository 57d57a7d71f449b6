// The console's page, its style and scripts and the chart library, built into zelctl at compile time
// (the build turns tools/zelctl/console/ and Chart.js into a generated source), so that the console
// works with no internet and no files beside the program.
#pragma once

#include <span>
#include <string_view>

namespace zelctl {

struct ConsoleAsset {
    std::string_view path;  // the URL path: "/", "/console.js", "/chart.min.js", ...
    std::string_view mime;  // the Content-Type to answer with
    std::string_view body;
};

// The asset served at `path` ("/" is index.html), or nullptr when there is none.
const ConsoleAsset* FindConsoleAsset(std::string_view path);

// Every asset, in the order the build lists them.
std::span<const ConsoleAsset> ConsoleAssets();

}  // namespace zelctl
