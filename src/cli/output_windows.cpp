#include "cli/output_windows.h"

#include <windows.h>

#include <algorithm>
#include <string>

#include "common/utf16.h"

namespace agewarden {
namespace {

// Bytes gathered before a write, and UTF-16 units handed to one
// WriteConsoleW call (older consoles refuse very large writes).
constexpr size_t kBufferBytes = 4096;
constexpr size_t kConsoleChunkUnits = 4096;

class StandardOutputBuffer : public std::streambuf {
 public:
  StandardOutputBuffer() : handle_(GetStdHandle(STD_OUTPUT_HANDLE)) {
    DWORD mode = 0;
    console_ = handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE && GetConsoleMode(handle_, &mode) != 0;
    setp(buffer_, buffer_ + kBufferBytes);
  }
  ~StandardOutputBuffer() override {
    Emit();
    if (console_ && !heldBack_.empty()) WriteConsoleText(heldBack_);  // an unfinished sequence, shown as U+FFFD
  }
  StandardOutputBuffer(const StandardOutputBuffer&) = delete;
  StandardOutputBuffer& operator=(const StandardOutputBuffer&) = delete;

 protected:
  int_type overflow(int_type c) override {
    if (!Emit()) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }
  int sync() override { return Emit() ? 0 : -1; }

 private:
  // Writes and empties the buffer. To a console, the bytes of a sequence
  // that the buffer cuts are held back until the rest of it comes.
  bool Emit() {
    const std::string_view data(pbase(), static_cast<size_t>(pptr() - pbase()));
    setp(buffer_, buffer_ + kBufferBytes);
    if (data.empty()) return true;
    if (!console_) return WriteBytes(data);
    heldBack_.append(data);
    const size_t complete = CompleteUtf8Prefix(heldBack_);
    const std::string text = heldBack_.substr(0, complete);
    heldBack_.erase(0, complete);
    return WriteConsoleText(text);
  }

  bool WriteConsoleText(const std::string& text) {
    const std::u16string units = Utf8ToUtf16(text);
    size_t at = 0;
    while (at < units.size()) {
      size_t count = std::min(kConsoleChunkUnits, units.size() - at);
      // Never split a surrogate pair between two calls.
      if (at + count < units.size() && units[at + count - 1] >= 0xD800 && units[at + count - 1] <= 0xDBFF) --count;
      DWORD written = 0;
      if (!WriteConsoleW(handle_, reinterpret_cast<const wchar_t*>(units.data() + at), static_cast<DWORD>(count),
                         &written, nullptr) ||
          written == 0) {
        return false;
      }
      at += written;
    }
    return true;
  }

  // UTF-8 bytes with LF made CR LF, as Windows text files end their lines.
  bool WriteBytes(std::string_view data) {
    std::string bytes;
    bytes.reserve(data.size() + data.size() / 16);
    for (const char c : data) {
      if (c == '\n') bytes += '\r';
      bytes += c;
    }
    size_t at = 0;
    while (at < bytes.size()) {
      DWORD written = 0;
      const DWORD count = static_cast<DWORD>(std::min<size_t>(bytes.size() - at, 1u << 20));
      if (!WriteFile(handle_, bytes.data() + at, count, &written, nullptr) || written == 0) return false;
      at += written;
    }
    return true;
  }

  HANDLE handle_;
  bool console_ = false;
  char buffer_[kBufferBytes];
  std::string heldBack_;
};

}  // namespace

std::unique_ptr<std::streambuf> OpenStandardOutput() { return std::make_unique<StandardOutputBuffer>(); }

}  // namespace agewarden
