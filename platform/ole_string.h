#ifndef SERIVANE_PLATFORM_OLE_STRING_H_
#define SERIVANE_PLATFORM_OLE_STRING_H_

#include <cstdint>
#include <string>

namespace serivane {

// OLE Automation strings (BSTR), the string results of the exported functions.
//
// A BSTR points to UTF-16 code units, NUL-terminated, with the length in bytes (without the
// terminator) as a 32-bit unsigned integer in the 4 bytes just before the first unit. The string
// is one block from the C runtime's malloc whose header is the size of a pointer (the string
// starts 8 bytes in on 64-bit systems, 4 bytes in on 32-bit ones), the last 4 header bytes holding
// the length. That is the layout the .NET marshaller allocates and frees on this system (it frees
// the block at the string minus the pointer size), so such a host can take a result as a string;
// any other host frees the block at that same address with free.
using BSTR = char16_t*;

// A new string holding the NUL-terminated `text` (the empty string for a null `text`); null when
// memory is exhausted.
BSTR SysAllocString(const char16_t* text);
// A new string of `length` units copied from `text` (left zeroed when `text` is null); null when
// memory is exhausted or the byte length would not fit in 32 bits.
BSTR SysAllocStringLen(const char16_t* text, std::uint32_t length);
// Length in units and in bytes, read from the prefix; 0 for a null string.
std::uint32_t SysStringLen(const char16_t* s);
std::uint32_t SysStringByteLen(const char16_t* s);
// Releases a string made by SysAllocString or SysAllocStringLen; a null string is ignored.
void SysFreeString(BSTR s);

// UTF-16 form of a message held as UTF-8 (the program's messages are ASCII): bytes that do not
// form a valid UTF-8 sequence each become U+FFFD, the replacement character.
std::u16string widenMessage(const std::string& text);

}  // namespace serivane

#endif  // SERIVANE_PLATFORM_OLE_STRING_H_
