#include "front_end/dispatch.h"
#include "platform/system.h"

#ifdef _WIN32
int wmain(int argc, wchar_t**) { return yoxa::run_engine(yoxa::platform::command_line_arguments(argc, nullptr)); }
#else
int main(int argc, char** argv) { return yoxa::run_engine(yoxa::platform::command_line_arguments(argc, argv)); }
#endif
