#pragma once
// A stand-in for the FTP server's ownership control, for tests under Wine.
// It records every call of its dispatch method 8 in a log file and can be
// told to fail; it changes nothing on disk.
#include <windows.h>
#include <ole2.h>

#include "raidenmodex.h"

namespace control_double {

/// The module's handle, set when the DLL is loaded.
extern HINSTANCE g_module;

/// Objects and server locks alive; the DLL may unload when it is zero.
extern LONG g_alive;

/// The class factory of RaidenModeX; a static object, never freed.
IClassFactory* ClassFactory();

}  // namespace control_double
