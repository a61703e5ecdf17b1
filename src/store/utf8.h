// UTF-8 checks for key text read back from files.

#ifndef MARROW_STORE_UTF8_H_
#define MARROW_STORE_UTF8_H_

#include <string>
#include <string_view>

namespace marrow::store {

bool IsValidUtf8(std::string_view bytes);

// `bytes` as text, each maximal ill-formed subsequence replaced by U+FFFD
// (the Unicode standard's recommended practice).
std::string Utf8Lossy(std::string_view bytes);

}  // namespace marrow::store

#endif  // MARROW_STORE_UTF8_H_
