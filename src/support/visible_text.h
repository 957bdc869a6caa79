// Outside text (file names, what programs print) made safe for where it goes.
// A file name may hold any byte but "/" and NUL: on a terminal an escape
// sequence or a bidirectional control can forge or reorder whole lines, and
// in the baseline document and JSON reports anything but UTF-8 breaks the
// parsers of other tools.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// True when `text` is valid UTF-8 (no overlong form, no surrogate, nothing
// above U+10FFFF).
bool is_valid_utf8(std::string_view text);

// `text` with every character that steers a terminal written as a visible
// escape: "\n", "\r", "\t" or "\xHH" for control bytes and DEL, "\uHHHH" for
// the C1 controls, the bidirectional and line-separating format characters,
// and "\xHH" for each byte that is not part of valid UTF-8. Printable text,
// Chinese included, comes out unchanged.
std::string escape_control_characters(std::string_view text);

// `text` as valid UTF-8: each byte that is not part of valid UTF-8 becomes
// U+FFFD. For messages; a name that must stay recoverable also gets hex_bytes().
std::string valid_utf8(std::string_view text);

// Every byte of `text` as two lowercase hex digits.
std::string hex_bytes(std::string_view text);
// The same for `size` bytes at `bytes`: digests, slots, PCR values.
std::string hex_bytes(const uint8_t* bytes, size_t size);
