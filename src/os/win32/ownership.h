#pragma once
// What the program's start needs to know of the server's control.

namespace ovpre {

/// True once the server's control has not answered within its time: a
/// thread is still stuck in it, so the process must end without waiting
/// for it (TerminateProcess), after the run has said and logged everything.
bool ServerControlTimedOut();

}  // namespace ovpre
