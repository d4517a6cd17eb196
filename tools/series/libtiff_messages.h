// libtiff's errors and warnings caught on the calling thread, the same way
// on every libtiff 4 (handlers of one handle came only with 4.5): while a
// catcher lives, what libtiff reports on this thread goes to its handlers
// instead of the console. Catchers nest; the innermost one catches.
#pragma once

#include <cstdarg>

// One message: libtiff's module name (may be null), a printf format and its
// arguments.
using LibtiffMessageHandler = void (*)(void* context, const char* module, const char* format,
                                       va_list arguments);

struct LibtiffMessageCatcher {
  // A null handler leaves that kind of message to the console.
  LibtiffMessageCatcher(LibtiffMessageHandler errors, LibtiffMessageHandler warnings,
                        void* context);
  ~LibtiffMessageCatcher();
  LibtiffMessageCatcher(const LibtiffMessageCatcher&) = delete;
  LibtiffMessageCatcher& operator=(const LibtiffMessageCatcher&) = delete;

  LibtiffMessageHandler errors;
  LibtiffMessageHandler warnings;
  void* context;
  LibtiffMessageCatcher* outer;
};

// A handler that drops the message.
void drop_libtiff_message(void* context, const char* module, const char* format,
                          va_list arguments);
