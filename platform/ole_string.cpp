// OLE Automation strings on the C runtime's heap, in the block layout of platform/ole_string.h.
// Only malloc, free and fixed-size copies: the same source serves 32-bit and 64-bit builds.
#include "platform/ole_string.h"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace serivane {

namespace {

// The header before the string: one pointer's size, the length in its last 4 bytes.
constexpr std::size_t kHeader = sizeof(void*);
static_assert(kHeader >= sizeof(std::uint32_t), "the length prefix must fit in the header");

unsigned char* blockOf(const char16_t* s) {
  return reinterpret_cast<unsigned char*>(const_cast<char16_t*>(s)) - kHeader;
}

}  // namespace

BSTR SysAllocStringLen(const char16_t* text, std::uint32_t length) {
  const std::uint64_t bytes = static_cast<std::uint64_t>(length) * sizeof(char16_t);
  if (bytes > std::numeric_limits<std::uint32_t>::max()) return nullptr;
  const std::uint64_t total = kHeader + bytes + sizeof(char16_t);
  if (total > std::numeric_limits<std::size_t>::max()) return nullptr;
  auto* block = static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(total)));
  if (block == nullptr) return nullptr;
  std::memset(block, 0, kHeader);
  const auto byteLength = static_cast<std::uint32_t>(bytes);
  std::memcpy(block + kHeader - sizeof(std::uint32_t), &byteLength, sizeof byteLength);
  auto* s = reinterpret_cast<char16_t*>(block + kHeader);
  if (text != nullptr) {
    std::memcpy(s, text, static_cast<std::size_t>(bytes));
  } else {
    std::memset(s, 0, static_cast<std::size_t>(bytes));
  }
  s[length] = u'\0';
  return s;
}

BSTR SysAllocString(const char16_t* text) {
  std::uint32_t length = 0;
  if (text != nullptr) {
    while (text[length] != u'\0') {
      if (length == std::numeric_limits<std::uint32_t>::max() / sizeof(char16_t)) return nullptr;
      ++length;
    }
  }
  return SysAllocStringLen(text, length);
}

std::uint32_t SysStringByteLen(const char16_t* s) {
  if (s == nullptr) return 0;
  std::uint32_t byteLength = 0;
  std::memcpy(&byteLength, blockOf(s) + kHeader - sizeof(std::uint32_t), sizeof byteLength);
  return byteLength;
}

std::uint32_t SysStringLen(const char16_t* s) { return SysStringByteLen(s) / sizeof(char16_t); }

void SysFreeString(BSTR s) {
  if (s != nullptr) std::free(blockOf(s));
}

std::u16string widenMessage(const std::string& text) {
  std::u16string out;
  out.reserve(text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char b = p[i];
    std::uint32_t cp = 0;
    std::size_t len = 0;
    std::uint32_t min = 0;
    if (b < 0x80) {
      cp = b;
      len = 1;
    } else if ((b & 0xE0) == 0xC0) {
      cp = b & 0x1F;
      len = 2;
      min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      cp = b & 0x0F;
      len = 3;
      min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      cp = b & 0x07;
      len = 4;
      min = 0x10000;
    }
    bool valid = len != 0 && i + len <= n;
    for (std::size_t k = 1; valid && k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) {
        valid = false;
      } else {
        cp = (cp << 6) | (p[i + k] & 0x3F);
      }
    }
    // Overlong forms, surrogates and values beyond U+10FFFF are not valid UTF-8.
    if (valid && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) valid = false;
    if (!valid) {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += len;
  }
  return out;
}

}  // namespace serivane
