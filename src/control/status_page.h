// The status page served at "/": one HTML document with its style and
// script inside, nothing loaded from elsewhere. It reads /api/v1/status,
// draws each line's floor gain over the last 30 s from the event stream
// (0 dB at the top, -24 dB at the bottom, voice spans shaded, as the
// statistics window's strip) and sends Start, Stop and Restart with the
// token that the user gives it (kept in the browser's session, or taken
// from the address's #token=...).
#pragma once

#include <string>

namespace quellvox {

const std::string& StatusPageHtml();

}  // namespace quellvox
