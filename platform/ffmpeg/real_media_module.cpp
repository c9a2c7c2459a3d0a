// The entry points of the real-media module, looked up by name by the
// programs that load it. The module's references to the component
// registry resolve to the program's own copy, which the programs export.
#include "platform/ffmpeg/real_media.h"

extern "C" __attribute__((visibility("default"))) void QuellvoxRegisterRealMedia() { quellvox::RegisterRealMedia(); }

extern "C" __attribute__((visibility("default"))) void QuellvoxShutdownRealMedia() { quellvox::ShutdownRealMedia(); }
