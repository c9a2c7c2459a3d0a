// The token that every state-changing request, the settings and the event
// stream must carry: 128 random bits as 32 lower-case hex digits, one per
// instance, in $XDG_CONFIG_HOME/quellvox/control-<id>.token (default
// ~/.config), a file only its user may read or write (0600). Made at first
// use; quellvox-reg shows and renews it. Control-plane threads only; never
// traced.
#pragma once

#include <string>
#include <string_view>

#include "platform/com/status.h"

namespace quellvox {

// The token file of instance `instanceId`; characters other than letters,
// digits, '-' and '_' in the identifier are written as %XX. Empty when no
// configuration folder can be found.
std::string ControlTokenPath(std::string_view instanceId);

// Reads the token, making it when the file does not exist. A file that
// others may read or write is tightened to 0600 first; a file that does not
// hold a token of 32 hex digits is refused (not overwritten). Failed, with
// the reason, when no token can be had.
Status LoadOrCreateControlToken(std::string_view instanceId, std::string& token);

// Replaces the token with a new one (the old one stops working at the
// server's next read of the file: at once for new requests).
Status RenewControlToken(std::string_view instanceId, std::string& token);

// Compares in time independent of where the texts differ.
bool TokensEqual(std::string_view a, std::string_view b);

}  // namespace quellvox
