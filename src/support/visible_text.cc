#include "support/visible_text.h"

namespace {

constexpr char kDigits[] = "0123456789abcdef";

// The length of the valid UTF-8 sequence at `at` and its code point; 0 when
// the byte there does not start one.
size_t sequence_at(std::string_view text, size_t at, char32_t* code) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(at);
  if (lead < 0x80) {
    *code = lead;
    return 1;
  }
  size_t length = lead >= 0xc2 && lead <= 0xdf ? 2 : lead >= 0xe0 && lead <= 0xef ? 3 : lead >= 0xf0 && lead <= 0xf4 ? 4 : 0;
  if (length == 0 || at + length > text.size()) return 0;
  char32_t value = lead & (0x7f >> length);
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xc0) != 0x80) return 0;
    value = (value << 6) | (byte(at + i) & 0x3f);
  }
  static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < kSmallest[length] || value > 0x10ffff || (value >= 0xd800 && value <= 0xdfff)) return 0;
  *code = value;
  return length;
}

bool steers_terminal(char32_t code) {
  return (code >= 0x80 && code <= 0x9f) || code == 0x061c || code == 0x200e || code == 0x200f ||
         (code >= 0x2028 && code <= 0x202e) || (code >= 0x2066 && code <= 0x2069);
}

// Calls `character(bytes, code)` for each valid UTF-8 sequence of `text` and
// `stray(byte)` for each byte that starts none, in order.
template <typename Character, typename Stray>
void walk(std::string_view text, Character character, Stray stray) {
  char32_t code = 0;
  for (size_t at = 0; at < text.size();) {
    size_t length = sequence_at(text, at, &code);
    if (length == 0) {
      stray(static_cast<unsigned char>(text[at]));
      ++at;
    } else {
      character(text.substr(at, length), code);
      at += length;
    }
  }
}

void append_hex_escape(unsigned char c, std::string* out) {
  *out += "\\x";
  *out += kDigits[c >> 4];
  *out += kDigits[c & 15];
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
  bool valid = true;
  walk(text, [](std::string_view, char32_t) {}, [&](unsigned char) { valid = false; });
  return valid;
}

std::string escape_control_characters(std::string_view text) {
  std::string visible;
  visible.reserve(text.size());
  auto character = [&](std::string_view bytes, char32_t code) {
    if (code == '\n' || code == '\r' || code == '\t') {
      visible += code == '\n' ? "\\n" : code == '\r' ? "\\r" : "\\t";
    } else if (code < 0x20 || code == 0x7f) {
      append_hex_escape(static_cast<unsigned char>(code), &visible);
    } else if (steers_terminal(code)) {
      visible += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4) visible += kDigits[(code >> shift) & 15];
    } else {
      visible.append(bytes);
    }
  };
  walk(text, character, [&](unsigned char stray) { append_hex_escape(stray, &visible); });
  return visible;
}

std::string valid_utf8(std::string_view text) {
  std::string valid;
  valid.reserve(text.size());
  walk(text, [&](std::string_view bytes, char32_t) { valid.append(bytes); },
       [&](unsigned char) { valid += "\xef\xbf\xbd"; });
  return valid;
}

std::string hex_bytes(std::string_view text) {
  return hex_bytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

std::string hex_bytes(const uint8_t* bytes, size_t size) {
  std::string hex;
  hex.reserve(2 * size);
  for (size_t i = 0; i < size; ++i) {
    hex += kDigits[bytes[i] >> 4];
    hex += kDigits[bytes[i] & 15];
  }
  return hex;
}
