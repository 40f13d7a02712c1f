// DNs split by hand on Windows: Wldap32 splits DNs only into escaped text
// (ldap_explode_dn). The reader takes and refuses what libldap's ldap_bv2dn
// does in its LDAP format, which the POSIX build splits with, and gives the
// same parts, so both builds read a DN alike (fuzz/fuzz_dn_split.cpp runs
// the two side by side). What that format takes:
//   - RDNs separated by ',' or ';', attribute-value pairs by '+'; blanks
//     (space, tab, CR, LF) before a type and around '=';
//   - a type is a name (a letter, then letters, digits, '-'; options after
//     ';' are dropped, "CN;x-1" is CN) or an OID (digits and single dots);
//   - a plain value: "\" before one of \ , ; + " < > = # or a blank stands
//     for that character, "\" and two hex digits for that byte, any other
//     escape is refused, and so is an unescaped '"', '<' or '>'; trailing
//     blanks are dropped unless the character before them is a '\';
//   - a quoted value ("Your OU"): '\' takes the next character as it is (no
//     hex pairs); only blanks may follow the closing quote;
//   - a "#" value: pairs of hex digits, up to a blank (the rest up to the
//     next separator is skipped) or a separator; "#" alone at the very end
//     is refused, before a separator it is an empty value.
#include "directory/platform/dn_split.h"

namespace agewarden::ldap {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsSeparator(char c) { return c == ',' || c == ';' || c == '+'; }

int HexDigit(char c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

/// The characters a '\' makes stand for themselves in a plain value.
bool Escapable(char c) {
  return c == '\\' || IsSeparator(c) || c == '"' || c == '<' || c == '>' || c == '=' || c == '#' || IsBlank(c);
}

/// The text with a read position; past the end it reads '\0', which the text
/// itself never holds.
class Cursor {
 public:
  explicit Cursor(std::string_view text) : text_(text) {}
  char Peek(size_t ahead = 0) const { return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : '\0'; }
  bool AtEnd() const { return pos_ >= text_.size(); }
  size_t Pos() const { return pos_; }
  void Skip(size_t n = 1) { pos_ += n; }
  char Take() { return text_[pos_++]; }
  void SkipBlanks() {
    while (IsBlank(Peek())) ++pos_;
  }
  std::string_view Text() const { return text_; }

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

bool ReadType(Cursor& in, std::string& type) {
  if (IsDigit(in.Peek())) {
    while (true) {
      if (!IsDigit(in.Peek())) return false;
      while (IsDigit(in.Peek())) type += in.Take();
      if (in.Peek() != '.') return true;
      type += in.Take();
    }
  }
  if (!IsLetter(in.Peek())) return false;
  while (IsLetter(in.Peek()) || IsDigit(in.Peek()) || in.Peek() == '-') type += in.Take();
  if (in.Peek() == ';') {
    while (IsLetter(in.Peek()) || IsDigit(in.Peek()) || in.Peek() == '-' || in.Peek() == ';') in.Skip();
  }
  return true;
}

/// After the '#': the hex digits in upper case, behind a '#'.
bool ReadHex(Cursor& in, std::string& value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  value = "#";
  while (!in.AtEnd() && !IsSeparator(in.Peek())) {
    if (IsBlank(in.Peek())) {
      while (!in.AtEnd() && !IsSeparator(in.Peek())) in.Skip();
      break;
    }
    const int high = HexDigit(in.Peek());
    const int low = HexDigit(in.Peek(1));
    if (high < 0 || low < 0) return false;
    value += kHex[high];
    value += kHex[low];
    in.Skip(2);
  }
  return true;
}

/// After the opening '"': up to the closing one and the blanks after it.
bool ReadQuoted(Cursor& in, std::string& value) {
  while (in.Peek() != '"') {
    if (in.AtEnd()) return false;
    if (in.Peek() == '\\') {
      if (in.Pos() + 1 >= in.Text().size()) return false;
      in.Skip();
    }
    value += in.Take();
  }
  in.Skip();
  in.SkipBlanks();
  return true;
}

bool ReadPlain(Cursor& in, std::string& value) {
  const size_t start = in.Pos();
  while (!in.AtEnd()) {
    const char c = in.Peek();
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      if (in.Pos() + 1 >= in.Text().size()) return false;
      const char next = in.Peek(1);
      if (Escapable(next)) {
        value += next;
        in.Skip(2);
      } else if (HexDigit(next) >= 0 && HexDigit(in.Peek(2)) >= 0) {
        value += static_cast<char>(HexDigit(next) * 16 + HexDigit(in.Peek(2)));
        in.Skip(3);
      } else {
        return false;
      }
      continue;
    }
    // Control characters and bytes above 0x7E are taken as they are.
    if (byte >= 0x20 && byte <= 0x7E) {
      if (IsSeparator(c)) break;
      if (c == '"' || c == '<' || c == '>') return false;
    }
    value += in.Take();
  }
  // Trailing blanks go, judged on the text as written: a blank right after a
  // '\' stays, whether that '\' escapes it or is itself escaped ("a\\ "
  // keeps its blank, as libldap does). Each blank that goes is a character
  // of its own at the end of the value.
  const std::string_view text = in.Text();
  size_t end = in.Pos();
  while (end - start > 1 && IsBlank(text[end - 1]) && text[end - 2] != '\\') {
    --end;
    value.pop_back();
  }
  return true;
}

std::optional<DnAva> ReadAva(Cursor& in) {
  DnAva ava;
  in.SkipBlanks();
  if (!ReadType(in, ava.type)) return std::nullopt;
  in.SkipBlanks();
  if (in.Peek() != '=') return std::nullopt;
  in.Skip();
  in.SkipBlanks();
  bool read = false;
  if (in.Peek() == '#') {
    in.Skip();
    ava.hex = true;
    read = !in.AtEnd() && ReadHex(in, ava.value);
  } else if (in.Peek() == '"') {
    in.Skip();
    read = ReadQuoted(in, ava.value);
  } else {
    read = ReadPlain(in, ava.value);
  }
  if (!read) return std::nullopt;
  return ava;
}

}  // namespace

std::optional<std::vector<DnRdn>> SplitDn(std::string_view text) {
  std::vector<DnRdn> rdns;
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  if (text.empty()) return rdns;
  Cursor in(text);
  while (true) {
    DnRdn& rdn = rdns.emplace_back();
    while (true) {
      auto ava = ReadAva(in);
      if (!ava) return std::nullopt;
      rdn.push_back(std::move(*ava));
      if (in.Peek() != '+') break;
      in.Skip();
    }
    if (in.AtEnd()) return rdns;
    if (in.Peek() != ',' && in.Peek() != ';') return std::nullopt;
    in.Skip();
  }
}

}  // namespace agewarden::ldap
