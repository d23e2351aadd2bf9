#pragma once

namespace velmo {

// True when the heartbeat file is missing or unreadable, or 3600 seconds old or older.
bool should_do_heartbeat();
// Recreates the heartbeat file when should_do_heartbeat() says so.
void heartbeat();

}  // namespace velmo
