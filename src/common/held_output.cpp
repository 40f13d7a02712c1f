#include "common/held_output.h"

namespace agewarden {

void HeldOutput::Write(std::ostream& out, std::string_view text) {
  if (pieces_.empty()) {
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
  } else if (pieces_.back().open) {
    pieces_.push_back({std::string(text), false});
  } else {
    pieces_.back().text += text;
  }
}

size_t HeldOutput::Hold() {
  pieces_.push_back({{}, true});
  return first_ + pieces_.size() - 1;
}

void HeldOutput::Fill(std::ostream& out, size_t place, std::string_view text) {
  if (place < first_ || place - first_ >= pieces_.size()) return;
  pieces_[place - first_] = {std::string(text), false};
  while (!pieces_.empty() && !pieces_.front().open) {
    const std::string& ready = pieces_.front().text;
    out.write(ready.data(), static_cast<std::streamsize>(ready.size()));
    pieces_.pop_front();
    ++first_;
  }
}

}  // namespace agewarden
