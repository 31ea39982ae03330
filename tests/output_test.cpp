// Event and diagnostic lines, byte for byte, and the default sink's
// guarantee that concurrent lines arrive whole.
#include "output/output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <thread>

namespace dictate {
namespace {

// Events are compact JSON with their keys in byte order and their strings
// escaped; one that is not valid UTF-8 is not written at all.
TEST(OutputTest, EventsAreCompactSortedEscapedJson) {
  const std::pair<Event, std::string> events[] = {
      {{{"b", "1"}, {"a", "2"}, {"B", "3"}}, R"({"B":"3","a":"2","b":"1"})"},
      {{{"text", "say \"hi\" \\ a/b\nthen\r\tgo"}}, R"({"text":"say \"hi\" \\ a\/b\nthen\r\tgo"})"},
      {{{"text", std::string("\0\x01\x1f\b\f\x7f", 6)}},
       R"({"text":"\u0000\u0001\u001f\b\f)" "\x7f\"}"},
      // Two-, three- and four-byte sequences, some at the edges of their ranges.
      {{{"caf\xC3\xA9 \xE0\xA4\xB9", "\xE2\x80\xA8 \xF0\x9F\x8E\xA4 \xF4\x8F\xBF\xBF"}},
       "{\"caf\xC3\xA9 \xE0\xA4\xB9\":\"\xE2\x80\xA8 \xF0\x9F\x8E\xA4 \xF4\x8F\xBF\xBF\"}"},
  };
  std::string out;
  for (const auto& [event, line] : events) {
    EXPECT_TRUE(serializeEvent(event, out));
    EXPECT_EQ(out, line);
  }
  // A cut sequence, a surrogate, an overlong slash, stray bytes, past U+10FFFF.
  for (const char* bad :
       {"caf\xC3", "\xED\xA0\x80", "\xC0\xAF", "\xFF", "\x80", "\xF4\x90\x80\x80"}) {
    EXPECT_FALSE(serializeEvent({{"type", bad}}, out) || serializeEvent({{bad, "x"}}, out)) << bad;
  }
}

// Lines far above the pipe's atomic size, from two threads, into a pipe left
// non-blocking: each must still arrive whole and in one piece.
TEST(OutputTest, ConcurrentLongLinesReachANonBlockingPipeWhole) {
  std::fflush(stdout);
  const int saved = ::dup(STDOUT_FILENO);
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
  ::dup2(fds[1], STDOUT_FILENO);
  ::close(fds[1]);
  std::string received;
  std::thread reader([&] {
    char buffer[8192];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) received.append(buffer, n);
  });
  auto write = [](char letter) {
    for (int i = 0; i < 6; ++i) emitEvent({{"type", std::string(100 * 1024, letter)}});
  };
  emitEvent({{"type", "\xFF"}});  // not valid UTF-8: not written
  std::thread first(write, 'a'), second(write, 'b');
  first.join();
  second.join();
  ::dup2(saved, STDOUT_FILENO);
  reader.join();
  std::map<std::string, int> lines;
  std::istringstream in(received);
  for (std::string line; std::getline(in, line);) ++lines[line];
  auto line = [](char letter) { return "{\"type\":\"" + std::string(100 * 1024, letter) + "\"}"; };
  EXPECT_EQ(lines, (std::map<std::string, int>{{line('a'), 6}, {line('b'), 6}}));
  ::close(saved);
  ::close(fds[0]);
}

}  // namespace
}  // namespace dictate
