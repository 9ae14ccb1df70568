#include "uninstall/uninstall_command.h"

#include <algorithm>

#include "core/text.h"

namespace yoxa {

namespace {
bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

std::vector<std::string> split_at_space(std::string_view text) {
  std::vector<std::string> pieces;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && is_space(text[i])) ++i;
    const std::size_t start = i;
    while (i < text.size() && !is_space(text[i])) ++i;
    if (i > start) pieces.emplace_back(text.substr(start, i - start));
  }
  return pieces;
}

bool equals_ignoring_case(std::string_view a, std::string_view b) { return ascii_lower(a) == ascii_lower(b); }

bool has_argument(const std::vector<std::string>& arguments, std::initializer_list<std::string_view> names) {
  return std::ranges::any_of(arguments, [&](const std::string& argument) {
    return std::ranges::any_of(names, [&](std::string_view name) { return equals_ignoring_case(argument, name); });
  });
}

std::string_view without_trailing_backslashes(std::string_view text) {
  while (!text.empty() && text.back() == '\\') text.remove_suffix(1);
  return text;
}
}  // namespace

UninstallCommand split_uninstall_command(std::string_view text) {
  UninstallCommand command;
  if (!text.empty() && text.front() == '"') {
    const std::size_t closing = text.find('"', 1);
    if (closing != std::string_view::npos) {
      command.program = std::string(text.substr(1, closing - 1));
      command.arguments = split_at_space(text.substr(closing + 1));
      return command;
    }
  }
  std::vector<std::string> pieces = split_at_space(text);
  if (pieces.empty()) return command;
  command.program = std::move(pieces.front());
  command.arguments.assign(std::make_move_iterator(pieces.begin() + 1), std::make_move_iterator(pieces.end()));
  return command;
}

std::string program_stem(std::string_view program) {
  const std::size_t separator = program.find_last_of("\\/");
  std::string_view name = separator == std::string_view::npos ? program : program.substr(separator + 1);
  const std::size_t dot = name.rfind('.');
  if (dot != std::string_view::npos && dot > 0) name = name.substr(0, dot);
  return std::string(name);
}

bool is_msiexec(std::string_view program) { return equals_ignoring_case(program_stem(program), "msiexec"); }

void add_msiexec_switches(std::vector<std::string>& arguments, const std::optional<std::string>& log_path) {
  const bool quiet = has_argument(arguments, {"/qn", "/quiet"});
  const bool no_restart = has_argument(arguments, {"/norestart"});
  const bool logging = std::ranges::any_of(
      arguments, [](const std::string& argument) { return starts_with(ascii_lower(argument), "/l"); });
  if (!quiet) arguments.emplace_back("/qn");
  if (!no_restart) arguments.emplace_back("/norestart");
  if (!logging && log_path) {
    arguments.emplace_back("/l*v");
    arguments.push_back(*log_path);
  }
}

std::optional<std::string> nsis_install_dir(std::string_view program,
                                            const std::optional<std::string>& install_location) {
  std::string_view dir;
  if (install_location) dir = trim(*install_location);
  if (dir.empty()) {
    const std::size_t separator = program.find_last_of("\\/");
    if (separator != std::string_view::npos) dir = program.substr(0, separator);
  }
  dir = without_trailing_backslashes(dir);
  if (dir.empty()) return std::nullopt;
  return std::string(dir);
}

bool add_nsis_switches(std::vector<std::string>& arguments, const std::optional<std::string>& install_dir) {
  if (!has_argument(arguments, {"/S"})) arguments.emplace_back("/S");
  const bool in_place = std::ranges::any_of(arguments, [](const std::string& a) { return starts_with(a, "_?="); });
  if (in_place) return true;
  if (!install_dir) return false;
  arguments.push_back("_?=" + *install_dir);
  return true;
}

std::string argument_list_text(const std::vector<std::string>& arguments) {
  std::string out = "[";
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (i > 0) out += ", ";
    out += '"';
    for (const char c : arguments[i]) {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
    out += '"';
  }
  return out + "]";
}

}  // namespace yoxa
