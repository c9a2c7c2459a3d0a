// Real capture sources and title engines on FFmpeg's libraries. The program
// reaches them only through the component interfaces and the class
// factory, like the virtual studio: the studio's description names which
// devices take an "input" (a file, a stream, a camera) and which engines
// write an "output"; the studio goes on playing every other one.
#pragma once

namespace quellvox {

// Registers the device enumerator and the title target in front of the
// factories registered now (the virtual studio's, registered first): they
// play the devices and engines with an input or an output and hand every
// other call to those. Idempotent. The description (QUELLVOX_STUDIO) is
// read on first use; a bad input or output is reported once on standard
// error and only that device or engine fails.
void RegisterRealMedia();

// Drops the loaded description (the next use reads QUELLVOX_STUDIO again);
// objects still held keep what they use, and an output ends with its last
// layer.
void ShutdownRealMedia();

}  // namespace quellvox
