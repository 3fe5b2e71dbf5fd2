// The page `bayercam view` serves: plain HTML, CSS and a little JavaScript, built into the
// program. It shows the live video and builds its controls from /api/props, so it follows
// whatever the property set offers.
#pragma once

namespace tool {

const char* ViewPage();

}  // namespace tool
