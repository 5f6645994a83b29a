// System libraries that are not among the system's known libraries (the IP
// Helper, the certificate store) are imported with delayed loading, and come
// from the system folder only: a copy of the same name placed beside the
// program never runs in it. Linked into both programs (the client through
// this library, the route service as a source of its own).
#pragma once

// 1 when libraries loaded by name come from the system folder only
// (SetDefaultDllDirectories took); 0 when the system is too old for that,
// and delay-loaded imports alone are held to the system folder. Linux: 1.
int SYSLIB_SystemFolderOnly();
