// The virtual studio: capture devices and title engines of a playout
// workstation, played in software. The program reaches it only through the
// component interfaces (platform/media_api/media_components.h) and the class factory;
// what exists is read from the JSON description named by the environment
// variable QUELLVOX_STUDIO, else from the built-in default.
#pragma once

namespace quellvox {

// Registers the device enumerator, the title-engine list and the title
// target with the class factory. Idempotent. The description is read on the
// first creation of a component; a bad description file is reported once on
// standard error and the studio then offers no devices and no engines.
void RegisterVirtualStudio();

// Brings every engine up to the clock, writes the reports and recordings
// the description asks for, and drops the studio (objects still held keep
// their own reference to it). Call once at the end of a run.
void ShutdownVirtualStudio();

}  // namespace quellvox
