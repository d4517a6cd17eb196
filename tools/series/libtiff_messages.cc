#include "libtiff_messages.h"

#include <tiffio.h>

namespace {

thread_local LibtiffMessageCatcher* innermost = nullptr;
TIFFErrorHandler console_error = nullptr;
TIFFErrorHandler console_warning = nullptr;

void route_error(const char* module, const char* format, va_list arguments) {
  if (innermost != nullptr && innermost->errors != nullptr) {
    innermost->errors(innermost->context, module, format, arguments);
  } else if (console_error != nullptr) {
    console_error(module, format, arguments);
  }
}

void route_warning(const char* module, const char* format, va_list arguments) {
  if (innermost != nullptr && innermost->warnings != nullptr) {
    innermost->warnings(innermost->context, module, format, arguments);
  } else if (console_warning != nullptr) {
    console_warning(module, format, arguments);
  }
}

// Installed as the program starts, before any thread uses libtiff.
[[maybe_unused]] const bool messages_routed = [] {
  console_error = TIFFSetErrorHandler(route_error);
  console_warning = TIFFSetWarningHandler(route_warning);
  return true;
}();

}  // namespace

LibtiffMessageCatcher::LibtiffMessageCatcher(LibtiffMessageHandler errors_handler,
                                             LibtiffMessageHandler warnings_handler,
                                             void* handler_context)
    : errors(errors_handler), warnings(warnings_handler), context(handler_context), outer(innermost) {
  innermost = this;
}

LibtiffMessageCatcher::~LibtiffMessageCatcher() { innermost = outer; }

void drop_libtiff_message(void*, const char*, const char*, va_list) {}
