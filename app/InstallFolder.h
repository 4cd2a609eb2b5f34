#pragma once
// Where the installation is taken to be when the setup program does not record its folder: the
// Program Files folder that Windows gives programs of the setup program's own processor, as a
// setup program installs there by default. On 64-bit Windows a 32-bit setup program installs
// into "Program Files (x86)", whatever this installer's own processor is.
#include <windows.h>

#include <string>

// The processor a Windows program is built for (IMAGE_FILE_MACHINE_*), from its file's headers;
// 0 when the file cannot be read or is not a Windows program.
WORD ProgramMachine(const wchar_t* path);

// "<Program Files for `machine`>\<productName>"; empty for a processor other than x86 and x64,
// and when the system names no such folder (no x64 one on 32-bit Windows).
std::wstring DefaultInstallDir(WORD machine, const std::wstring& productName);
