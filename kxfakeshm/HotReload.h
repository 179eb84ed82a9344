#pragma once

// Watching the two configuration files while the library runs.

#include <string>

#include "kxfakeshm/Impl.h"

namespace KXFakeShm {

// Creates, subscribes and starts both watchers (transport file first). Caller
// holds apiMutex; takes each watcher mutex in turn.
bool InitializeFileWatchers(Impl& impl, std::string& error);
// Unsubscribes, stops (joins) and drops both watchers. Caller holds apiMutex.
bool TerminateFileWatchers(Impl& impl, std::string& error);

// Stops or starts the transport-file watcher under its mutex (Reconfigure keeps it
// stopped while it rewrites the file). Fails when no watcher exists.
bool StopTransportWatcher(Impl& impl, std::string& error);
bool StartTransportWatcher(Impl& impl, std::string& error);

// Run by every Connect-peer worker at the top of each pass: when a dirty flag is
// set, rewrites the transport file with the watcher stopped. False when the rewrite
// failed and the worker body must end (its supervisor restarts it). May block on
// the transport-watcher mutex while another worker rewrites.
bool RewriteTransportFileIfDirty(Impl& impl);

}  // namespace KXFakeShm
