// The real-media provider as a module of its own, loaded by the programs
// only when their studio description names real media. Debian's FFmpeg
// libraries bring the X client libraries with them; a relay on the virtual
// studio alone (a service on a rack machine among them) never maps them.
#pragma once

#include <string>
#include <string_view>

namespace quellvox {

// Whether a description names real media: a device with an "input" or an
// engine with an "output". A text that is not a description object counts
// as naming it, so that the provider reads it and says what is wrong.
bool DescriptionNamesRealMedia(std::string_view text);

// Where the module is: lib/quellvox beside the program's bin folder, in the
// build tree and under the installed prefix alike.
std::string RealMediaModulePath();

// Loads the module and registers its providers in front of the studio's
// when the description in QUELLVOX_STUDIO names real media (a description
// that cannot be read is left to the provider to report). A module that
// cannot be loaded is one line on standard error. Idempotent.
void LoadRealMediaWhereDescribed();

// Ends what the module holds (outputs finish as their last user lets go);
// nothing when it was never loaded. The module stays mapped: objects still
// held run its code.
void ShutdownLoadedRealMedia();

}  // namespace quellvox
