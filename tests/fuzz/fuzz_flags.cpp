// Command-line flags of every door: the flag map, flag mode, run requests and app lists.
#include "front_end/catalog.h"
#include "front_end/command_line.h"
#include "front_end/run_request.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string> arguments = yoxa::fuzz::pieces(yoxa::fuzz::as_text(data, size));
  static const auto catalog = yoxa::catalog_apps();
  (void)yoxa::choose_door(arguments);
  const yoxa::FlagMap flags = yoxa::parse_flag_map(arguments);
  (void)yoxa::parse_flag_mode(arguments, catalog);
  (void)yoxa::parse_run_request(flags, catalog, yoxa::InstallScope::User);
  (void)yoxa::resolve_app_selection(arguments.back(), catalog);
  return 0;
}
