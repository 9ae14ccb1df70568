// A stand-in for the PowerShell executable in command-runner tests. It ignores
// leading arguments and runs its last argument, a list of ';'-separated steps:
//   out TEXT   write TEXT and a line feed to standard output
//   err TEXT   the same on standard error
//   flood N    write N bytes to standard output
//   sleep S    sleep S seconds
//   exit N     exit with code N (decimal, or 0x... for large codes)
//   stdin      read standard input to its end, then write "stdin N" (the bytes read)
// Anything else is an error (exit 97), so a changed script cannot pass silently.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

int main(int argc, char** argv) {
  if (argc < 2) return 98;
  const std::string script = argv[argc - 1];
  std::size_t pos = 0;
  while (pos <= script.size()) {
    std::size_t end = script.find(';', pos);
    if (end == std::string::npos) end = script.size();
    std::string step = script.substr(pos, end - pos);
    pos = end + 1;
    while (!step.empty() && step.front() == ' ') step.erase(step.begin());
    if (step.empty()) continue;
    const std::size_t space = step.find(' ');
    const std::string verb = step.substr(0, space);
    const std::string arg = space == std::string::npos ? "" : step.substr(space + 1);
    if (verb == "out") {
      std::printf("%s\n", arg.c_str());
    } else if (verb == "err") {
      std::fprintf(stderr, "%s\n", arg.c_str());
    } else if (verb == "flood") {
      const std::string chunk(4096, 'x');
      for (long left = std::atol(arg.c_str()); left > 0; left -= 4096) {
        std::fwrite(chunk.data(), 1, left < 4096 ? static_cast<std::size_t>(left) : chunk.size(), stdout);
      }
    } else if (verb == "sleep") {
      std::fflush(nullptr);
      std::this_thread::sleep_for(std::chrono::seconds(std::atol(arg.c_str())));
    } else if (verb == "stdin") {
      std::size_t total = 0;
      char buffer[4096];
      for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, stdin)) > 0;) total += got;
      std::printf("stdin %zu\n", total);
    } else if (verb == "exit") {
      std::fflush(nullptr);
      std::exit(static_cast<int>(std::strtoul(arg.c_str(), nullptr, 0)));
    } else {
      std::fprintf(stderr, "fake_shell: unknown step '%s'\n", step.c_str());
      return 97;
    }
  }
  return 0;
}
