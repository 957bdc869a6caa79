// Independent answers for the tests: OpenSSL's SM3, and small text helpers.
#pragma once

#include <openssl/evp.h>

#include <string>
#include <vector>

namespace oracle {

// The 32 raw bytes of OpenSSL's SM3 digest of `data`.
inline std::string sm3(const std::string& data) {
  unsigned char digest[32];
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), digest, &length, EVP_sm3(), nullptr);
  return std::string(reinterpret_cast<char*>(digest), 32);
}

inline std::string hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string text;
  for (unsigned char c : bytes) {
    text += digits[c >> 4];
    text += digits[c & 15];
  }
  return text;
}

// The measurement text the tool should store for a file with this content.
inline std::string sm3_hex(const std::string& data) { return hex(sm3(data)); }

// The lines of a text, without their line ends.
inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  return lines;
}

// The text with every "YYYY-MM-DD hh:mm:ss" replaced by "<time>".
inline std::string without_times(const std::string& text) {
  static const std::string shape = "dddd-dd-dd dd:dd:dd";
  auto stamp_at = [&](size_t at) {
    for (size_t i = 0; i < shape.size(); ++i) {
      char c = text[at + i];
      if (shape[i] == 'd' ? (c < '0' || c > '9') : c != shape[i]) return false;
    }
    return true;
  };
  std::string out;
  for (size_t at = 0; at < text.size();) {
    if (at + shape.size() <= text.size() && stamp_at(at)) {
      out += "<time>";
      at += shape.size();
    } else {
      out += text[at++];
    }
  }
  return out;
}

// A drift report, human or JSON, without what differs between two runs of
// the same check: when it was made and how long it took.
inline std::string without_check_times(const std::string& report) {
  std::string out;
  for (const auto& line : lines_of(report)) {
    if (line.find("\"checked_at\"") != std::string::npos || line.find("\"check_seconds\"") != std::string::npos)
      continue;
    std::string kept = line;
    size_t at = kept.find("check_seconds=");
    if (at != std::string::npos) kept.erase(at, kept.find('s', at + 14) + 1 - at);
    out += kept + "\n";
  }
  return out;
}

}  // namespace oracle
