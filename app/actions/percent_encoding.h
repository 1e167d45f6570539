#pragma once
// Percent-encoding of bytes for the links the program hands out (file:// pages
// and the recommendation mail's mailto: link).

#include <string>
#include <string_view>

namespace squeakbox {

// Every byte except the unreserved characters A-Z a-z 0-9 - . _ ~ and the bytes
// listed in `also_keep` becomes %XX with upper-case hex digits. Text is taken as
// bytes, so UTF-8 comes out as one escape per byte.
std::string percent_encode(std::string_view bytes, std::string_view also_keep = {});

}  // namespace squeakbox
