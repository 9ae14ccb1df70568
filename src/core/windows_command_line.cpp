#include "core/windows_command_line.h"

namespace yoxa {

namespace {
bool is_blank(char c) { return c == ' ' || c == '\t'; }
}  // namespace

std::vector<std::string> split_windows_command_line(std::string_view line) {
  std::vector<std::string> args;
  std::size_t i = 0;
  // The program name ends at the first blank outside quotes; backslashes are literal there.
  {
    std::string program;
    bool quoted = false;
    for (; i < line.size(); ++i) {
      const char c = line[i];
      if (c == '"') { quoted = !quoted; continue; }
      if (!quoted && is_blank(c)) break;
      program += c;
    }
    args.push_back(std::move(program));
  }
  while (true) {
    while (i < line.size() && is_blank(line[i])) ++i;
    if (i >= line.size()) break;
    std::string arg;
    bool quoted = false;
    while (i < line.size() && (quoted || !is_blank(line[i]))) {
      std::size_t backslashes = 0;
      while (i < line.size() && line[i] == '\\') { ++backslashes; ++i; }
      if (i < line.size() && line[i] == '"') {
        arg.append(backslashes / 2, '\\');
        if (backslashes % 2 == 1) {
          arg += '"';
          ++i;
        } else if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
          arg += '"';  // "" inside quotes is a literal quote
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
      } else {
        arg.append(backslashes, '\\');
        if (i < line.size() && (quoted || !is_blank(line[i]))) arg += line[i++];
      }
    }
    args.push_back(std::move(arg));
  }
  return args;
}

std::string quote_windows_argument(std::string_view argument) {
  if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string_view::npos) {
    return std::string(argument);
  }
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      out.append(backslashes * 2 + 1, '\\');
    } else {
      out.append(backslashes, '\\');
    }
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  out += '"';
  return out;
}

std::string build_windows_command_line(std::string_view program, const std::vector<std::string>& arguments) {
  std::string line = "\"" + std::string(program) + "\"";
  for (const auto& argument : arguments) {
    line += ' ';
    line += quote_windows_argument(argument);
  }
  return line;
}

}  // namespace yoxa
