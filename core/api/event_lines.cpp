#include "api/event_lines.h"

#include "text.h"

namespace trellisant {

bool LineReader::feed(std::string_view piece, const OnLine& onLine) {
  for (char c : piece) {
    if (afterCR_) {
      afterCR_ = false;
      if (c == '\n') continue;  // the second half of a CRLF
    }
    if (c == '\n' || c == '\r') {
      afterCR_ = c == '\r';
      std::string line = std::move(partial_);
      partial_.clear();
      if (!onLine(line)) return false;
    } else if (partial_.size() < longestLine_) {
      partial_.push_back(c);
    } else {
      overflowed_ = true;
      return false;
    }
  }
  return true;
}

bool LineReader::finish(const OnLine& onLine) {
  if (partial_.empty()) return true;
  std::string line = std::move(partial_);
  partial_.clear();
  return onLine(line);
}

bool EventCursor::read(std::string_view line) {
  if (line.starts_with("id: ")) {
    if (auto id = parseInt64(line.substr(4)); id && *id > last_) last_ = *id;
  }
  return line.starts_with("data: ");
}

}  // namespace trellisant
