// Output in the order it was written, where some of it is known only later:
// a place is held for text that is not known yet (the outcome of a write the
// directory has not answered), and whatever is written after the place
// waits until every place before it is filled.
#pragma once

#include <cstddef>
#include <deque>
#include <ostream>
#include <string>
#include <string_view>

namespace agewarden {

class HeldOutput {
 public:
  /// Writes `text` to `out`, or behind the places still open.
  void Write(std::ostream& out, std::string_view text);
  /// Holds a place after everything written so far; its number for Fill.
  size_t Hold();
  /// Puts `text` in the place, then writes to `out` everything up to the
  /// first place still open.
  void Fill(std::ostream& out, size_t place, std::string_view text);

 private:
  struct Piece {
    std::string text;
    bool open = false;
  };
  std::deque<Piece> pieces_;
  size_t first_ = 0;  // the number of pieces_.front()
};

}  // namespace agewarden
