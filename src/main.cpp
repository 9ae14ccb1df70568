#include "front_end/dispatch.h"
#include "platform/system.h"
#include "system/logger.h"

namespace {
// The log header may still be on its way; the process ends with the file complete.
int finish(int code) {
  yoxa::finish_logging();
  return code;
}
}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t**) { return finish(yoxa::run_engine(yoxa::platform::command_line_arguments(argc, nullptr))); }
#else
int main(int argc, char** argv) { return finish(yoxa::run_engine(yoxa::platform::command_line_arguments(argc, argv))); }
#endif
