#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace trellisant {

// Cuts an event stream's body into lines as its pieces arrive. A line ends at LF, CR or CRLF
// (a CRLF split between two pieces is one break); the break is not part of the line.
class LineReader {
 public:
  // Return false to stop reading.
  using OnLine = std::function<bool(std::string_view line)>;

  // A line longer than `longestLine` bytes stops the reading: the stream is not one to follow.
  explicit LineReader(std::size_t longestLine = 16 * 1024) : longestLine_(longestLine) {}

  // Hands every line completed by `piece` to `onLine`; false once `onLine` said stop, or
  // once a line grew too long.
  bool feed(std::string_view piece, const OnLine& onLine);
  // At the end of the body: hands over an unterminated last line, if any.
  bool finish(const OnLine& onLine);
  bool overflowed() const { return overflowed_; }

 private:
  std::size_t longestLine_;
  std::string partial_;
  bool afterCR_ = false;
  bool overflowed_ = false;
};

// The event rules for one line of the stream, keeping the largest event id read.
class EventCursor {
 public:
  explicit EventCursor(std::int64_t after) : last_(after) {}

  // An "id: " line whose rest is a decimal Int64 larger than the last one moves the cursor.
  // Returns true when the line is an event ("data: ..."), after which the wait ends.
  bool read(std::string_view line);
  std::int64_t last() const { return last_; }

 private:
  std::int64_t last_;
};

}  // namespace trellisant
