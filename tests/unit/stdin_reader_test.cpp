// The launcher's stdin: line splitting over any byte source, the bound on a line,
// and the reading thread's lifetime against its owner's.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "core/line_reader.h"
#include "front_end/stdin_commands.h"
#include "log_capture.h"
#include "temp_dir.h"

namespace yoxa {
namespace {

// Hands out the given chunks in order, then the end of input.
class Chunks final : public ByteSource {
 public:
  explicit Chunks(std::deque<std::string> chunks) : chunks_(std::move(chunks)) {}
  std::optional<std::string> read() override {
    if (chunks_.empty()) return std::nullopt;
    std::string next = std::move(chunks_.front());
    chunks_.pop_front();
    return next;
  }

 private:
  std::deque<std::string> chunks_;
};

std::vector<std::string> lines_of(std::deque<std::string> chunks, std::size_t max_line) {
  LineReader reader(std::make_unique<Chunks>(std::move(chunks)), max_line);
  std::vector<std::string> lines;
  while (auto line = reader.next()) lines.push_back(line->too_long ? "<too long>" : line->text);
  return lines;
}

TEST(LineReader, SplitsChunksIntoLinesWhereverTheFeedsFall) {
  const struct {
    std::deque<std::string> chunks;
    std::vector<std::string> lines;
  } cases[] = {
      {{"a\nb\n"}, {"a", "b"}},
      {{"a", "b", "\n", "c"}, {"ab", "c"}},  // the last line needs no feed
      {{"\n\n"}, {"", ""}},
      {{"x\r\n"}, {"x\r"}},  // the command handler drops the CR
      {{}, {}},
  };
  for (const auto& c : cases) EXPECT_EQ(lines_of(c.chunks, 16), c.lines);
}

TEST(LineReader, DropsAnOverlongLineAndResynchronisesAtTheNextFeed) {
  const struct {
    std::deque<std::string> chunks;
    std::vector<std::string> lines;
  } cases[] = {
      {{"0123456789\nok\n"}, {"<too long>", "ok"}},
      {{"01234", "56789", "0123", "4\nok\n"}, {"<too long>", "ok"}},  // spread over reads
      {{"01234", "56789", "01234", "56789"}, {"<too long>"}},         // input ends inside it
      {{"012345678\n"}, {"012345678"}},                             // exactly the bound
      {{"a\n0123456789", "0123456789\nb"}, {"a", "<too long>", "b"}},
  };
  for (const auto& c : cases) EXPECT_EQ(lines_of(c.chunks, 9), c.lines);
}

// 64 MiB without a line feed, in pipe-sized reads: each byte is looked at once and
// none is kept, so this takes a blink and the command after it still counts.
TEST(LineReader, AHugeLineCostsLinearTimeAndNoMemory) {
  std::deque<std::string> chunks(16 * 1024, std::string(4096, 'x'));
  chunks.push_back("\n{\"type\":\"cancel\"}\n");
  const auto started = std::chrono::steady_clock::now();
  const auto lines = lines_of(std::move(chunks), kMaxStdinLine);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_EQ(lines, (std::vector<std::string>{"<too long>", R"({"type":"cancel"})"}));
}

// A source that blocks until the test lets each line through, like a launcher
// that writes later.
class Gate final : public ByteSource {
 public:
  std::optional<std::string> read() override {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [&] { return !pending_.empty() || closed_; });
    if (pending_.empty()) return std::nullopt;
    std::string next = std::move(pending_.front());
    pending_.pop_front();
    return next;
  }
  void send(std::string bytes) {
    std::lock_guard lock(mutex_);
    pending_.push_back(std::move(bytes));
    ready_.notify_all();
  }
  void close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    ready_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::string> pending_;
  bool closed_ = false;
};

// A source shared with the test, which keeps it alive past the reader.
class SharedGate final : public ByteSource {
 public:
  explicit SharedGate(std::shared_ptr<Gate> gate) : gate_(std::move(gate)) {}
  std::optional<std::string> read() override { return gate_->read(); }

 private:
  std::shared_ptr<Gate> gate_;
};

bool wait_until_gone(const std::string& path) {
  for (int i = 0; i < 500 && std::filesystem::exists(path); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return !std::filesystem::exists(path);
}

TEST(StdinCommands, ACancelFromTheSourceReleasesTheQuitFile) {
  testing::TempDir dir;
  const std::string quit = (dir.path() / "run.lock").string();
  std::ofstream(quit).close();
  auto gate = std::make_shared<Gate>();
  testing::logged_by([&] {
    const StdinCommands commands(std::make_unique<SharedGate>(gate), quit);
    gate->send(std::string(kMaxStdinLine + 1, '{'));  // dropped, and reading goes on
    gate->send("\n{\"type\":\"cancel\"}\n");
    EXPECT_TRUE(wait_until_gone(quit));
  });
  gate->close();
}

// Once its owner is gone the thread acts on nothing, even on a line that arrives
// later: at exit the process's logger and output are being torn down.
TEST(StdinCommands, NothingIsActedOnAfterTheOwnerIsGone) {
  testing::TempDir dir;
  const std::string quit = (dir.path() / "run.lock").string();
  std::ofstream(quit).close();
  auto gate = std::make_shared<Gate>();
  { const StdinCommands commands(std::make_unique<SharedGate>(gate), quit); }
  gate->send("{\"type\":\"cancel\"}\n");
  gate->close();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(std::filesystem::exists(quit));
}

}  // namespace
}  // namespace yoxa
