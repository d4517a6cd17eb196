// What a console control event (Ctrl-C and the like) does to the output
// being written on Windows. Apart from platform_win32.cc so that the choice
// can be checked under Wine, which has no Windows symbolic links.
#pragma once

#include <windows.h>

// Steps, as bits, carried out in this order.
enum InterruptStep : unsigned {
  kEmptyThroughHandle = 1u,   // the file written, wherever it lies, loses its bytes
  kDeleteThroughHandle = 2u,  // the file written goes when its last handle closes
  kDeleteName = 4u,           // the name goes, not what a link or junction leads to
};

// The steps for an output from its name's own attributes, which
// GetFileAttributes reads without following a link. A name that is a link
// or a junction leads to a file of the user's: like on Linux, it keeps its
// place, empty, and the link goes. A name that is gone or no longer a file
// (INVALID_FILE_ATTRIBUTES has every bit set) is left alone.
inline unsigned interrupt_steps(DWORD name_attributes) {
  if (name_attributes == INVALID_FILE_ATTRIBUTES) return kEmptyThroughHandle;
  if ((name_attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return kEmptyThroughHandle | kDeleteName;
  if ((name_attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return kEmptyThroughHandle;
  return kDeleteThroughHandle;
}
