#pragma once
// The PC/SC types and constants as the platform's own service declares them.
//
// pcsc-lite (Linux): DWORD and LONG are 64-bit, SCARD_READERSTATE holds a 33-byte ATR and
// SCARD_IO_REQUEST is 16 bytes. winscard.h (Windows): DWORD and LONG are 32-bit, the record
// holds a 36-byte ATR and SCARD_IO_REQUEST is 8 bytes. On both, SCARDCONTEXT and SCARDHANDLE
// are 64-bit on a 64-bit build. The code above this header takes every size from sizeof, never
// from one platform's numbers.
#ifdef _WIN32
#include <windows.h>
#include <winscard.h>
// The longest ATR (ISO/IEC 7816-3), under pcsc-lite's name.
#ifndef MAX_ATR_SIZE
#define MAX_ATR_SIZE SCARD_ATR_LENGTH
#endif
#else
#include <PCSC/winscard.h>
#endif

static_assert(sizeof(SCARDCONTEXT) >= 8 && sizeof(SCARDHANDLE) >= 8,
              "a reference carries all 8 bytes of a context or card handle");
