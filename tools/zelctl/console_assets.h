// The console's page (HTML, CSS, JavaScript and the chart library), built into zelctl at compile time.
#pragma once

#include <string_view>

namespace zelctl {

struct ConsoleAsset {
    std::string_view path;  // "/", "/console.js", "/chart.min.js", ...
    std::string_view mime;
    std::string_view body;
};

// The asset served at `path` ("/" is index.html), or null.
const ConsoleAsset* FindConsoleAsset(std::string_view path);

}  // namespace zelctl
